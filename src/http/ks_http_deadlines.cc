#include "ks_http_deadlines.h"

namespace ks {
namespace server {

void HttpDeadlines::set(uint64_t id, Clock::time_point when) {
  const auto held = byId_.find(id);
  if (held != byId_.end()) {
    if (held->second == when) return;
    order_.erase({held->second, id});
    if (when == kNever) {
      byId_.erase(held);
      return;
    }
    held->second = when;
  } else {
    if (when == kNever) return;
    byId_.emplace(id, when);
  }
  order_.emplace(when, id);
}

std::vector<uint64_t> HttpDeadlines::takeDue(Clock::time_point now) {
  std::vector<uint64_t> due;
  while (!order_.empty() && order_.begin()->first <= now) {
    due.push_back(order_.begin()->second);
    byId_.erase(order_.begin()->second);
    order_.erase(order_.begin());
  }
  return due;
}

}  // namespace server
}  // namespace ks
