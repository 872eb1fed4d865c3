#include "ks_network_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <vector>

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

// A file a writer left behind half written: its writer died, since a live one writes it steadily.
constexpr std::chrono::minutes kAbandoned{10};

constexpr std::string_view kSuffix = ".onnx";
constexpr size_t kHexDigits = 64;

struct Held {
  std::string name;
  uint64_t bytes;
  timespec used;
};

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

timespec ago(std::chrono::milliseconds span) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const long long nanoseconds = static_cast<long long>(now.tv_nsec) - span.count() % 1000 * 1000000;
  now.tv_sec -= static_cast<time_t>(span.count() / 1000 + (nanoseconds < 0 ? 1 : 0));
  now.tv_nsec = static_cast<long>(nanoseconds < 0 ? nanoseconds + 1000000000 : nanoseconds);
  return now;
}

// The digest of what the file at `path` holds now; nothing when it cannot be read whole.
std::optional<Sha256Digest> digestOfFile(const std::string& path, uint64_t expectedBytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat held {};
  if (!fd || ::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) return std::nullopt;
  if (static_cast<uint64_t>(held.st_size) != expectedBytes) return std::nullopt;
  SharedMemory bytes = SharedMemory::createUnsealed("ks-network-check", static_cast<size_t>(held.st_size));
  if (!readAll(fd.get(), bytes.data(), bytes.size())) return std::nullopt;
  return sha256(bytes.data(), bytes.size());
}

}  // namespace

NetworkStore::NetworkStore(std::string folder, uint64_t maxBytes, std::chrono::milliseconds settle)
    : folder_(std::move(folder)), maxBytes_(maxBytes), settle_(settle) {
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (ec) throw std::runtime_error("cannot create the network store " + folder_ + ": " + ec.message());
}

std::string NetworkStore::pathOf(const std::string& hex) const { return folder_ + "/" + hex + ".onnx"; }

bool NetworkStore::put(const Sha256Digest& digest, std::string_view bytes, const NamedNetworks& named) {
  const std::string hex = digestHex(digest);
  const std::string path = pathOf(hex);
  std::lock_guard<std::mutex> lock(mutex_);
  if (digestOfFile(path, bytes.size()) == digest) {
    // Held already: this is a use of it.
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
    return true;
  }
  if (maxBytes_ != 0 && (bytes.size() > maxBytes_ || !makeRoom(bytes.size(), hex, named))) return false;

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

bool NetworkStore::makeRoom(uint64_t incoming, const std::string& replaced, const NamedNetworks& named) {
  std::vector<Held> networks;
  uint64_t total = 0;
  std::error_code ec;
  const timespec abandoned = ago(kAbandoned);
  for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
    const std::string name = entry.path().filename().string();
    struct stat held {};
    if (::lstat(entry.path().c_str(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
    const bool network =
        name.size() == kHexDigits + kSuffix.size() && name.compare(kHexDigits, std::string::npos, kSuffix) == 0;
    // mkostemp's names: the network's, a dot and six characters.
    const bool partial =
        name.size() == kHexDigits + kSuffix.size() + 7 && name.compare(kHexDigits, kSuffix.size() + 1, ".onnx.") == 0;
    if (!network && !partial) continue;
    if (partial && before(held.st_mtim, abandoned)) {
      ::unlink(entry.path().c_str());
      continue;
    }
    if (name.compare(0, kHexDigits, replaced) == 0) continue;
    // A file being written counts: it is a network in a moment.
    total += static_cast<uint64_t>(held.st_size);
    if (network) networks.push_back({name.substr(0, kHexDigits), static_cast<uint64_t>(held.st_size), held.st_mtim});
  }
  if (ec) return false;
  if (total + incoming <= maxBytes_) return true;
  std::set<std::string> live;
  try {
    live = named();
  } catch (const std::exception&) {
    return false;  // what no session names cannot be told: nothing is removed
  }
  std::sort(networks.begin(), networks.end(), [](const Held& a, const Held& b) { return before(a.used, b.used); });
  const timespec settled = ago(settle_);
  for (const Held& network : networks) {
    if (live.count(network.name) != 0 || !before(network.used, settled)) continue;
    if (::unlink(pathOf(network.name).c_str()) != 0 && errno != ENOENT) continue;
    total -= network.bytes;
    if (total + incoming <= maxBytes_) return true;
  }
  return false;
}

uint64_t NetworkStore::totalBytes() const {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
    struct stat held {};
    if (::lstat(entry.path().c_str(), &held) == 0 && S_ISREG(held.st_mode))
      total += static_cast<uint64_t>(held.st_size);
  }
  return total;
}

std::optional<SharedMemory> NetworkStore::get(const std::string& wanted, Fault* fault) {
  if (fault != nullptr) *fault = Fault::kMissing;
  const std::string path = pathOf(wanted);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat held {};
  if (::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode) || held.st_size <= 0) return std::nullopt;
  SharedMemory bytes = SharedMemory::createUnsealed("ks-network", static_cast<size_t>(held.st_size));
  if (!readAll(fd.get(), bytes.data(), bytes.size()) || digestHex(sha256(bytes.data(), bytes.size())) != wanted) {
    // Damaged where it lies: gone, so the next load that has the network writes it again.
    ::unlink(path.c_str());
    if (fault != nullptr) *fault = Fault::kDamaged;
    return std::nullopt;
  }
  ::futimens(fd.get(), nullptr);
  return bytes;
}

}  // namespace server
}  // namespace ks
