// SHA-256, to recognise byte-identical networks without keeping their bytes: a network is shared between
// sessions only under its digest, and no client can craft bytes that collide with another's network.
// Computed by nettle, which takes the processor's SHA extensions where it has them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ks {
namespace server {

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest sha256(const void* data, size_t size);

// The digest in 64 lower-case hex digits.
std::string digestHex(const Sha256Digest& digest);
// The digest those 64 lower-case hex digits spell; false for any other text.
bool digestFromHex(std::string_view text, Sha256Digest& digest);

}  // namespace server
}  // namespace ks
