// What the server takes from a worker it must treat as hostile: messages cut short, padded, or counting past
// their bounds; sockets carrying more than they should; shared regions that could shrink under a mapping.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks_shared_memory.h"
#include "ks_worker_channel.h"
#include "ks_worker_messages.h"

namespace ks {
namespace server {
namespace {

RanMessage sampleRan() {
  RanMessage ran;
  ran.sequence = 7;
  ran.milliseconds = 1.5;
  ran.outputs.push_back(PlacedTensor{0, 0, {1, 4}, 64, 16});
  return ran;
}

TEST(WorkerMessages, EveryCutOrPaddedMessageIsRefusedAndAWholeOneReadsBack) {
  const std::string whole = encode(sampleRan());
  RanMessage back;
  decode(whole, back);
  EXPECT_EQ(7u, back.sequence);
  ASSERT_EQ(1u, back.outputs.size());
  EXPECT_EQ((std::vector<int64_t>{1, 4}), back.outputs[0].dims);
  EXPECT_EQ(64u, back.outputs[0].offset);
  for (size_t length = 0; length < whole.size(); ++length) {
    RanMessage cut;
    EXPECT_THROW(decode(whole.substr(0, length), cut), MalformedMessage) << length;
  }
  RanMessage padded;
  EXPECT_THROW(decode(whole + '\0', padded), MalformedMessage);
  LoadedMessage otherType;
  EXPECT_THROW(decode(whole, otherType), MalformedMessage);
  std::string otherVersion = whole;
  otherVersion[0] = static_cast<char>(kWorkerProtocolVersion + 1);
  EXPECT_THROW(decode(otherVersion, back), MalformedMessage);
}

TEST(WorkerMessages, CountsAndKindsBeyondTheirBoundsAreRefusedBeforeAnythingIsAllocated) {
  RanMessage ran = sampleRan();
  ran.outputs[0].dims.assign(kMaxWorkerRank + 1, 1);
  RanMessage back;
  EXPECT_THROW(decode(encode(ran), back), MalformedMessage);
  // A count of four billion outputs in a message of a few bytes.
  std::string huge = encode(RanMessage{});
  huge.replace(huge.size() - 4, 4, std::string(4, '\xff'));
  EXPECT_THROW(decode(huge, back), MalformedMessage);
  std::string failed = encode(FailedMessage{1, EngineError::Kind::kRunFailed, "x"});
  failed[2 + 8] = static_cast<char>(EngineError::Kind::kQuarantined) + 1;
  FailedMessage kind;
  EXPECT_THROW(decode(failed, kind), MalformedMessage);
}

TEST(WorkerPlacement, ATensorMustHoldWhatItsShapeSaysWithinTheRegion) {
  EXPECT_TRUE(liesWithin(PlacedTensor{0, 0, {2, 2}, 0, 16}, 16));
  EXPECT_FALSE(liesWithin(PlacedTensor{0, 0, {2, 2}, 0, 12}, 16));                 // bytes and shape differ
  EXPECT_FALSE(liesWithin(PlacedTensor{0, 0, {2, 2}, 8, 16}, 16));                 // past the end
  EXPECT_FALSE(liesWithin(PlacedTensor{0, 0, {2, 2}, UINT64_MAX - 4, 16}, 16));    // offset wraps
  EXPECT_FALSE(liesWithin(PlacedTensor{0, 0, {-1, -16}, 0, 16}, 16));              // negative extents
  EXPECT_FALSE(liesWithin(PlacedTensor{0, 0, {INT64_MAX, INT64_MAX}, 0, 0}, 16));  // product overflows
  EXPECT_FALSE(liesWithin(PlacedTensor{0, 99, {1}, 0, 1}, 16));                    // unknown type
}

TEST(WorkerChannel, AMessageTooLongOrCarryingTwoDescriptorsCountsAsAPeerGoneBad) {
  auto ends = WorkerChannel::pair();
  std::string message;
  UniqueFd fd;
  const std::string tooLong(WorkerChannel::kMaxMessageBytes + 1, 'x');
  ASSERT_EQ(static_cast<ssize_t>(tooLong.size()), ::send(ends.first.fd(), tooLong.data(), tooLong.size(), 0));
  EXPECT_EQ(WorkerChannel::Received::kClosed, ends.second.receive(message, &fd, 1000));

  int pipeFds[2];
  ASSERT_EQ(0, ::pipe(pipeFds));
  char data = 'x';
  iovec part{&data, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  cmsghdr* attached = CMSG_FIRSTHDR(&header);
  attached->cmsg_level = SOL_SOCKET;
  attached->cmsg_type = SCM_RIGHTS;
  attached->cmsg_len = CMSG_LEN(2 * sizeof(int));
  std::memcpy(CMSG_DATA(attached), pipeFds, sizeof pipeFds);
  ASSERT_EQ(1, ::sendmsg(ends.first.fd(), &header, 0));
  EXPECT_EQ(WorkerChannel::Received::kClosed, ends.second.receive(message, &fd, 1000));
  EXPECT_FALSE(fd);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

TEST(SharedMemory, APeerCanGrowARegionButNeverShrinkItUnderAMapping) {
  SharedMemory mine = SharedMemory::create("test", 4096);
  SharedMemory theirs = SharedMemory::adopt(UniqueFd(::fcntl(mine.fd(), F_DUPFD_CLOEXEC, 0)), 1 << 20);
  EXPECT_EQ(-1, ::ftruncate(theirs.fd(), 0));
  EXPECT_EQ(EPERM, errno);
  theirs.reserve(8192);
  EXPECT_TRUE(mine.refresh(1 << 20));
  EXPECT_EQ(8192u, mine.size());
  EXPECT_FALSE(mine.refresh(4096));  // past what may be mapped: the old mapping stays
  EXPECT_EQ(8192u, mine.size());
}

TEST(SharedMemory, ARegionIsAdoptedOnlyWithTheSealsItsUseNeeds) {
  const int unsealed = ::memfd_create("unsealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  ASSERT_GE(unsealed, 0);
  ASSERT_EQ(0, ::ftruncate(unsealed, 4096));
  EXPECT_THROW(SharedMemory::adopt(UniqueFd(::fcntl(unsealed, F_DUPFD_CLOEXEC, 0)), 1 << 20), std::length_error);
  ::close(unsealed);

  SharedMemory writable = SharedMemory::create("writable", 4096);
  EXPECT_THROW(SharedMemory::adoptReadOnly(UniqueFd(::fcntl(writable.fd(), F_DUPFD_CLOEXEC, 0)), 1 << 20),
               std::length_error);
  writable.sealReadOnly();
  const SharedMemory sealed =
      SharedMemory::adoptReadOnly(UniqueFd(::fcntl(writable.fd(), F_DUPFD_CLOEXEC, 0)), 1 << 20);
  EXPECT_EQ(4096u, sealed.size());
  EXPECT_THROW(SharedMemory::adoptReadOnly(UniqueFd(::fcntl(writable.fd(), F_DUPFD_CLOEXEC, 0)), 1024),
               std::length_error);
}

}  // namespace
}  // namespace server
}  // namespace ks
