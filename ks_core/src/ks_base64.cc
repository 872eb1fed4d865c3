#include "ks_core/ks_base64.h"

#include <cstdint>

#include "ks_base64_kernels.h"
#include "ks_core/ks_exception.h"

namespace ks {

unsigned estimateBase64Length(unsigned size) {
  const uint64_t length = (static_cast<uint64_t>(size) + 2) / 3 * 4;
  if (length > UINT32_MAX) {
    throw Exception(nullptr, Status::kOutOfRange, "estimateBase64Length", "ks_core/src/ks_base64", __LINE__,
                    "Base64 text of %u bytes is too long", size);
  }
  return static_cast<unsigned>(length);
}

void encodeBase64To(const unsigned char* data, size_t size, char* out) {
  static const Base64EncodeFn kEncode = activeBase64Kernel().encode;
  kEncode(data, size, out);
}

unsigned encodeBase64(const unsigned char* data, unsigned size, char* out, unsigned capacity) {
  const uint64_t length = (static_cast<uint64_t>(size) + 2) / 3 * 4;
  if (length > capacity) return 0;
  encodeBase64To(data, size, out);
  if (length < capacity) out[length] = '\0';
  return static_cast<unsigned>(length);
}

Base64Decoded decodeBase64To(const char* text, size_t length, unsigned char* out, size_t capacity) {
  static const Base64DecodeFn kDecode = activeBase64Kernel().decode;
  return kDecode(text, length, out, capacity);
}

bool decodeBase64(const char* text, unsigned length, Buffer& out) {
  out.reset(static_cast<size_t>(length) / 4 * 3);
  const Base64Decoded result = decodeBase64To(text, length, out.data(), out.size());
  out.shrink(result.size);
  return result.ok;
}

}  // namespace ks
