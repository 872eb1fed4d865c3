// Who ended the engine's worker processes lately: runs proven, alone, to crash their network are counted
// against the session and the client address that sent them. A session that did so kAllowed times
// within the window is refused until the window has passed since its last, so one client cannot keep
// ending a worker process that others share. Addresses are counted, never refused: behind a proxy, or
// on one machine, many clients share one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace ks {
namespace server {

// Thread-safe.
class CrashLedger {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kAllowed = 3;
  // Entries kept at most, for sessions and addresses each; the oldest go first.
  static constexpr size_t kMaxEntries = 4096;
  static constexpr size_t kKeptPerAddress = 1000;

  explicit CrashLedger(std::chrono::seconds window);

  // The sentence refusing `session` while it is barred; nothing otherwise.
  std::optional<std::string> refusal(const std::string& session, Clock::time_point now = Clock::now()) const;
  // A run of `session`, sent from `address` (an IP address), ended a worker process by itself. Returns
  // how many such runs came from that address within the window, this one included.
  unsigned note(const std::string& session, const std::string& address, Clock::time_point now = Clock::now());

 private:
  using Times = std::deque<Clock::time_point>;
  // Keeps the last `kept` times of `key`.
  void noteIn(std::map<std::string, Times>& entries, const std::string& key, Clock::time_point now, size_t kept);
  unsigned recent(const std::map<std::string, Times>& entries, const std::string& key, Clock::time_point now) const;

  const std::chrono::seconds window_;
  mutable std::mutex mutex_;  // guards both maps
  std::map<std::string, Times> sessions_;
  std::map<std::string, Times> addresses_;
};

}  // namespace server
}  // namespace ks
