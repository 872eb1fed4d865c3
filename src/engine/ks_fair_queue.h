// A queue shared by several owners that take turns: each owner's items leave in the order they came,
// and the owners are served round robin, so one that queues many items at once gets its share and no
// more. Bounded in all and per owner. Not thread-safe.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace ks {
namespace server {

template <typename T>
class FairQueue {
 public:
  enum class Pushed { kQueued, kFull, kOwnerFull };

  // At most `limit` items in all and `ownerLimit` of one owner (0: `limit`).
  FairQueue(size_t limit, size_t ownerLimit) : limit_(limit), ownerLimit_(ownerLimit == 0 ? limit : ownerLimit) {}

  Pushed push(const std::string& owner, T item) {
    if (size_ >= limit_) return Pushed::kFull;
    std::deque<T>& items = byOwner_[owner];
    if (items.size() >= ownerLimit_) return Pushed::kOwnerFull;
    if (items.empty()) turns_.push_back(owner);
    items.push_back(std::move(item));
    ++size_;
    return Pushed::kQueued;
  }

  // The first item of the owner whose turn it is; that owner's next turn comes after every other's.
  std::optional<T> pop() {
    if (turns_.empty()) return std::nullopt;
    std::string owner = std::move(turns_.front());
    turns_.pop_front();
    const auto found = byOwner_.find(owner);
    T item = std::move(found->second.front());
    found->second.pop_front();
    --size_;
    if (found->second.empty()) {
      byOwner_.erase(found);
    } else {
      turns_.push_back(std::move(owner));
    }
    return item;
  }

  // Takes `item` out wherever it waits; false when it is not there.
  bool remove(const std::string& owner, const T& item) {
    const auto found = byOwner_.find(owner);
    if (found == byOwner_.end()) return false;
    std::deque<T>& items = found->second;
    const auto at = std::find(items.begin(), items.end(), item);
    if (at == items.end()) return false;
    items.erase(at);
    --size_;
    if (items.empty()) {
      byOwner_.erase(found);
      turns_.erase(std::find(turns_.begin(), turns_.end(), owner));
    }
    return true;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t limit() const { return limit_; }
  size_t ownerLimit() const { return ownerLimit_; }

 private:
  const size_t limit_;
  const size_t ownerLimit_;
  size_t size_ = 0;
  std::unordered_map<std::string, std::deque<T>> byOwner_;
  std::deque<std::string> turns_;  // owners with items, in the order of their turns
};

}  // namespace server
}  // namespace ks
