#include "ks_redis_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>

#include <hiredis/hiredis.h>

#include <cerrno>

#include <algorithm>
#include <memory>
#include <utility>

namespace ks {
namespace server {
namespace {

using Clock = std::chrono::steady_clock;

// Connections kept idle for later commands; more may be open while commands run.
constexpr size_t kMaxIdle = 16;

// What is left until `deadline`, rounded up so that a wait never ends early; zero once it has passed.
std::chrono::milliseconds leftUntil(Clock::time_point deadline) {
  const Clock::duration left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(left);
}

// Waits until `fd` is ready for `events` or `deadline` passes; false when it passed.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const std::chrono::milliseconds left = leftUntil(deadline);
    if (left.count() == 0) return false;
    pollfd ready{fd, events, 0};
    const int n = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // the read or write that follows reports the fault
  }
}

timeval timevalOf(std::chrono::milliseconds duration) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(duration.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(duration.count() % 1000 * 1000);
  return tv;
}

struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};

// Redis's reply as ours; false for a type this client does not expect. An error reply's text is kept.
bool convert(const redisReply& reply, RedisClient::Reply& answer) {
  switch (reply.type) {
    case REDIS_REPLY_NIL: return true;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      answer.type = RedisClient::Reply::Type::kString;
      answer.text.assign(reply.str, reply.len);
      return true;
    case REDIS_REPLY_INTEGER:
      answer.type = RedisClient::Reply::Type::kInteger;
      answer.integer = reply.integer;
      return true;
    case REDIS_REPLY_ARRAY:
      answer.type = RedisClient::Reply::Type::kArray;
      answer.elements.resize(reply.elements);
      for (size_t i = 0; i < reply.elements; ++i) {
        if (!convert(*reply.element[i], answer.elements[i])) return false;
      }
      return true;
    default: return false;
  }
}

}  // namespace

RedisAddress RedisAddress::parse(const std::string& text) {
  RedisAddress address;
  const std::string unixScheme = "unix:";
  const std::string redisScheme = "redis://";
  if (text.compare(0, unixScheme.size(), unixScheme) == 0 && text.size() > unixScheme.size()) {
    address.socketPath = text.substr(unixScheme.size());
    return address;
  }
  if (text.compare(0, redisScheme.size(), redisScheme) != 0) {
    throw std::invalid_argument("a session store is redis://HOST[:PORT] or unix:PATH, not '" + text + "'");
  }
  std::string rest = text.substr(redisScheme.size());
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  // An IPv6 address stands in brackets, so its colons are not taken for the port's.
  const size_t hostEnd = rest.empty() || rest.front() != '[' ? rest.rfind(':') : rest.find(']') + 1;
  std::string port = hostEnd == std::string::npos || hostEnd >= rest.size() ? "" : rest.substr(hostEnd);
  rest.resize(std::min(hostEnd, rest.size()));
  if (!port.empty()) {
    if (port.front() != ':') throw std::invalid_argument("the session store '" + text + "' is not HOST[:PORT]");
    port.erase(0, 1);
    size_t used = 0;
    int value = 0;
    try {
      value = std::stoi(port, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != port.size() || value < 1 || value > 65535) {
      throw std::invalid_argument("the session store's port must be from 1 to 65535, not '" + port + "'");
    }
    address.port = value;
  }
  if (rest.size() >= 2 && rest.front() == '[' && rest.back() == ']') rest = rest.substr(1, rest.size() - 2);
  if (rest.empty()) throw std::invalid_argument("the session store '" + text + "' names no host");
  address.host = rest;
  return address;
}

std::string RedisAddress::text() const {
  if (!socketPath.empty()) return "unix:" + socketPath;
  const bool v6 = host.find(':') != std::string::npos;
  return "redis://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

RedisClient::RedisClient(Options options) : options_(std::move(options)) {}

RedisClient::~RedisClient() {
  for (redisContext* context : idle_) redisFree(context);
}

std::string RedisClient::lastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

void RedisClient::fail(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = why;
    retryAt_ = Clock::now() + options_.retryAfter;
  }
  failures_ += 1;
  up_ = false;
  throw StoreUnavailable(why);
}

redisContext* RedisClient::take(Clock::time_point deadline) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (retryAt_) {
      const Clock::time_point now = Clock::now();
      if (now < *retryAt_) throw StoreUnavailable(lastError_);
      // This command tries again; the others still fail at once until it is done.
      retryAt_ = now + options_.retryAfter;
    }
    if (!idle_.empty()) {
      redisContext* context = idle_.back();
      idle_.pop_back();
      return context;
    }
  }
  const timeval timeout = timevalOf(std::max(leftUntil(deadline), std::chrono::milliseconds(1)));
  const RedisAddress& address = options_.address;
  redisContext* context = address.socketPath.empty()
                              ? redisConnectWithTimeout(address.host.c_str(), address.port, timeout)
                              : redisConnectUnixWithTimeout(address.socketPath.c_str(), timeout);
  if (context == nullptr) fail("cannot reach the session store " + address.text() + ": out of memory");
  if (context->err != 0) {
    const std::string why = "cannot reach the session store " + address.text() + ": " + context->errstr;
    redisFree(context);
    fail(why);
  }
  // Every wait is ours, bounded by the command's deadline: hiredis only reads and writes what is ready.
  const int flags = ::fcntl(context->fd, F_GETFL);
  if (flags < 0 || ::fcntl(context->fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    redisFree(context);
    fail("cannot make the session store's connection non-blocking");
  }
  context->flags &= ~REDIS_BLOCK;
  if (address.socketPath.empty()) redisEnableKeepAlive(context);
  return context;
}

