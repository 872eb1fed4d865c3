#include "ks_sha256.h"

#include <nettle/sha2.h>

#include "ks_hex.h"

namespace ks {
namespace server {

Sha256Digest sha256(const void* data, size_t size) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, size, static_cast<const uint8_t*>(data));
  Sha256Digest digest;
  sha256_digest(&context, digest.size(), digest.data());
  return digest;
}

std::string digestHex(const Sha256Digest& digest) { return toHex(digest.data(), digest.size()); }

bool digestFromHex(std::string_view text, Sha256Digest& digest) { return fromHex(text, digest.data(), digest.size()); }

}  // namespace server
}  // namespace ks
