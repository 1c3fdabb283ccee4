#include "tolvane/oleauto.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

// A big array gets a mapping of its own, offered huge pages: a page of 32,767
// rows is 43 MB, and faulting that in 4 KiB at a time costs several times
// what zeroing it does. Fresh mappings come zero-filled from the kernel.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

void* MapZeroed(std::size_t bytes) {
  // Over-map by one huge page and trim, so that the data starts on a boundary.
  void* raw =
      mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(raw);
  std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  std::uintptr_t end = start + bytes + kHugePage;
  if (end > aligned + bytes)
    munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
  void* data = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(data, bytes, MADV_HUGEPAGE);  // advice only: without it, plain pages
#endif
  return data;
}

// Bytes of an array's data block; a block of kHugePage or more is a mapping.
std::size_t DataBytes(ULONG cElements) {
  // One extra byte keeps a zero-length array's data pointer real.
  std::size_t bytes = static_cast<std::size_t>(cElements) + 1;
  return bytes >= kHugePage ? (bytes + kHugePage - 1) & ~(kHugePage - 1) : bytes;
}

void* AllocateZeroed(std::size_t bytes) {
  return bytes >= kHugePage ? MapZeroed(bytes) : std::calloc(bytes, 1);
}

void FreeData(void* data, std::size_t bytes) {
  if (bytes >= kHugePage) {
    munmap(data, bytes);
  } else {
    std::free(data);
  }
}

// Arrays this module made and has not destroyed, with their data block. A
// VARIANT tagged VT_UI1 may hold a plain byte rather than a fetched page, so
// only a pointer found here is ever freed; anything else is left alone. The
// block is kept here, not read back from the array, which a caller can write.
struct DataBlock {
  void* data;
  std::size_t bytes;
};

struct LiveArrays {
  std::mutex m;
  std::unordered_map<const SAFEARRAY*, DataBlock> arrays;
};

LiveArrays& Live() {
  static LiveArrays* live = new LiveArrays;  // outlives every static destructor
  return *live;
}

bool Track(const SAFEARRAY* psa, DataBlock block) {
  LiveArrays& live = Live();
  std::lock_guard lock(live.m);
  try {
    live.arrays.emplace(psa, block);
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

void FreeArray(SAFEARRAY* psa, DataBlock block) {
  FreeData(block.data, block.bytes);
  std::free(psa);
}

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  if (vt != VT_UI1) return nullptr;
  auto* psa = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (!psa) return nullptr;
  const std::size_t bytes = DataBytes(cElements);
  psa->pvData = AllocateZeroed(bytes);
  if (!psa->pvData) {
    std::free(psa);
    return nullptr;
  }
  psa->cDims = 1;
  psa->cbElements = 1;
  psa->rgsabound[0].cElements = cElements;
  psa->rgsabound[0].lLbound = lLbound;
  const DataBlock block{psa->pvData, bytes};
  if (!Track(psa, block)) {
    FreeArray(psa, block);
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
  DataBlock block{};
  {
    std::lock_guard lock(live.m);
    auto it = live.arrays.find(psa);
    if (it == live.arrays.end()) return E_INVALIDARG;  // not ours, or destroyed already
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    block = it->second;
    live.arrays.erase(it);
  }
  FreeArray(psa, block);
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
