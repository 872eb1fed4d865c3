// Networks kept on disk under the key a client uploaded them with, so a later load may send the key and no
// network. Bounded in total size; the least recently used networks go first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace ks {
namespace server {

// Thread-safe. Reads and writes only inside its folder, under names made from the key's bytes in hex
// (unlike a hash, no two keys share a file, so no client can replace another's network by crafting a key,
// and no key can name a file outside the folder).
class NetworkCache {
 public:
  static constexpr size_t kMaxKeyBytes = 120;  // a file name holds at most 255 bytes

  // Keeps at most `maxBytes` of networks in `folder` (0: no bound), creating the folder and indexing what
  // an earlier run left there (its files' modification times give their order of use). Throws
  // std::runtime_error when the folder cannot be created or read.
  NetworkCache(std::string folder, uint64_t maxBytes);

  // The network stored under `key`, counted as a use of it; empty when there is none.
  std::string find(const std::string& key);

  // Stores `bytes` under `key` (at most kMaxKeyBytes), replacing what it held, then evicts the least
  // recently used networks until the total fits. A network larger than the whole bound is not kept.
  // Returns false when nothing was stored (too large, or the disk refused); the cache only saves a later
  // upload, so callers go on.
  bool store(const std::string& key, std::string_view bytes);

  uint64_t totalBytes() const;
  size_t count() const;

 private:
  struct Entry {
    uint64_t bytes;
    uint64_t lastUse;  // a counter: larger is more recent
  };
  void evictLocked();

  const std::string folder_;
  const uint64_t maxBytes_;
  mutable std::mutex mutex_;              // guards everything below
  std::map<std::string, Entry> entries_;  // by file name
  uint64_t totalBytes_ = 0;
  uint64_t clock_ = 0;
  uint64_t partials_ = 0;
};

}  // namespace server
}  // namespace ks
