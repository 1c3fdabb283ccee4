// The byte arrays a fetched page travels in.
#include "tolvane/oleauto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(SafeArray, CreatesAZeroFilledOneDimensionalByteVector) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 1310 * 3);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(psa->cDims, 1);
  EXPECT_EQ(psa->cbElements, 1u);
  EXPECT_EQ(psa->rgsabound[0].cElements, 1310u * 3);
  EXPECT_EQ(psa->rgsabound[0].lLbound, 0);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  ASSERT_NE(data, nullptr);
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < 1310 * 3; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, BigArraysAroundTheMappingSizeAreZeroWritableAndFreedWhateverTheCallerDid) {
  constexpr ULONG kMiB = 1u << 20;
  for (ULONG n : {2 * kMiB - 2, 2 * kMiB - 1, 2 * kMiB, 32767u * 1310u}) {
    for (int round = 0; round < 2; ++round) {  // the second must not see the first's bytes
      SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, n);
      ASSERT_NE(psa, nullptr) << n;
      auto* bytes = static_cast<unsigned char*>(psa->pvData);
      const std::vector<unsigned char> zeros(n, 0);
      ASSERT_EQ(std::memcmp(bytes, zeros.data(), n), 0) << n;
      std::memset(bytes, 0xAB, n);
      // A caller may scribble over the descriptor; the right block is still freed.
      psa->pvData = nullptr;
      psa->rgsabound[0].cElements = 1;
      EXPECT_EQ(SafeArrayDestroy(psa), S_OK) << n;
    }
  }
}

TEST(SafeArray, EmptyVectorStillHasData) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 0);
  ASSERT_NE(psa, nullptr);
  void* data = nullptr;
  EXPECT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, OnlyByteVectorsAreMade) {
  EXPECT_EQ(SafeArrayCreateVector(8, 0, 10), nullptr);
}

TEST(SafeArray, DestroyFailsWhileAccessedAndUnaccessMustBalance) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 4);
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &a), S_OK);
  ASSERT_EQ(SafeArrayAccessData(psa, &b), S_OK);
  EXPECT_EQ(a, b);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, BadArgumentsAreRefused) {
  void* data = nullptr;
  EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 1);
  EXPECT_EQ(SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayUnaccessData(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, ADestroyedArrayIsNotFreedTwice) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 16);
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), E_INVALIDARG);
}

TEST(Variant, ClearDestroysAFetchedPageTaggedEitherWay) {
  for (VARTYPE vt : {VT_UI1, static_cast<VARTYPE>(VT_ARRAY | VT_UI1)}) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = vt;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, 1310);
    SAFEARRAY* page = v.parray;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(v.parray, nullptr);
    EXPECT_EQ(SafeArrayDestroy(page), E_INVALIDARG) << "the page is gone already";
  }
}

TEST(Variant, ClearOfALockedPageFailsAndKeepsIt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI1;
  v.parray = SafeArrayCreateVector(VT_UI1, 0, 8);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(v.parray, &data), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_UI1);
  ASSERT_NE(v.parray, nullptr);
  EXPECT_EQ(SafeArrayUnaccessData(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(Variant, ClearOfAPlainByteValueFreesNothing) {
  VARIANT v;
  std::memset(&v, 0x5A, sizeof v);  // stale bytes around the value
  v.vt = VT_UI1;
  v.bVal = 7;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
