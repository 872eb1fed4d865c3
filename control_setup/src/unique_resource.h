// Sole ownership of one system handle (process, snapshot, registry key, stream ...), released exactly once.
// Kept free of <windows.h>: each user supplies the release function where the handle type is known.
#pragma once

#include <utility>

namespace control_setup {

// `Release` is a function object type; it is called on the held value unless that equals `invalid`.
template <typename T, typename Release, T kInvalid = T{}>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(std::exchange(other.value_, kInvalid)) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = std::exchange(other.value_, kInvalid);
    }
    return *this;
  }

  T get() const { return value_; }
  bool valid() const { return value_ != kInvalid; }

  void reset() {
    if (value_ != kInvalid) Release()(std::exchange(value_, kInvalid));
  }

 private:
  T value_ = kInvalid;
};

}  // namespace control_setup
