#include "ks_memory_budget.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace ks {
namespace server {
namespace {

thread_local MemoryBudget* currentBudget = nullptr;

// Every block starts with this header, padded to the alignment, so the pointer handed out stays aligned.
constexpr size_t kAlignment = 64;
struct BlockHeader {
  MemoryBudget* budget;
  size_t bytes;  // asked for
  size_t size;   // allocated, header included
};
static_assert(sizeof(BlockHeader) <= kAlignment, "the header must fit in the padding");

// What a block of `bytes` takes, header included: small ones to the alignment, larger ones to an eighth
// of their power of two, so that runs whose tensors differ a little in size still reuse each other's.
size_t blockSize(size_t bytes) {
  size_t size = bytes + kAlignment;
  size_t step = kAlignment;
  if (size > 4096) {
    size_t power = 4096;
    while (power <= size / 2) power *= 2;
    step = power / 8;
  }
  return (size + step - 1) / step * step;
}

// Freed blocks by size, for the next run to take again. The engine allocates the same tensors run after
// run, and an allocator that gives memory back only to fault it in again for the next run costs a
// network like PP-OCR's detection a fifth of its time; ONNX Runtime's own arena keeps its memory the same
// way. Budgets are charged and refunded per block whatever the cache holds.
class BlockCache {
 public:
  static constexpr size_t kMaxCachedBytes = size_t{1} << 30;

  void* take(size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = free_.find(size);
    if (found == free_.end() || found->second.empty()) return nullptr;
    void* block = found->second.back();
    found->second.pop_back();
    cached_ -= size;
    return block;
  }
  // Keeps `block` for reuse, or frees it when the cache is full.
  void give(void* block, size_t size) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cached_ + size <= kMaxCachedBytes) {
        free_[size].push_back(block);
        cached_ += size;
        return;
      }
    }
    std::free(block);
  }
  // Frees every cached block: before an allocation that found no memory tries again.
  void drop() {
    std::unordered_map<size_t, std::vector<void*>> blocks;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      blocks.swap(free_);
      cached_ = 0;
    }
    for (auto& entry : blocks) {
      for (void* block : entry.second) std::free(block);
    }
  }

 private:
  std::mutex mutex_;
  std::unordered_map<size_t, std::vector<void*>> free_;
  size_t cached_ = 0;
};

BlockCache& blockCache() {
  static BlockCache* cache = new BlockCache();  // never destroyed: blocks may be freed at exit
  return *cache;
}

}  // namespace

MemoryBudget::MemoryBudget(std::string name, size_t limit, MemoryBudget* parent)
    : name_(std::move(name)), limit_(limit), parent_(parent) {}

MemoryBudget* MemoryBudget::create(std::string name, size_t limit, MemoryBudget* parent) {
  return new MemoryBudget(std::move(name), limit, parent);
}

void MemoryBudget::release() {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool MemoryBudget::charge(size_t bytes) {
  size_t used = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > SIZE_MAX - used || (limit_ != 0 && used + bytes > limit_)) {
      exceeded_.store(true, std::memory_order_relaxed);
      return false;
    }
  } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  if (parent_ != nullptr && !parent_->charge(bytes)) {
    used_.fetch_sub(bytes, std::memory_order_relaxed);
    exceeded_.store(true, std::memory_order_relaxed);
    return false;
  }
  const size_t now = used + bytes;
  size_t peak = peak_.load(std::memory_order_relaxed);
  while (now > peak && !peak_.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return true;
}

void MemoryBudget::refund(size_t bytes) {
  used_.fetch_sub(bytes, std::memory_order_relaxed);
  if (parent_ != nullptr) parent_->refund(bytes);
}

MemoryBudgetScope::MemoryBudgetScope(MemoryBudget* budget) : previous_(currentBudget) { currentBudget = budget; }
MemoryBudgetScope::~MemoryBudgetScope() { currentBudget = previous_; }
MemoryBudget* MemoryBudgetScope::current() { return currentBudget; }

void* budgetedAllocate(size_t bytes) {
  if (bytes > SIZE_MAX - 2 * kAlignment || bytes > SIZE_MAX / 2) throw std::bad_alloc();
  MemoryBudget* budget = currentBudget;
  if (budget != nullptr) {
    if (!budget->charge(bytes)) throw std::bad_alloc();
    budget->retain();
  }
  const size_t size = blockSize(bytes);
  void* raw = blockCache().take(size);
  if (raw == nullptr) raw = std::aligned_alloc(kAlignment, size);
  if (raw == nullptr) {
    blockCache().drop();
    raw = std::aligned_alloc(kAlignment, size);
  }
  if (raw == nullptr) {
    if (budget != nullptr) {
      budget->refund(bytes);
      budget->release();
    }
    throw std::bad_alloc();
  }
  auto* header = static_cast<BlockHeader*>(raw);
  header->budget = budget;
  header->bytes = bytes;
  header->size = size;
  return static_cast<unsigned char*>(raw) + kAlignment;
}

void budgetedFree(void* block) {
  if (block == nullptr) return;
  void* raw = static_cast<unsigned char*>(block) - kAlignment;
  const BlockHeader header = *static_cast<BlockHeader*>(raw);
  blockCache().give(raw, header.size);
  if (header.budget != nullptr) {
    header.budget->refund(header.bytes);
    header.budget->release();
  }
}

}  // namespace server
}  // namespace ks
