// An incremental HTTP/1.1 request parser: fed bytes as they arrive, in pieces of any size, it builds one
// HttpRequest at a time and refuses, with an HTTP status and a sentence, whatever breaks the framing rules or
// the limits, before spending memory on it. No sockets: the server feeds it, and so do the tests and the fuzzer.
//
// Lines may end in CRLF or in a bare LF (as nginx and cpp-httplib accept them); a CR anywhere else is refused.
// Trailers of a chunked body are read, bounded and dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ks_http_message.h"

namespace ks {
namespace server {

struct HttpLimits {
  size_t maxRequestLineBytes = size_t{8} << 10;  // longer: 414
  size_t maxHeaderBytes = size_t{64} << 10;      // header section, and trailer section, longer: 431
  size_t maxHeaderFields = 100;                  // more fields (or trailer fields): 431
  size_t maxBodyBytes = size_t{256} << 20;       // decoded body, whatever the framing: 413
  size_t maxChunkLineBytes = 1024;               // a chunk-size line with its extensions: 400
};

class HttpRequestParser {
 public:
  enum class Phase {
    kHead,      // reading the request line and the header fields
    kBody,      // the head was accepted; reading the body
    kComplete,  // request() holds a whole request
    kRefused,   // refusalStatus() and refusalReason() say why; the connection cannot be read further
  };

  explicit HttpRequestParser(const HttpLimits& limits);

  // Consumes bytes of the current request and returns how many it took. It stops early, leaving the rest
  // for the next call, right after the head (so that the caller may look at it before any body byte is
  // read), after each chunk-size line (so that the caller may account for the announced bytes), at the end
  // of the request (the rest belongs to the next one), and on a refusal. Takes nothing once complete or
  // refused.
  size_t feed(std::string_view bytes);

  Phase phase() const { return phase_; }
  // Bytes of the current request consumed so far, framing included.
  uint64_t bytesConsumed() const { return consumed_; }
  // Body bytes the client has announced so far: the Content-Length, or the sum of the chunk sizes read.
  // Never above limits.maxBodyBytes.
  size_t bodyBytesAnnounced() const { return announced_; }
  // After the head: the client waits for "100 Continue" before it sends the body.
  bool expectsContinue() const { return expectsContinue_; }

  int refusalStatus() const { return refusalStatus_; }
  const std::string& refusalReason() const { return refusalReason_; }

  // Inside a body (or a chunk of one): where up to `most` of its next bytes may be received straight
  // into the request, without passing through feed(); `room` says how many fit there, no more than the
  // body or chunk still holds. Null elsewhere, and then `room` is 0. Each call must be followed by
  // commitBody() with how many bytes were written there, before anything else is asked of the parser.
  char* bodyRoom(size_t most, size_t& room);
  // Whether bodyRoom() would give room: the parser is inside a body or a chunk of one.
  bool inBody() const { return phase_ == Phase::kBody && (step_ == Step::kFixedBody || step_ == Step::kChunkData); }
  // Takes the `n` bytes (at most the room given) written where bodyRoom() said, as feed() would.
  void commitBody(size_t n);

  // The request being parsed; whole when phase() is kComplete.
  const HttpRequest& request() const { return request_; }
  // Moves the complete request out; reset() must follow before the next feed().
  HttpRequest takeRequest() { return std::move(request_); }

  // Forgets the current request, ready for the next one on the same connection.
  void reset();

 private:
  enum class Step { kRequestLine, kHeaderLine, kFixedBody, kChunkLine, kChunkData, kChunkEnd, kTrailerLine };

  bool refuse(int status, std::string reason);
  std::string bodyTooLarge() const;
  bool takeLine(std::string_view line);
  bool parseRequestLine(std::string_view line);
  bool parseHeaderLine(std::string_view line);
  bool finishHead();
  bool parseChunkLine(std::string_view line);
  size_t lineLimit() const;
  void reserveBody(size_t total);
  void bodyTaken(size_t n);

  HttpLimits limits_;
  Phase phase_ = Phase::kHead;
  Step step_ = Step::kRequestLine;
  HttpRequest request_;
  std::string line_;          // the unfinished line
  size_t roomGiven_ = 0;      // bytes bodyRoom() last put at the end of the body, not yet committed
  size_t sectionBytes_ = 0;   // bytes of the header (or trailer) section so far
  size_t sectionFields_ = 0;  // fields of the trailer section so far
  size_t announced_ = 0;
  size_t remaining_ = 0;  // bytes left of the fixed body or of the current chunk
  uint64_t consumed_ = 0;
  bool chunked_ = false;
  bool expectsContinue_ = false;
  int refusalStatus_ = 0;
  std::string refusalReason_;
};

}  // namespace server
}  // namespace ks
