// The members that fill and read the field-ID cache and the per-node
// database serial numbers. The manager lock guards both maps; apart from
// the serial_set calls of SetPDBSNInfo no service call runs under it.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "manager/field_cache.h"
#include "services/zuna.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/text_field.h"

namespace {

using tolvane::CSingleLock;
using tolvane::FieldKey;

void CacheEntries(zunagroup* group, CArray<unsigned int, unsigned int&>* entries) {
  if (!entries) return;
  tolvane::ManagerShared& shared = tolvane::Shared();
  for (std::ptrdiff_t i = 0; i < entries->GetSize(); ++i) {
    char node[9] = {}, tag[31] = {}, field[20] = {};
    VSP vsp{};
    zuna_entry_info(group, (*entries)[i], node, tag, field, &vsp);
    FieldKey key(tolvane::FieldText(node), vsp.blockType, tolvane::FieldText(field));
    CSingleLock hold(shared.lock);
    shared.fieldMap.SetAt(key, tolvane::CVsp(vsp));
  }
}

}  // namespace

short CVeltAlmSummMgr::GetVSPFieldInfo(char* nodeName, char*, char* fieldName, VSP* vsp) {
  if (!vsp) return 0;
  FieldKey key(nodeName ? nodeName : "", vsp->blockType, fieldName ? fieldName : "");
  tolvane::ManagerShared& shared = tolvane::Shared();
  CSingleLock hold(shared.lock);
  const tolvane::CVsp* cached = shared.fieldMap.Lookup(key);
  if (!cached) return 0;
  vsp->fieldAttr = cached->vsp().fieldAttr;
  vsp->fieldWord1 = cached->vsp().fieldWord1;
  vsp->fieldWord2 = cached->vsp().fieldWord2;
  return 1;
}

short CVeltAlmSummMgr::CacheFieldIDs(zunagroup* group,
                                     CArray<unsigned int, unsigned int&>* entries) {
  CacheEntries(group, entries);
  if (entries) entries->RemoveAll();
  return 1;
}

void CVeltAlmSummMgr::ReCacheFieldIDs(zunagroup* group,
                                      CArray<unsigned int, unsigned int&>* entries) {
  CacheEntries(group, entries);
}

void CVeltAlmSummMgr::SetPDBSNInfo(zunagroup* group) {
  tolvane::ManagerShared& shared = tolvane::Shared();
  CSingleLock hold(shared.lock);
  if (!shared.serialMap) return;
  for (const auto& [node, serial] : *shared.serialMap) zuna_serial_set(group, node.c_str(), serial);
}

void CVeltAlmSummMgr::CachePDBSNInfo(zunagroup* group,
                                     CArray<unsigned int, unsigned int&>* entries) {
  tolvane::ManagerShared& shared = tolvane::Shared();
  {
    CSingleLock hold(shared.lock);
    if (!shared.serialMap) return;
  }
  unsigned short n = zuna_serial_count(group);
  if (n == 0) return;
  std::vector<uint32_t> serials(n, 0);
  std::vector<std::array<char, 9>> names(n, std::array<char, 9>{});
  zuna_serial_list(group, serials.data(), reinterpret_cast<char(*)[9]>(names.data()));

  bool changed = false;
  for (unsigned short i = 0; i < n; ++i) {
    std::string node(tolvane::FieldText(names[i].data(), names[i].size()));
    CSingleLock hold(shared.lock);
    if (!shared.serialMap) return;  // the last manager went away meanwhile
    auto [it, inserted] = shared.serialMap->try_emplace(node, serials[i]);
    if (!inserted) {
      if (it->second != serials[i]) changed = true;
      it->second = serials[i];
    }
  }
  if (changed) ReCacheFieldIDs(group, entries);
}
