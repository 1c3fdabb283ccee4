#include "plant/plant_loader.h"

#include <fstream>
#include <sstream>

#include "plant/demo_plant.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "plant/plant_store.h"

namespace tolvane::plant {
namespace {

bool Fail(std::string* err, std::string why) {
  if (err) *err = std::move(why);
  return false;
}

}  // namespace

bool LoadDemoPlant(node::EmbeddedNode& node, std::string* err) {
  DemoOptions demo;
  demo.now = Clock::now();
  std::string why;
  if (!LoadPlant(MakeDemoPlant(demo), node, &why)) return Fail(err, "demo plant: " + why);
  return true;
}

bool LoadPlantFile(const std::string& path, node::EmbeddedNode& node, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(err, path + " cannot be read");
  char head[16] = {};
  in.read(head, sizeof head);
  if (in.gcount() == 16 && std::string(head, 16) == std::string("SQLite format 3\0", 16)) {
    StoreError e;
    std::unique_ptr<PlantStore> store = PlantStore::Open(path, &e, PlantStore::OpenFor::kRead);
    if (!store || !store->Begin(false, &e) || !store->Load(node, Clock::now(), &e)) {
      return Fail(err, e.message);
    }
    store->Detach();
    store->Rollback();
    return true;
  }
  in.close();
  std::string text, why;
  if (ReadInput(path, -1, kPlantDocumentLimits.maxBytes, &text, &why) != ReadResult::kOk) {
    return Fail(err, why);
  }
  Plant plant;
  if (!ParsePlant(text, Clock::now(), &plant, &why)) return Fail(err, path + ": " + why);
  if (!LoadPlant(plant, node, &why)) return Fail(err, path + " refused by the node: " + why);
  return true;
}

}  // namespace tolvane::plant
