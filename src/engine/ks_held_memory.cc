#include "ks_held_memory.h"

namespace ks {
namespace server {

bool HeldMemory::take(size_t bytes, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto fits = [&] { return budget_ == 0 || (held_ <= budget_ && bytes <= budget_ - held_); };
  if (!freed_.wait_for(lock, wait, fits)) {
    ++refusals_;
    return false;
  }
  held_ += bytes;
  return true;
}

void HeldMemory::count(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ += bytes;
}

void HeldMemory::give(size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ -= bytes < held_ ? bytes : held_;
  }
  freed_.notify_all();
}

size_t HeldMemory::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

size_t HeldMemory::regionBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return regions_;
}

uint64_t HeldMemory::refusals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusals_;
}

bool HeldMemory::takeForRegion(size_t bytes, std::chrono::milliseconds wait) {
  if (!take(bytes, wait)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  regions_ += bytes;
  return true;
}

void HeldMemory::countForRegion(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ += bytes;
  regions_ += bytes;
}

void HeldMemory::giveFromRegion(size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    regions_ -= bytes < regions_ ? bytes : regions_;
  }
  give(bytes);
}

}  // namespace server
}  // namespace ks
