// Unguessable names: random bits from the kernel, in lower-case hex.
#pragma once

#include <cstddef>
#include <string>

namespace ks {
namespace server {

// 2 * `bytes` hex digits of `bytes` random bytes from getrandom(2). Throws std::system_error when the
// kernel refuses.
std::string randomHex(size_t bytes);

}  // namespace server
}  // namespace ks
