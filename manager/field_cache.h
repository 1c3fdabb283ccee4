// The process-wide field-ID cache and database serial-information map shared
// by every manager, and the lock that guards them with the object count.
#pragma once

#include <cstdint>
#include <forward_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/critical_section.h"
#include "tolvane/records.h"

namespace tolvane {

// Value of the cache: one field address.
class CVsp {
 public:
  CVsp() : vsp_{} {}
  explicit CVsp(const VSP& v) : vsp_(v) {}
  const VSP& vsp() const { return vsp_; }

 private:
  VSP vsp_;
};

// Key of the cache: node and field name (upper-cased, joined) and block type.
class FieldKey {
 public:
  FieldKey(std::string_view node, char blockType, std::string_view field);
  const std::string& text() const { return text_; }
  char blockType() const { return blockType_; }
  uint32_t Hash() const;
  bool operator==(const FieldKey& o) const {
    return text_ == o.text_ && blockType_ == o.blockType_;
  }

 private:
  std::string text_;
  char blockType_;
};

// Chained hash table with a fixed 277 buckets.
class FieldMap {
 public:
  static constexpr std::size_t kBuckets = 277;
  FieldMap() : buckets_(kBuckets) {}

  // REQUIRES: the manager lock is held.
  const CVsp* Lookup(const FieldKey& key) const;
  void SetAt(const FieldKey& key, const CVsp& value);
  void RemoveAll();
  std::size_t GetCount() const { return count_; }

 private:
  std::vector<std::forward_list<std::pair<FieldKey, CVsp>>> buckets_;
  std::size_t count_ = 0;
};

// Node name -> serial number last reported for it.
using SerialMap = std::unordered_map<std::string, uint32_t>;

struct ManagerShared {
  CCriticalSection lock;
  FieldMap fieldMap;
  // Null until a manager exists; dropped with the last manager.
  std::unique_ptr<SerialMap> serialMap;
};

// The process-wide state, created at first use and kept until unload.
ManagerShared& Shared();

}  // namespace tolvane
