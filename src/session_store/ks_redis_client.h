// A Redis server the nodes share, reached through Debian's hiredis: a small pool of connections, each
// command bounded by one deadline from connect to the last byte of its reply, and a breaker that stops
// asking a store that just failed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;

namespace ks {
namespace server {

// The store could not be asked or would not answer: not reachable, too slow, or it replied with an error.
class StoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RedisAddress {
  std::string host;  // empty for a Unix socket
  int port = 6379;
  std::string socketPath;
  // "redis://HOST[:PORT]" or "unix:PATH"; throws std::invalid_argument for anything else.
  static RedisAddress parse(const std::string& text);
  std::string text() const;
};

// Thread-safe. A connection is taken from the pool for one command and given back after it; a connection
// that failed is dropped, and a new one is made when none is free. hiredis writes to sockets plainly: the
// program must ignore SIGPIPE, or a store that goes away ends it.
class RedisClient {
 public:
  struct Options {
    RedisAddress address;
    // The longest a command may take, connecting included, before the store counts as unavailable: a
    // store that answers, but too slowly, is unavailable too.
    std::chrono::milliseconds timeout{250};
    // After a failure, commands fail at once for this long; then one is let through to try again.
    std::chrono::milliseconds retryAfter{1000};
  };

  // What Redis answered: a bulk or simple string, an integer, nil, or an array of these.
  struct Reply {
    enum class Type { kNil, kString, kInteger, kArray } type = Type::kNil;
    std::string text;
    long long integer = 0;
    std::vector<Reply> elements;
    bool nil() const { return type == Type::kNil; }
  };

  // Connects to nothing yet.
  explicit RedisClient(Options options);
  ~RedisClient();
  RedisClient(const RedisClient&) = delete;
  RedisClient& operator=(const RedisClient&) = delete;

  // Runs one command, its arguments sent as they are (binary-safe). Throws StoreUnavailable when the store
  // cannot be reached, takes longer than the timeout, replies with an error, or failed less than
  // `retryAfter` ago.
  Reply command(std::initializer_list<std::string_view> arguments);
  // The same, for a number of arguments known only at run time.
  Reply command(const std::vector<std::string_view>& arguments);

  // False from a failure until the next command that succeeds.
  bool up() const { return up_.load(); }
  // Why the last failure happened; empty when there was none.
  std::string lastError() const;
  uint64_t failures() const { return failures_.load(); }
  const Options& options() const { return options_; }

 private:
  redisContext* take(std::chrono::steady_clock::time_point deadline);
  void give(redisContext* context);
  [[noreturn]] void fail(const std::string& why);

  const Options options_;
  std::atomic<bool> up_{true};
  std::atomic<uint64_t> failures_{0};
  mutable std::mutex mutex_;  // guards everything below
  std::vector<redisContext*> idle_;
  std::optional<std::chrono::steady_clock::time_point> retryAt_;
  std::string lastError_;
};

}  // namespace server
}  // namespace ks
