#include "ks_core/ks_status.h"

namespace ks {

const char* statusName(Status status) {
  static const char* const kNames[] = {
      "OK",
      "ERROR",
      "NOT_IMPLEMENTED",
      "INTERNAL_ERROR",
      "UNKNOWN_ERROR",
      "OUT_OF_RANGE",
      "INVALID_ARGUMENT",
      "INVALID_FORMAT",
      "NOT_SUPPORTED",
      "INVALID_STATE",
      "ALREADY_EXISTS",
      "LOGIC_ERROR",
      "RUNTIME_ERROR",
      "IO_ERROR",
      "TIMEOUT",
      "DEVICE_ERROR",
      "OUT_OF_MEMORY",
      "BUSY",
      "UNAVAILABLE",
      "CAPACITY_EXCEEDED",
      "NOT_FOUND",
      "PERMISSION_DENIED",
      "CANCELLED",
      "ABORTED",
      "BACKEND_ERROR",
      "COMPILATION_ERROR",
      "RESOURCE_EXHAUSTED",
      "DATA_LOSS",
      "UNAUTHENTICATED",
      "VERSION_MISMATCH",
  };
  const auto value = static_cast<int32_t>(status);
  if (value < 0 || value >= static_cast<int32_t>(sizeof(kNames) / sizeof(kNames[0]))) return "UNKNOWN_STATUS";
  return kNames[value];
}

}  // namespace ks
