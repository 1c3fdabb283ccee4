// Plant stores changed behind the program's back: one value of one row set
// through SQL to anything, then the store opened, loaded into a node and
// read as the exchange format. Nothing crashes; a refusal names its table,
// row and column; a store that reads can be written as a document.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plant/demo_plant.h"
#include "plant/plant_json.h"
#include "plant/plant_store.h"

namespace {

using namespace tolvane::plant;

const std::string& BaseStore() {
  static const std::string* path = [] {
    tolvane::fuzz::QuietProcess();
    auto* p = new std::string(tolvane::fuzz::ScratchDirectory() + "/base.db");
    DemoOptions demo;
    demo.nodes = 2;
    demo.tags = 12;
    demo.alarms = 6;
    demo.now = Clock::from_time_t(1765000000);
    StoreError err;
    TOLVANE_FUZZ_CHECK(PlantStore::Create(*p, MakeDemoPlant(demo), true, &err));
    return p;
  }();
  return *path;
}

struct Target {
  const char* table;
  const char* key;  // how the changed row is picked
  const char* columns[24];
};

const Target kTargets[] = {
    {"nodes",
     "rowid = (SELECT min(rowid) FROM nodes)",
     {"name", "position", "physical", "aliases", "serial", "local", "extra"}},
    {"blocks",
     "id = (SELECT min(id) FROM blocks)",
     {"node", "tag", "letter", "number", "description", "areas", "priority", "b_nalm", "b_cv",
      "extra"}},
    {"alarms",
     "id = (SELECT min(id) FROM alarms WHERE type <> 8)",
     {"type",          "node",          "physical",    "tag",          "letter",  "number",
      "priority",      "status",        "value",       "description",  "areas",   "ext_kind",
      "ext1",          "ext2",          "field_block", "acknowledged", "time_in", "time_last",
      "shelved_until", "shelve_reason", "shelved_by",  "extra"}},
    {"journal",
     "id = (SELECT min(id) FROM journal)",
     {"time", "node", "text", "flag", "user", "extra"}},
    {"meta", "key = 'horn_enabled'", {"value"}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::Reader in(data, size);
  const Target& t = kTargets[in.Byte() % std::size(kTargets)];
  std::size_t columns = 0;
  while (columns < std::size(t.columns) && t.columns[columns]) ++columns;
  const char* column = t.columns[in.Byte() % columns];
  uint8_t kind = in.Byte() % 4;

  std::string path = tolvane::fuzz::ScratchDirectory() + "/store.db";
  std::error_code ec;
  std::filesystem::copy_file(BaseStore(), path, std::filesystem::copy_options::overwrite_existing,
                             ec);
  TOLVANE_FUZZ_CHECK(!ec);
  {
    sqlite3* db = nullptr;
    TOLVANE_FUZZ_CHECK(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    std::string sql = std::string("UPDATE ") + t.table + " SET " + column + " = ?1 WHERE " + t.key;
    sqlite3_stmt* s = nullptr;
    TOLVANE_FUZZ_CHECK(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK);
    std::string_view rest = in.Rest();
    if (kind == 0) {
      int64_t v = 0;
      for (std::size_t i = 0; i < 8 && i < rest.size(); ++i) v = (v << 8) | uint8_t(rest[i]);
      sqlite3_bind_int64(s, 1, v);
    } else if (kind == 1) {
      sqlite3_bind_text(s, 1, rest.data(), static_cast<int>(rest.size()), SQLITE_TRANSIENT);
    } else if (kind == 2) {
      sqlite3_bind_blob(s, 1, rest.data(), static_cast<int>(rest.size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(s, 1);
    }
    sqlite3_step(s);  // a constraint may refuse it: then the store is as it was
    sqlite3_finalize(s);
    sqlite3_close(db);
  }

  StoreError err;
  std::unique_ptr<PlantStore> store = PlantStore::Open(path, &err, PlantStore::OpenFor::kRead);
  if (!store) return 0;
  auto refusal = [&](const StoreError& e) {
    TOLVANE_FUZZ_CHECK(e.kind == StoreError::Kind::kInvalid ||
                       e.kind == StoreError::Kind::kRefused);
    if (e.message.find("would never write") != std::string::npos) {
      TOLVANE_FUZZ_CHECK(e.message.find(std::string("table ")) != std::string::npos);
      TOLVANE_FUZZ_CHECK(e.message.find(", column ") != std::string::npos);
    }
  };
  {
    tolvane::node::EmbeddedNode node;
    if (store->Begin(false, &err)) {
      if (!store->Load(node, Clock::from_time_t(1765000000), &err)) refusal(err);
      store->Detach();
      store->Rollback();
    }
  }
  Plant plant;
  if (!store->Read(&plant, &err)) {
    refusal(err);
    return 0;
  }
  // What reads is written as a document that is JSON within the bounds.
  std::string doc = SerializePlant(plant, false, Clock::from_time_t(1765000000));
  nlohmann::ordered_json back;
  JsonInputError bad;
  TOLVANE_FUZZ_CHECK(ParseJsonBounded(doc, &back, &bad, kPlantDocumentLimits));
  return 0;
}
