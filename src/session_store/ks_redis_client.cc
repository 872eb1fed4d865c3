#include "ks_redis_client.h"

#include <sys/time.h>

#include <hiredis/hiredis.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace ks {
namespace server {
namespace {

using Clock = std::chrono::steady_clock;

// Connections kept idle for later commands; more may be open while commands run.
constexpr size_t kMaxIdle = 16;

timeval timevalOf(std::chrono::milliseconds duration) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(duration.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(duration.count() % 1000 * 1000);
  return tv;
}

struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};

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

redisContext* RedisClient::take() {
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
  const timeval timeout = timevalOf(options_.timeout);
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
  if (redisSetTimeout(context, timeout) != REDIS_OK) {
    redisFree(context);
    fail("cannot set a timeout on the session store's connection");
  }
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
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const std::string_view argument : arguments) {
    argv.push_back(argument.data());
    lengths.push_back(argument.size());
  }
  redisContext* context = take();
  std::unique_ptr<redisReply, ReplyFree> reply(
      static_cast<redisReply*>(redisCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data())));
  if (!reply) {
    // A connection that timed out may still receive the late reply: it is not used again.
    const std::string why = std::string("the session store ") + options_.address.text() +
                            " failed: " + (context->err != 0 ? context->errstr : "no reply");
    redisFree(context);
    fail(why);
  }
  Reply answer;
  switch (reply->type) {
    case REDIS_REPLY_NIL: break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      answer.type = Reply::Type::kString;
      answer.text.assign(reply->str, reply->len);
      break;
    case REDIS_REPLY_INTEGER:
      answer.type = Reply::Type::kInteger;
      answer.integer = reply->integer;
      break;
    case REDIS_REPLY_ERROR: {
      // The connection is sound; the store refused (loading, read-only replica, out of memory...).
      const std::string why =
          "the session store " + options_.address.text() + " refused: " + std::string(reply->str, reply->len);
      give(context);
      fail(why);
    }
    default: {
      give(context);
      fail("the session store " + options_.address.text() + " sent a reply of an unexpected type");
    }
  }
  give(context);
  up_ = true;
  return answer;
}

}  // namespace server
}  // namespace ks
