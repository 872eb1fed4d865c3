#include "ks_memory_budget.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace ks {
namespace server {
namespace {

thread_local MemoryBudget* currentBudget = nullptr;

// Every block starts with this header, padded to the alignment, so the pointer handed out stays aligned.
constexpr size_t kAlignment = 64;
struct BlockHeader {
  MemoryBudget* budget;
  size_t bytes;
};
static_assert(sizeof(BlockHeader) <= kAlignment, "the header must fit in the padding");

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
  if (bytes > SIZE_MAX - 2 * kAlignment) throw std::bad_alloc();
  MemoryBudget* budget = currentBudget;
  if (budget != nullptr) {
    if (!budget->charge(bytes)) throw std::bad_alloc();
    budget->retain();
  }
  const size_t total = (bytes + kAlignment + kAlignment - 1) / kAlignment * kAlignment;
  void* raw = std::aligned_alloc(kAlignment, total);
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
  return static_cast<unsigned char*>(raw) + kAlignment;
}

void budgetedFree(void* block) {
  if (block == nullptr) return;
  void* raw = static_cast<unsigned char*>(block) - kAlignment;
  const BlockHeader header = *static_cast<BlockHeader*>(raw);
  std::free(raw);
  if (header.budget != nullptr) {
    header.budget->refund(header.bytes);
    header.budget->release();
  }
}

}  // namespace server
}  // namespace ks
