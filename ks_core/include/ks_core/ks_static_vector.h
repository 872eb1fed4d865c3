// A vector with a fixed capacity held inline: no allocation, trivially copyable for trivial elements.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "ks_core/ks_exception.h"

namespace ks {

template <typename T, uint32_t Capacity>
class StaticVector {
 public:
  StaticVector() : size_(0), data_{} {}

  // Throws like pushBack when `values` holds more than Capacity elements.
  StaticVector(std::initializer_list<T> values) : StaticVector() {
    for (const T& value : values) pushBack(value);
  }

  static constexpr uint32_t capacity() { return Capacity; }
  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool full() const { return size_ == Capacity; }

  // Appends `value`. A full vector throws ks::Exception (status kCapacityExceeded) and is left unchanged.
  void pushBack(const T& value) {
    if (size_ == Capacity) {
      throw Exception(nullptr, Status::kCapacityExceeded, "pushBack", "./include/ks_core/ks_static_vector", __LINE__,
                      "No room for new element. StaticVector is full.");
    }
    data_[size_++] = value;
  }

  void clear() {
    for (uint32_t i = 0; i < Capacity; ++i) data_[i] = T{};
    size_ = 0;
  }

  // Element access; `index` must be below size().
  const T& operator[](uint32_t index) const { return data_[index]; }
  T& operator[](uint32_t index) { return data_[index]; }

  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  friend bool operator==(const StaticVector& a, const StaticVector& b) {
    if (a.size_ != b.size_) return false;
    for (uint32_t i = 0; i < a.size_; ++i) {
      if (!(a.data_[i] == b.data_[i])) return false;
    }
    return true;
  }
  friend bool operator!=(const StaticVector& a, const StaticVector& b) { return !(a == b); }

 private:
  uint32_t size_;
  T data_[Capacity];
};

}  // namespace ks
