// The connections' deadlines, ordered: setting, moving or clearing one and finding the next are
// O(log n), so the loop's timer costs what is due, not a walk over every connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ks {
namespace server {

class HttpDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::time_point kNever = Clock::time_point::max();

  // `id`'s deadline becomes `when`; kNever clears it.
  void set(uint64_t id, Clock::time_point when);
  void clear(uint64_t id) { set(id, kNever); }
  // The earliest deadline; kNever when there is none.
  Clock::time_point next() const { return order_.empty() ? kNever : order_.begin()->first; }
  // The ids whose deadline is at or before `now`, earliest first, their deadlines cleared.
  std::vector<uint64_t> takeDue(Clock::time_point now);
  size_t size() const { return order_.size(); }

 private:
  std::set<std::pair<Clock::time_point, uint64_t>> order_;
  std::unordered_map<uint64_t, Clock::time_point> byId_;
};

}  // namespace server
}  // namespace ks
