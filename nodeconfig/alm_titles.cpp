#include "nodeconfig/node_config.h"
#include "text/dictionary.h"

namespace {

tolvane::DictTableStorage<11> g_almTitles = {{tolvane::kDictNotLoaded, "varn_dct alm_titles", 0},
                                             {
                                                 {7, "Alarm File Service", 32},
                                                 {7, "Alarm Summary Service", 16},
                                                 {7, "Alarm Network Service", 0},
                                                 {15, "Alarm Printer 1", 1},
                                                 {15, "Alarm Printer 2", 2},
                                                 {15, "Alarm Printer 3", 4},
                                                 {15, "Alarm Printer 4", 8},
                                                 {7, "Alarm History Service", 64},
                                                 {15, "Alarm Startup Queue Service", 4096},
                                                 {7, "Alarm ODBC Service", 128},
                                                 {0, "", -1},
                                             }};

}  // namespace

DictTable* varn_dct_alm_titles_table() {
  return &g_almTitles.header;
}
