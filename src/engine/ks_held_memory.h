// The memory clients make the server hold, against one budget: the networks (their bytes and what the
// engine holds for them) and the tensors of runs (the run regions the server shares with its workers).
// Memory is taken before it is used where it can be (a region grown for a request's inputs), and counted
// as it is found where it cannot (a region a worker grew for its outputs).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace ks {
namespace server {

// Thread-safe.
class HeldMemory {
 public:
  // `budget` 0: no bound, only counting.
  explicit HeldMemory(size_t budget = 0) : budget_(budget) {}

  // Takes `bytes` when they fit within the budget, waiting at most `wait` for others to give some back.
  // Returns false, taking nothing, when they did not fit in time.
  bool take(size_t bytes, std::chrono::milliseconds wait = std::chrono::milliseconds(0));
  // Counts `bytes` already in use, whether or not they fit.
  void count(size_t bytes);
  void give(size_t bytes);

  size_t budget() const { return budget_; }
  size_t held() const;
  size_t regionBytes() const;  // of the held bytes, those in run regions
  uint64_t refusals() const;

  // What run regions take and give goes through these, for the figure of regions alone.
  bool takeForRegion(size_t bytes, std::chrono::milliseconds wait);
  void countForRegion(size_t bytes);
  void giveFromRegion(size_t bytes);

 private:
  const size_t budget_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable freed_;
  size_t held_ = 0;
  size_t regions_ = 0;
  uint64_t refusals_ = 0;
};

}  // namespace server
}  // namespace ks
