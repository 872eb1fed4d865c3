#include "ks_network_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "ks_unique_fd.h"

namespace ks {
namespace server {
namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    data += wrote;
    size -= static_cast<size_t>(wrote);
  }
  return true;
}

bool readAll(int fd, unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

NetworkStore::NetworkStore(std::string folder) : folder_(std::move(folder)) {
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (ec) throw std::runtime_error("cannot create the network store " + folder_ + ": " + ec.message());
}

std::string NetworkStore::pathOf(const std::string& hex) const { return folder_ + "/" + hex + ".onnx"; }

bool NetworkStore::put(const Sha256Digest& digest, std::string_view bytes) {
  const std::string path = pathOf(digestHex(digest));
  struct stat held {};
  if (::stat(path.c_str(), &held) == 0 && static_cast<uint64_t>(held.st_size) == bytes.size()) return true;

  // A name of this writer's own beside the final one: a writer that dies leaves a file no reader takes.
  std::string temporary = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(&temporary[0], O_CLOEXEC));
  if (!fd) return false;
  const bool written =
      ::fchmod(fd.get(), 0640) == 0 && writeAll(fd.get(), bytes.data(), bytes.size()) && ::fsync(fd.get()) == 0;
  fd.reset();
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::optional<SharedMemory> NetworkStore::get(const std::string& wanted) {
  const std::string path = pathOf(wanted);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat held {};
  if (::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode) || held.st_size <= 0) return std::nullopt;
  SharedMemory bytes = SharedMemory::createUnsealed("ks-network", static_cast<size_t>(held.st_size));
  if (!readAll(fd.get(), bytes.data(), bytes.size())) return std::nullopt;
  if (digestHex(sha256(bytes.data(), bytes.size())) != wanted) {
    // Damaged where it lies: gone, so the next load that has the network writes it again.
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return bytes;
}

}  // namespace server
}  // namespace ks
