#include "ks_shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace ks {
namespace server {
namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

size_t fileSize(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) fail("fstat of shared memory");
  return static_cast<size_t>(info.st_size);
}

int sealsOf(int fd) {
  const int seals = ::fcntl(fd, F_GET_SEALS);
  if (seals < 0) fail("F_GET_SEALS of shared memory");
  return seals;
}

}  // namespace

SharedMemory::~SharedMemory() { unmap(); }

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fd_(std::move(other.fd_)),
      map_(std::exchange(other.map_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      writable_(other.writable_) {}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    unmap();
    fd_ = std::move(other.fd_);
    map_ = std::exchange(other.map_, nullptr);
    size_ = std::exchange(other.size_, 0);
    writable_ = other.writable_;
  }
  return *this;
}

void SharedMemory::unmap() {
  if (map_ != nullptr) ::munmap(map_, size_);
  map_ = nullptr;
  size_ = 0;
}

void SharedMemory::mapAll(size_t size, bool writable) {
  unmap();
  writable_ = writable;
  if (size == 0) return;
  void* map = ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd_.get(), 0);
  if (map == MAP_FAILED) fail("mmap of shared memory");
  map_ = map;
  size_ = size;
}

SharedMemory SharedMemory::createUnsealed(const char* name, size_t size) {
  SharedMemory memory;
  memory.fd_.reset(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!memory.fd_) fail("memfd_create");
  if (::ftruncate(memory.fd_.get(), static_cast<off_t>(size)) != 0) fail("ftruncate of shared memory");
  memory.mapAll(size, true);
  return memory;
}

SharedMemory SharedMemory::create(const char* name, size_t size) {
  SharedMemory memory = createUnsealed(name, size);
  if (::fcntl(memory.fd_.get(), F_ADD_SEALS, F_SEAL_SHRINK) != 0) fail("F_SEAL_SHRINK");
  return memory;
}

void SharedMemory::release(size_t keep) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t from = (keep + page - 1) / page * page;
  const size_t size = fileSize(fd_.get());
  if (from >= size) return;
  if (::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                  static_cast<off_t>(size - from)) != 0) {
    fail("releasing shared memory");
  }
}

void SharedMemory::truncate(size_t size) {
  if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) fail("ftruncate of shared memory");
  mapAll(size, writable_);
}

SharedMemory SharedMemory::adopt(UniqueFd fd, size_t maxSize) {
  SharedMemory memory;
  memory.fd_ = std::move(fd);
  if ((sealsOf(memory.fd_.get()) & F_SEAL_SHRINK) == 0) throw std::length_error("shared memory that may shrink");
  const size_t size = fileSize(memory.fd_.get());
  if (size > maxSize) throw std::length_error("shared memory larger than allowed");
  memory.mapAll(size, true);
  return memory;
}

SharedMemory SharedMemory::adoptReadOnly(UniqueFd fd, size_t maxSize) {
  SharedMemory memory;
  memory.fd_ = std::move(fd);
  const int needed = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
  if ((sealsOf(memory.fd_.get()) & needed) != needed) throw std::length_error("shared memory that may change");
  const size_t size = fileSize(memory.fd_.get());
  if (size > maxSize) throw std::length_error("shared memory larger than allowed");
  memory.mapAll(size, false);
  return memory;
}

void SharedMemory::reserve(size_t size) {
  const size_t held = fileSize(fd_.get());
  if (size > held && ::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) fail("ftruncate of shared memory");
  const size_t now = size > held ? size : held;
  if (now != size_) mapAll(now, writable_);
}

bool SharedMemory::refresh(size_t maxSize) {
  const size_t now = fileSize(fd_.get());
  if (now > maxSize) return false;
  if (now != size_) mapAll(now, writable_);
  return true;
}

void SharedMemory::sealReadOnly() {
  const size_t size = size_;
  // F_SEAL_WRITE is refused while any writable mapping exists, ours included.
  unmap();
  if (::fcntl(fd_.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    fail("sealing shared memory");
  }
  mapAll(size, false);
}

}  // namespace server
}  // namespace ks