void RedisClient::give(redisContext* context) {
  std::lock_guard<std::mutex> lock(mutex_);
  retryAt_.reset();
  if (idle_.size() < kMaxIdle) {
    idle_.push_back(context);
  } else {
    redisFree(context);
  }
}

RedisClient::Reply RedisClient::command(std::initializer_list<std::string_view> arguments) {
  return command(std::vector<std::string_view>(arguments));
}

RedisClient::Reply RedisClient::command(const std::vector<std::string_view>& arguments) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const std::string_view argument : arguments) {
    argv.push_back(argument.data());
    lengths.push_back(argument.size());
  }
  const Clock::time_point deadline = Clock::now() + options_.timeout;
  redisContext* context = take(deadline);
  // A connection that failed or ran out of time may still receive a late reply: it is not used again.
  auto drop = [&](const std::string& why) {
    const std::string text = "the session store " + options_.address.text() + " " + why;
    redisFree(context);
    fail(text);
  };
  if (redisAppendCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK) {
    drop(std::string("failed: ") + context->errstr);
  }
  auto late = [&] { return "did not answer within " + std::to_string(options_.timeout.count()) + " ms"; };
  for (int written = 0; written == 0;) {
    if (!waitFor(context->fd, POLLOUT, deadline)) drop(late());
    if (redisBufferWrite(context, &written) != REDIS_OK) drop(std::string("failed: ") + context->errstr);
  }
  void* received = nullptr;
  for (;;) {
    if (redisGetReplyFromReader(context, &received) != REDIS_OK) drop(std::string("failed: ") + context->errstr);
    if (received != nullptr) break;
    if (!waitFor(context->fd, POLLIN, deadline)) drop(late());
    if (redisBufferRead(context) != REDIS_OK) drop(std::string("failed: ") + context->errstr);
  }
  std::unique_ptr<redisReply, ReplyFree> reply(static_cast<redisReply*>(received));
  if (reply->type == REDIS_REPLY_ERROR) {
    // The connection is sound; the store refused (loading, read-only replica, out of memory...).
    const std::string why =
        "the session store " + options_.address.text() + " refused: " + std::string(reply->str, reply->len);
    give(context);
    fail(why);
  }
  Reply answer;
  if (!convert(*reply, answer)) {
    give(context);
    fail("the session store " + options_.address.text() + " sent a reply of an unexpected type");
  }
  give(context);
  up_ = true;
  return answer;
}

}  // namespace server
}  // namespace ks
