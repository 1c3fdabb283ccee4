// The field-ID cache: keys, the 277-bucket table and the shared state.
#include "manager/field_cache.h"

#include "platform/codepage.h"

namespace tolvane {

FieldKey::FieldKey(std::string_view node, char blockType, std::string_view field)
    : blockType_(blockType) {
  text_.reserve(node.size() + field.size());
  text_.append(node);
  text_.append(field);
  MbsUpperInPlace(text_);
}

uint32_t FieldKey::Hash() const {
  uint32_t h = 0;
  for (char c : text_)
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(blockType_)));
  return h;
}

const CVsp* FieldMap::Lookup(const FieldKey& key) const {
  for (const auto& [k, v] : buckets_[key.Hash() % kBuckets]) {
    if (k == key) return &v;
  }
  return nullptr;
}

void FieldMap::SetAt(const FieldKey& key, const CVsp& value) {
  auto& bucket = buckets_[key.Hash() % kBuckets];
  for (auto& [k, v] : bucket) {
    if (k == key) {
      v = value;
      return;
    }
  }
  bucket.emplace_front(key, value);
  ++count_;
}

void FieldMap::RemoveAll() {
  for (auto& b : buckets_) b.clear();
  count_ = 0;
}

ManagerShared& Shared() {
  static ManagerShared shared;
  return shared;
}

}  // namespace tolvane
