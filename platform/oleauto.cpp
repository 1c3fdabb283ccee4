#include "tolvane/oleauto.h"

#include <cstdlib>
#include <cstring>
#include <new>

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
  if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
  std::free(psa->pvData);
  std::free(psa);
  return S_OK;
}

void VariantInit(VARIANT* pvarg) {
  if (pvarg) std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANT* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  // A fetch tags its array VT_UI1, not VT_ARRAY|VT_UI1; both hold an array here.
  if ((pvarg->vt == VT_UI1 || pvarg->vt == (VT_ARRAY | VT_UI1)) && pvarg->parray) {
    HRESULT hr = SafeArrayDestroy(pvarg->parray);
    if (hr != S_OK) return hr;
  }
  std::memset(pvarg, 0, sizeof *pvarg);
  return S_OK;
}

}  // extern "C"
