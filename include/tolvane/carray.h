// The dynamic array that crosses the interface for database entry handles.
#pragma once

#include <cstddef>
#include <vector>

template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray {
 public:
  CArray() = default;

  std::ptrdiff_t GetSize() const { return static_cast<std::ptrdiff_t>(data_.size()); }
  std::ptrdiff_t GetCount() const { return GetSize(); }
  bool IsEmpty() const { return data_.empty(); }
  std::ptrdiff_t GetUpperBound() const { return GetSize() - 1; }

  std::ptrdiff_t Add(ARG_TYPE element) {
    data_.push_back(element);
    return GetSize() - 1;
  }
  void RemoveAll() { data_.clear(); }
  void SetSize(std::ptrdiff_t n) { data_.resize(static_cast<std::size_t>(n)); }

  const TYPE& GetAt(std::ptrdiff_t i) const { return data_.at(static_cast<std::size_t>(i)); }
  TYPE& ElementAt(std::ptrdiff_t i) { return data_.at(static_cast<std::size_t>(i)); }
  void SetAt(std::ptrdiff_t i, ARG_TYPE element) { data_.at(static_cast<std::size_t>(i)) = element; }
  TYPE& operator[](std::ptrdiff_t i) { return ElementAt(i); }
  const TYPE& operator[](std::ptrdiff_t i) const { return GetAt(i); }
  TYPE* GetData() { return data_.data(); }
  const TYPE* GetData() const { return data_.data(); }

 private:
  std::vector<TYPE> data_;
};
