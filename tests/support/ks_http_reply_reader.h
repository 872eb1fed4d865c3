// Reads HTTP/1.1 replies from bytes as they arrive off a socket, for clients that do their own socket work:
// the status, whether the connection stays open, and the body, framed by Content-Length, by chunks or by
// the peer's close.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace ks {
namespace testing {

struct HttpReply {
  int status = 0;
  bool keepAlive = true;  // false when the server closes after this reply
  std::string body;       // the chunks joined when the reply was chunked
};

// A reply that breaks HTTP/1.1's framing, or is larger than the reader accepts.
class MalformedReply : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One reply at a time: feed() bytes until done(), take reply(), then reset() for the next reply on the same
// connection. Interim replies (1xx) are skipped. A reply with neither Content-Length nor chunked framing
// ends when the peer closes, which the caller reports with finishAtClose().
class HttpReplyReader {
 public:
  // Lines (status, header, chunk size) longer than this, or more header lines than kMaxHeaderLines, or a
  // body longer than kMaxBodyBytes, make the reply malformed.
  static constexpr size_t kMaxLineBytes = size_t{16} * 1024;
  static constexpr size_t kMaxHeaderLines = 256;
  static constexpr size_t kMaxBodyBytes = size_t{1} << 30;

  HttpReplyReader() { reset(); }

  // Takes bytes from `data` up to the end of the current reply and returns how many it took: fewer than
  // `size` only when the reply ended inside them (the rest belongs to whatever follows). Takes nothing once
  // done(). Throws MalformedReply for bytes that break the framing; the reader is then of no further use
  // until reset().
  size_t feed(const char* data, size_t size);

  // The peer closed the connection: returns true when that ends the reply (a body delimited by the close),
  // false when the reply is incomplete. done() is true after a true return.
  bool finishAtClose();

  // True when a whole reply was read; reply() holds it.
  bool done() const { return state_ == State::kDone; }
  // True when some byte of a reply has been taken since the last reset().
  bool started() const { return started_; }

  const HttpReply& reply() const { return reply_; }
  HttpReply& reply() { return reply_; }

  // Forgets everything, ready for the next reply.
  void reset();

 private:
  enum class State { kStatusLine, kHeaders, kBody, kUntilClose, kChunkSize, kChunkData, kChunkEnd, kTrailers, kDone };

  // Appends bytes to line_ up to and including '\n'; returns how many it took and sets `complete` when the
  // line ended (line_ then holds it without its CR LF).
  size_t takeLine(const char* data, size_t size, bool& complete);
  void onStatusLine();
  void onHeaderLine();
  void onHeadersEnd();
  void onChunkSizeLine();
  void appendBody(const char* data, size_t size);

  State state_ = State::kStatusLine;
  HttpReply reply_;
  std::string line_;
  size_t headerLines_ = 0;
  size_t remaining_ = 0;  // body or chunk bytes still to come
  bool hasLength_ = false;
  bool chunked_ = false;
  bool otherCoding_ = false;  // a transfer coding other than chunked last: the body ends at the close
  bool http10_ = false;
  bool sawKeepAlive_ = false;
  bool sawClose_ = false;
  bool started_ = false;
};

}  // namespace testing
}  // namespace ks
