// The five members that work on the field-ID cache and serial numbers.
#include "manager/field_cache.h"
#include "tolvane/CVeltAlmSummMgr.h"

// Each lands with the database work.
short CVeltAlmSummMgr::GetVSPFieldInfo(char*, char*, char*, VSP*) { return 0; }
short CVeltAlmSummMgr::CacheFieldIDs(zunagroup*, CArray<unsigned int, unsigned int&>* entries) {
  if (entries) entries->RemoveAll();
  return 1;
}
void CVeltAlmSummMgr::ReCacheFieldIDs(zunagroup*, CArray<unsigned int, unsigned int&>*) {}
void CVeltAlmSummMgr::SetPDBSNInfo(zunagroup*) {}
void CVeltAlmSummMgr::CachePDBSNInfo(zunagroup*, CArray<unsigned int, unsigned int&>*) {}
