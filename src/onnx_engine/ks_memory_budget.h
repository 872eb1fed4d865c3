// Memory budgets for what the engine allocates: one per loaded network and one per inference, so that a
// hostile network or input ends as one refused request instead of a server the kernel kills.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

namespace ks {
namespace server {

// Bytes charged against a limit, and against the parent's limit too when there is a parent (the budget of
// all loaded networks above each network's own). Thread-safe. Blocks charged to a budget keep it alive
// until they are released, so a budget may be dropped by its owner while the engine still holds memory
// charged to it.
class MemoryBudget {
 public:
  // A budget of `limit` bytes; 0 means no limit of its own. The parent, when given, must outlive it.
  static MemoryBudget* create(std::string name, size_t limit, MemoryBudget* parent = nullptr);
  // Drops the owner's reference; the budget goes when the last block charged to it is released.
  void release();

  // Charges `bytes`; false, charging nothing, when this or the parent's limit would be passed.
  bool charge(size_t bytes);
  void refund(size_t bytes);
  void retain() { references_.fetch_add(1, std::memory_order_relaxed); }

  size_t used() const { return used_.load(std::memory_order_relaxed); }
  size_t peak() const { return peak_.load(std::memory_order_relaxed); }
  size_t limit() const { return limit_; }
  const std::string& name() const { return name_; }
  // True once a charge was refused: the failure the engine reports next was this budget's doing.
  bool exceeded() const { return exceeded_.load(std::memory_order_relaxed); }

 private:
  MemoryBudget(std::string name, size_t limit, MemoryBudget* parent);

  const std::string name_;
  const size_t limit_;
  MemoryBudget* const parent_;
  std::atomic<size_t> used_{0};
  std::atomic<size_t> peak_{0};
  std::atomic<bool> exceeded_{false};
  std::atomic<long> references_{1};
};

// Owns one reference to a budget.
class MemoryBudgetRef {
 public:
  MemoryBudgetRef() = default;
  explicit MemoryBudgetRef(MemoryBudget* budget) : budget_(budget) {}
  ~MemoryBudgetRef() {
    if (budget_ != nullptr) budget_->release();
  }
  MemoryBudgetRef(MemoryBudgetRef&& other) noexcept : budget_(other.budget_) { other.budget_ = nullptr; }
  MemoryBudgetRef& operator=(MemoryBudgetRef&& other) noexcept {
    std::swap(budget_, other.budget_);
    return *this;
  }
  MemoryBudget* get() const { return budget_; }
  MemoryBudget* operator->() const { return budget_; }

 private:
  MemoryBudget* budget_ = nullptr;
};

// While alive, what this thread allocates through the engine is charged to `budget`; scopes nest.
class MemoryBudgetScope {
 public:
  explicit MemoryBudgetScope(MemoryBudget* budget);
  ~MemoryBudgetScope();
  MemoryBudgetScope(const MemoryBudgetScope&) = delete;
  MemoryBudgetScope& operator=(const MemoryBudgetScope&) = delete;

  // The budget this thread charges now; null outside every scope.
  static MemoryBudget* current();

 private:
  MemoryBudget* previous_;
};

// Allocation through budgets, for the engine's allocator. The block remembers its budget (the thread's
// current one, or none), so it is refunded to the right one whichever thread frees it. Throws
// std::bad_alloc when the budget refuses or memory runs out. Blocks are aligned to 64 bytes. Freed blocks
// are kept for the next allocation of their size class (up to 1 GiB of them), as an arena would.
void* budgetedAllocate(size_t bytes);
void budgetedFree(void* block);

}  // namespace server
}  // namespace ks
