// One client connection as the loop sees it: its socket, its parser, where its request is (idle, reading,
// handled, replied to, lingering), and the reply bytes still to go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "ks_http_request_parser.h"
#include "ks_http_server.h"
#include "ks_unique_fd.h"

namespace ks {
namespace server {

struct HttpConnection {
  enum class Phase {
    kIdle,       // between requests: no byte of the next one yet
    kReading,    // a request is arriving
    kHandling,   // the request is with a worker; the socket is not read (requests are served in order)
    kWriting,    // the whole reply is queued
    kLingering,  // the reply is written and our side shut: discarding what the client still sends
  };

  HttpConnection(UniqueFd socket, uint64_t connectionId, std::string peerAddress, const HttpLimits& limits)
      : fd(std::move(socket)), id(connectionId), peer(std::move(peerAddress)), parser(limits) {}

  UniqueFd fd;
  const uint64_t id;
  const std::string peer;
  HttpRequestParser parser;
  Phase phase = Phase::kIdle;
  bool fresh = true;       // no request has begun yet: the header deadline runs from the accept
  bool dead = false;       // closed; erased at the end of the loop's round
  std::string pending;     // bytes read past the current request: the next pipelined request
  uint32_t events = 0;     // what epoll watches for
  bool hungUp = false;     // epoll said the peer closed its side (EPOLLRDHUP)
  bool inputHeld = false;  // bytes came while a deferred request is handled: the socket is not read
  size_t budget = 0;       // body bytes held from the server's budget

  using Clock = std::chrono::steady_clock;
  Clock::time_point idleSince;
  Clock::time_point requestStart;
  Clock::time_point nextTick;  // the next keep-alive space of a JSON route's reply
  Clock::time_point lingerUntil;
  Clock::time_point lastProgress;  // of the output

  // The request in flight and its reply.
  HttpRequestRecord record;
  bool logged = true;
  bool keepAlive = true;
  bool http10 = false;
  bool headOnly = false;
  bool json = false;
  bool streaming = false;
  int replyStatus = 0;
  std::deque<std::string> out;
  size_t outOffset = 0;  // of out.front()
  // While a worker handles the request: who will write its reply (see HttpClaim).
  std::shared_ptr<std::atomic<int>> claim;
  // While a deferred route works on the request: its reply.
  std::shared_ptr<HttpReply::State> deferred;

  // Writes what the socket takes of `out` now (from outOffset on) and drops what went. False when the
  // connection broke; true when everything went or the socket is full.
  bool writeQueued();
};

// Writes what the socket takes of `head` and then `body` now, without waiting; returns how much.
size_t writeNow(int socket, const std::string& head, const std::string& body);

// Whether the peer has closed (or reset) the connection, as far as the bytes waiting on `socket` show:
// true when the end of the stream comes next. Bytes still to read (a pipelined request) are not a close,
// nor is a peer that sends nothing. Looks without taking anything and without waiting.
bool peerClosed(int socket);

}  // namespace server
}  // namespace ks
