// Shared pieces of the fuzz targets: the input as NUL-terminated text, and the rejections a reader may
// legitimately raise. Anything else that escapes a reader (or a sanitizer report) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "ks_core/ks_exception.h"

namespace ks {
namespace fuzz {

inline std::string textOf(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Runs `read`; returns false when it rejected the input the way readers reject bad content.
template <typename Read>
bool readsCleanly(Read&& read) {
  try {
    read();
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  } catch (const ks::Exception&) {
    return false;
  }
}

}  // namespace fuzz
}  // namespace ks
