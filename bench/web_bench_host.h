// The plant the web benchmarks serve: the demo plant of `alarms` alarms on
// ten nodes, in memory or in a new store file, in a store host.
#pragma once

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "web/plant_host.h"

namespace tolvane::bench {

// Null with the reason on stderr.
inline std::unique_ptr<web::PlantHost> MakeBenchHost(long alarms, const std::string& storeFile) {
  plant::DemoOptions demo;
  demo.nodes = 10;
  demo.tags = static_cast<int>(std::max(alarms, 300L));
  demo.alarms = alarms;
  plant::StoreError se;
  std::unique_ptr<plant::PlantStore> store;
  {
    plant::Plant plant = plant::MakeDemoPlant(demo);
    if (storeFile.empty()) {
      store = plant::PlantStore::InMemory(plant, &se);
    } else if (plant::PlantStore::Create(storeFile, plant, true, &se)) {
      store = plant::PlantStore::Open(storeFile, &se);
    }
  }  // the plant goes before the host holds its own copy
  if (!store) {
    std::fprintf(stderr, "%s\n", se.message.c_str());
    return nullptr;
  }
  std::printf("plant in %s\n", storeFile.empty() ? "memory" : storeFile.c_str());
  std::string err;
  auto host = web::MakeStoreHost(std::move(store), {}, &err);
  if (!host) std::fprintf(stderr, "%s\n", err.c_str());
  return host;
}

}  // namespace tolvane::bench
