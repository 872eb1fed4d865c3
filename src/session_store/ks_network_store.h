// Networks by content, in a folder the nodes share: each under the hex SHA-256 of its bytes, so any node
// can load what another node's session loaded, and no upload can replace another's network. Bounded in
// size: to make room, the networks no live session names go, least recently used first.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "ks_sha256.h"
#include "ks_shared_memory.h"

namespace ks {
namespace server {

// Thread-safe, and safe between processes and machines sharing the folder: a network is written to a
// name of its own, then renamed into place, so a reader sees a whole network or none. A file's
// modification time is its last use (written, found again, or read).
class NetworkStore {
 public:
  // The digests (64 hex digits) of the networks that live sessions name; throws when it cannot tell.
  using NamedNetworks = std::function<std::set<std::string>()>;

  // Keeps at most `maxBytes` of networks in `folder` (0: no bound), creating it when missing. A network
  // used less than `settle` ago is never removed: another node may be about to name it. Throws
  // std::runtime_error when the folder cannot be created.
  NetworkStore(std::string folder, uint64_t maxBytes, std::chrono::milliseconds settle);

  // Stores `bytes`, whose digest is `digest`, unless the folder holds them already (a file of that name
  // whose bytes differ, damaged where it lies, is written again). When the folder would pass its bound,
  // first removes networks that `named` does not list and that are older than the settle time, least
  // recently used first. Returns false when the network was not stored: the disk refused, or no room
  // could be made (larger than the bound, or everything there is named or new, or `named` threw); the
  // network then cannot move to another node.
  bool put(const Sha256Digest& digest, std::string_view bytes, const NamedNetworks& named);

  // Why get() found nothing.
  enum class Fault { kMissing, kDamaged };
  // The network of `digest` (64 hex digits), read into a region. Nothing when it is not there or its
  // bytes no longer have that digest (a damaged file is removed); `fault`, when not null, says which.
  std::optional<SharedMemory> get(const std::string& wanted, Fault* fault = nullptr);

  // The bytes of the networks in the folder, as a listing finds them now.
  uint64_t totalBytes() const;
  const std::string& folder() const { return folder_; }
  uint64_t maxBytes() const { return maxBytes_; }

 private:
  std::string pathOf(const std::string& hex) const;
  // Removes unnamed networks until `incoming` more bytes fit (a file `replaced` goes anyway); false when
  // they cannot be made to fit.
  bool makeRoom(uint64_t incoming, const std::string& replaced, const NamedNetworks& named);

  const std::string folder_;
  const uint64_t maxBytes_;
  const std::chrono::milliseconds settle_;
  std::mutex mutex_;  // one writer of this process at a time decides what to remove
};

}  // namespace server
}  // namespace ks
