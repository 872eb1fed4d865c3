#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "support/ks_http_reply_reader.h"

namespace ks {
namespace testing {
namespace {

// Feeds `bytes` in pieces of `piece` bytes, as recv() might hand them over, until the reply is whole;
// returns how many bytes the reader took.
size_t feedInPieces(HttpReplyReader& reader, const std::string& bytes, size_t piece) {
  size_t used = 0;
  while (used < bytes.size() && !reader.done()) {
    const size_t length = std::min(piece, bytes.size() - used);
    const size_t taken = reader.feed(bytes.data() + used, length);
    used += taken;
    if (taken < length) break;
  }
  return used;
}

TEST(HttpReplyReader, JoinsChunksOfAReplyThatStartsWithWhiteSpaceWhateverTheSplit) {
  // A server that keeps a slow reply alive with spaces before the JSON, then chunk extensions and a trailer;
  // the next reply on the connection follows at once.
  const std::string reply =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: application/json\r\n\r\n"
      "1\r\n \r\n2;wait=1\r\n \n\r\n1B \r\n{\"output_tensors\":[],\"x\":1}\r\n0\r\nX-Trailer: t\r\n\r\n";
  const std::string next = "HTTP/1.1 204 No Content\r\n\r\n";
  for (const size_t piece : {size_t{1}, size_t{2}, size_t{7}, reply.size() + next.size()}) {
    HttpReplyReader reader;
    EXPECT_EQ(reply.size(), feedInPieces(reader, reply + next, piece)) << piece;
    ASSERT_TRUE(reader.done()) << piece;
    EXPECT_EQ(200, reader.reply().status);
    EXPECT_TRUE(reader.reply().keepAlive);
    EXPECT_EQ("  \n{\"output_tensors\":[],\"x\":1}", reader.reply().body) << piece;
  }
}

TEST(HttpReplyReader, FramesByLengthOrCloseAndKnowsWhenTheConnectionEnds) {
  HttpReplyReader reader;
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string closing = "HTTP/1.1 413 Payload Too Large\r\nconnection: Close\r\nContent-Length: 5\r\n\r\nhello";
  EXPECT_EQ(interim.size() + closing.size(), feedInPieces(reader, interim + closing + "junk", 3));
  EXPECT_EQ(413, reader.reply().status);
  EXPECT_FALSE(reader.reply().keepAlive);
  EXPECT_EQ("hello", reader.reply().body);

  // HTTP/1.0 without a length: the body is whatever comes until the close, and the connection ends.
  reader.reset();
  feedInPieces(reader, "HTTP/1.0 200 OK\r\n\r\n{}", 64);
  EXPECT_FALSE(reader.done());
  EXPECT_TRUE(reader.finishAtClose());
  EXPECT_EQ("{}", reader.reply().body);
  EXPECT_FALSE(reader.reply().keepAlive);

  // A close before the length is reached leaves the reply incomplete.
  reader.reset();
  feedInPieces(reader, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{}", 64);
  EXPECT_FALSE(reader.finishAtClose());
}

TEST(HttpReplyReader, RefusesFramingThatCouldHideOrSmuggleAReply) {
  for (const char* bytes :
       {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: -2\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000000000000000\r\n",
        "HTTP/1.1 200 OK\r\n folded: line\r\n\r\n", "HTTP/2 200\r\n\r\n", "HTTP/1.1 20 OK\r\n\r\n"}) {
    HttpReplyReader reader;
    EXPECT_THROW(reader.feed(bytes, std::string(bytes).size()), MalformedReply) << bytes;
  }
  HttpReplyReader reader;
  const std::string endless = "HTTP/1.1 200 OK\r\nX: " + std::string(HttpReplyReader::kMaxLineBytes, 'a');
  EXPECT_THROW(feedInPieces(reader, endless, 4096), MalformedReply);
}

}  // namespace
}  // namespace testing
}  // namespace ks
