// Networks by content, in a folder the nodes share: each under the hex SHA-256 of its bytes, so any node
// can load what another node's session loaded, and no upload can replace another's network.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ks_sha256.h"
#include "ks_shared_memory.h"

namespace ks {
namespace server {

// Thread-safe, and safe between processes and machines sharing the folder: a network is written to a
// name of its own, then renamed into place, so a reader sees a whole network or none.
class NetworkStore {
 public:
  // Creates `folder` when missing. Throws std::runtime_error when it cannot be created.
  explicit NetworkStore(std::string folder);

  // Stores `bytes`, whose digest is `digest`, unless a network of that digest is already there. Returns
  // false when the disk refused; the network then cannot move to another node.
  bool put(const Sha256Digest& digest, std::string_view bytes);

  // The network of `digest` (64 hex digits), read into a region; nothing when it is not there or its
  // bytes no longer have that digest (a damaged file is removed).
  std::optional<SharedMemory> get(const std::string& wanted);

  const std::string& folder() const { return folder_; }

 private:
  std::string pathOf(const std::string& hex) const;

  const std::string folder_;
};

}  // namespace server
}  // namespace ks
