#include "tolvane/oleauto.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

// Arrays this module made and has not destroyed. A VARIANT tagged VT_UI1 may
// hold a plain byte rather than a fetched page, so only a pointer found here
// is ever freed; anything else is left alone.
struct LiveArrays {
  std::mutex m;
  std::unordered_set<const SAFEARRAY*> arrays;
};

LiveArrays& Live() {
  static LiveArrays* live = new LiveArrays;  // outlives every static destructor
  return *live;
}

bool Track(const SAFEARRAY* psa) {
  LiveArrays& live = Live();
  std::lock_guard lock(live.m);
  try {
    live.arrays.insert(psa);
  } catch (...) {
    return false;
  }
  return true;
}

bool IsLive(const SAFEARRAY* psa) {
  LiveArrays& live = Live();
  std::lock_guard lock(live.m);
  return live.arrays.count(psa) != 0;
}

void FreeArray(SAFEARRAY* psa) {
  std::free(psa->pvData);
  std::free(psa);
}

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  if (vt != VT_UI1) return nullptr;
  auto* psa = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (!psa) return nullptr;
  // calloc zero-fills; one extra byte keeps a zero-length array's data pointer real.
  psa->pvData = std::calloc(static_cast<std::size_t>(cElements) + 1, 1);
  if (!psa->pvData) {
    std::free(psa);
    return nullptr;
  }
  psa->cDims = 1;
  psa->cbElements = 1;
  psa->rgsabound[0].cElements = cElements;
  psa->rgsabound[0].lLbound = lLbound;
  if (!Track(psa)) {
    FreeArray(psa);
    return nullptr;
  }
  return psa;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  ++psa->cLocks;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  LiveArrays& live = Live();
  {
    std::lock_guard lock(live.m);
    auto it = live.arrays.find(psa);
    if (it == live.arrays.end()) return E_INVALIDARG;  // not ours, or destroyed already
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    live.arrays.erase(it);
  }
  FreeArray(psa);
  return S_OK;
}

void VariantInit(VARIANT* pvarg) {
  if (pvarg) std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANT* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  // A fetch tags its array VT_UI1, not VT_ARRAY|VT_UI1; both may hold one.
  bool holdsArray = pvarg->vt == (VT_ARRAY | VT_UI1) ||
                    (pvarg->vt == VT_UI1 && pvarg->parray && IsLive(pvarg->parray));
  if (holdsArray && pvarg->parray) {
    HRESULT hr = SafeArrayDestroy(pvarg->parray);
    if (hr == DISP_E_ARRAYISLOCKED) return hr;
  }
  std::memset(pvarg, 0, sizeof *pvarg);
  return S_OK;
}

}  // extern "C"
