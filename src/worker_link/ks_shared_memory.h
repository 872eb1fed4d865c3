// Memory the server shares with a worker process: an anonymous file (memfd) that each side maps. The side
// that creates a region seals it against shrinking, so no mapping ever reaches past the bytes under it
// (whatever the other side does, a read cannot fault); either side may grow it.
#pragma once

#include <cstddef>
#include <string>

#include "ks_unique_fd.h"

namespace ks {
namespace server {

// Owns a descriptor and a mapping of it. Moves, does not copy. Not thread-safe.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&& other) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // A new region of `size` bytes (0 allowed), mapped read-write and sealed against shrinking. `name` shows
  // in /proc for debugging. Throws std::system_error.
  static SharedMemory create(const char* name, size_t size);
  // The same, unsealed until sealReadOnly(), so that it may still shrink (see truncate()): for bytes whose
  // length is known only once written, shared with nobody before they are sealed.
  static SharedMemory createUnsealed(const char* name, size_t size);

  // Maps the region `fd` holds, read-write, at its current size, which must not exceed `maxSize`; the
  // region must be sealed against shrinking (else a peer could pull the bytes from under the mapping).
  // Throws std::system_error, or std::length_error for a region over `maxSize` or without the seal.
  static SharedMemory adopt(UniqueFd fd, size_t maxSize);

  // Like adopt(), read-only, for a region sealed against every change (see sealReadOnly()).
  static SharedMemory adoptReadOnly(UniqueFd fd, size_t maxSize);

  // Grows the region to at least `size` bytes and maps all of it; never shrinks. The mapping may move, so
  // pointers into it are stale afterwards. Throws std::system_error.
  void reserve(size_t size);

  // Maps whatever the region holds now, after the other side grew it. Returns false, keeping the old
  // mapping, when it holds more than `maxSize`. Throws std::system_error.
  bool refresh(size_t maxSize);

  // Gives the memory past the first `keep` bytes back to the system, for everyone who maps the region; its
  // size stays, and those bytes read as zeros until written again. Throws std::system_error.
  void release(size_t keep);

  // Cuts an unsealed region to `size` bytes. Throws std::system_error (EPERM once sealed).
  void truncate(size_t size);

  // Makes the region immutable for everyone who holds it (no write, grow or shrink, and no further seal)
  // and maps it read-only. Throws std::system_error.
  void sealReadOnly();

  unsigned char* data() { return static_cast<unsigned char*>(map_); }
  const unsigned char* data() const { return static_cast<const unsigned char*>(map_); }
  size_t size() const { return size_; }
  int fd() const { return fd_.get(); }
  explicit operator bool() const { return static_cast<bool>(fd_); }

 private:
  void unmap();
  void mapAll(size_t size, bool writable);

  UniqueFd fd_;
  void* map_ = nullptr;
  size_t size_ = 0;
  bool writable_ = true;
};

}  // namespace server
}  // namespace ks
