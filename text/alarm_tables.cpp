#include "text/alarm_tables.h"

namespace {

using tolvane::DictTableStorage;
using tolvane::kDictNotLoaded;

// Trailing blanks belong to the texts: displays line them up by them.
DictTableStorage<32> g_procAlm = {{kDictNotLoaded, "dctcomn proc_alm", 0},
                                  {
                                      {2, "OK  ", 0x0000},     {3, "LOLO", 0x0701},
                                      {3, "HIHI", 0x0704},     {2, "LO  ", 0x0602},
                                      {2, "HI  ", 0x0603},     {3, "RATE", 0x0605},
                                      {3, "COS ", 0x0706},     {2, "CFN ", 0x0707},
                                      {3, "DEV ", 0x0508},     {2, "FLT ", 0x0889},
                                      {2, "DSAB", 0x010B},     {2, "ERROR", 0x080C},
                                      {2, "ANY", 0x080D},      {1, "NEW", 0x080E},
                                      {1, "TIME", 0x070F},     {1, "IOF     ", 0x10C0},
                                      {2, "OCD     ", 0x10C1}, {1, "UNDER   ", 0x1042},
                                      {2, "OVER    ", 0x1043}, {3, "RANGE   ", 0x10C4},
                                      {3, "COMM    ", 0x10C5}, {4, "DEVICE  ", 0x10C6},
                                      {1, "STATION ", 0x10C7}, {2, "ACCESS  ", 0x10C8},
                                      {5, "SQL LOGI", 0x0710}, {5, "SQL CMD ", 0x0611},
                                      {5, "DAT MATC", 0x0512}, {5, "FLD READ", 0x0413},
                                      {5, "FLD WRIT", 0x0414}, {4, "NO DATA", 0x10C9},
                                      {4, "NO XDATA", 0x10CA}, {0, "", -1},
                                  }};

DictTableStorage<8> g_almPri7 = {{kDictNotLoaded, "dctcomn almpri7", 0},
                                 {
                                     {1, "CRITICAL", 3},
                                     {3, "HIHI", 4},
                                     {3, "LOLO", 8},
                                     {1, "INFO", 9},
                                     {1, "HIGH", 5},
                                     {1, "MEDIUM", 6},
                                     {1, "LOW", 7},
                                     {0, "", -1},
                                 }};

DictTableStorage<4> g_almPrio = {{kDictNotLoaded, "dctcomn almprio", 0},
                                 {
                                     {1, "HIGH", 0},
                                     {1, "MEDIUM", 1},
                                     {1, "LOW", 2},
                                     {0, "", -1},
                                 }};

DictTableStorage<17> g_almMsgType = {{kDictNotLoaded, "dctcomn almmsgtype", 0},
                                     {
                                         {3, "UNKNOWN    ", 0},
                                         {2, "ALARM      ", 1},
                                         {3, "HARDWARE   ", 2},
                                         {3, "NETWORK    ", 3},
                                         {3, "SYSALERT   ", 4},
                                         {3, "USER       ", 5},
                                         {3, "ACKNOWLEDGE", 6},
                                         {3, "DELETE     ", 7},
                                         {3, "OPERATOR   ", 8},
                                         {3, "RECIPE     ", 9},
                                         {3, "EVENT      ", 10},
                                         {3, "TEXT       ", 11},
                                         {3, "6XTXT      ", 12},
                                         {3, "AAM        ", 13},
                                         {3, "SQL        ", 14},
                                         {3, "ESIGNATURE ", 15},
                                         {0, "", -1},
                                     }};

}  // namespace

DictTable* dctcomn_proc_alm_table() {
  return &g_procAlm.header;
}
DictTable* dctcomn_almpri7_table() {
  return &g_almPri7.header;
}
DictTable* dctcomn_almprio_table() {
  return &g_almPrio.header;
}
DictTable* dctcomn_almmsgtype_table() {
  return &g_almMsgType.header;
}
