#include "ks_crash_ledger.h"

#include <algorithm>

namespace ks {
namespace server {

CrashLedger::CrashLedger(std::chrono::seconds window) : window_(window) {}

unsigned CrashLedger::recent(const std::map<std::string, Times>& entries, const std::string& key,
                             Clock::time_point now) const {
  const auto found = entries.find(key);
  if (found == entries.end()) return 0;
  return static_cast<unsigned>(std::count_if(found->second.begin(), found->second.end(),
                                             [&](Clock::time_point at) { return now - at < window_; }));
}

void CrashLedger::noteIn(std::map<std::string, Times>& entries, const std::string& key, Clock::time_point now,
                         size_t kept) {
  Times& times = entries[key];
  times.push_back(now);
  while (times.size() > kept) times.pop_front();
  if (entries.size() <= kMaxEntries) return;
  // The entry whose last crash is oldest goes.
  auto oldest = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->second.back() < oldest->second.back()) oldest = it;
  }
  entries.erase(oldest);
}

std::optional<std::string> CrashLedger::refusal(const std::string& session, Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (recent(sessions_, session, now) < kAllowed) return std::nullopt;
  const Clock::time_point last = sessions_.at(session).back();
  const auto left = std::chrono::duration_cast<std::chrono::seconds>(last + window_ - now).count() + 1;
  return "this session is refused for another " + std::to_string(left) + " s: its inputs ended the engine process " +
         "running its network " + std::to_string(kAllowed) + " times within " + std::to_string(window_.count()) +
         " s, each proven by running them alone";
}

unsigned CrashLedger::note(const std::string& session, const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  noteIn(sessions_, session, now, kAllowed);
  noteIn(addresses_, address, now, kKeptPerAddress);
  return recent(addresses_, address, now);
}

}  // namespace server
}  // namespace ks
