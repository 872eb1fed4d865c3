// Sole ownership of one system handle (process, snapshot, registry key, stream ...), released exactly once.
// Kept free of <windows.h>: each user supplies the release function where the handle type is known.
#pragma once

#include <utility>

namespace control_setup {

// `Release` is a function object type; it is called on the held value unless that equals `Invalid`.
template <typename T, typename Release, T Invalid = T{}>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(std::exchange(other.value_, Invalid)) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = std::exchange(other.value_, Invalid);
    }
    return *this;
  }

  T get() const { return value_; }
  bool valid() const { return value_ != Invalid; }

  void reset() {
    if (value_ != Invalid) Release()(std::exchange(value_, Invalid));
  }

 private:
  T value_ = Invalid;
};

}  // namespace control_setup
