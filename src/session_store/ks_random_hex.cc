#include "ks_random_hex.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "ks_hex.h"

namespace ks {
namespace server {

std::string randomHex(size_t bytes) {
  std::vector<uint8_t> bits(bytes);
  size_t filled = 0;
  while (filled < bits.size()) {
    const ssize_t n = getrandom(bits.data() + filled, bits.size() - filled, 0);
    if (n < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "getrandom");
    if (n > 0) filled += static_cast<size_t>(n);
  }
  return toHex(bits.data(), bits.size());
}

}  // namespace server
}  // namespace ks
