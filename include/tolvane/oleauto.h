// The OLE Automation pieces a fetched page travels in: VARIANT and a
// one-dimensional SAFEARRAY of bytes.
#pragma once

#include <cstdint>

#include "tolvane/export.h"

using VARTYPE = uint16_t;
using HRESULT = int32_t;
using LONG = int32_t;
using ULONG = uint32_t;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_ARRAY = 0x2000;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000Du);

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  uint16_t cDims;
  uint16_t fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};

struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int64_t llVal;
    int32_t lVal;
    uint8_t bVal;
    SAFEARRAY* parray;
    void* byref;
  };
};

extern "C" {
// Creates a zero-filled vector of cElements elements of type vt (only VT_UI1
// is supported); null when vt is unsupported or memory runs out.
TOLVANE_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
TOLVANE_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
TOLVANE_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// Fails with DISP_E_ARRAYISLOCKED while the data is accessed.
TOLVANE_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
TOLVANE_API void VariantInit(VARIANT* pvarg);
// Destroys an array that the VARIANT holds (tagged VT_UI1 as a fetch leaves
// it, or VT_ARRAY|VT_UI1) and empties the VARIANT.
TOLVANE_API HRESULT VariantClear(VARIANT* pvarg);
}
