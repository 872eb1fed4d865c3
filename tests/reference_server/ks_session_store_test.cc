#include "ks_session_store.h"

#include <chrono>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace ks {
namespace server {
namespace {

using std::chrono::seconds;

// A clock the test moves by hand.
struct ManualClock {
  SessionStore::Clock::time_point now{};
  SessionStore::Now function() {
    return [this] { return now; };
  }
};

TEST(SessionStore, IssuesDistinctIdsOf32LowerCaseHexDigits) {
  SessionStore store(1000, seconds(0));
  std::set<std::string> ids;
  for (int i = 0; i < 200; ++i) {
    const std::string id = store.open().value();
    ASSERT_EQ(32u, id.size());
    EXPECT_EQ(std::string::npos, id.find_first_not_of("0123456789abcdef")) << id;
    ids.insert(id);
  }
  EXPECT_EQ(200u, ids.size());
  EXPECT_EQ(200u, store.openCount());
}

TEST(SessionStore, PrefixesIdsWithTheNodeName) {
  SessionStore store(10, seconds(0), "node2");
  const std::string id = store.open().value();
  ASSERT_EQ(6u + 32u, id.size());
  EXPECT_EQ("node2-", id.substr(0, 6));
  EXPECT_NE(store.find(id), nullptr);
}

TEST(SessionStore, RefusesSessionsBeyondTheCapUntilOneCloses) {
  SessionStore store(2, seconds(0));
  const std::string first = store.open().value();
  ASSERT_TRUE(store.open().has_value());
  EXPECT_FALSE(store.open().has_value());
  EXPECT_TRUE(store.close(first));
  EXPECT_FALSE(store.close(first));
  EXPECT_EQ(nullptr, store.find(first));
  EXPECT_TRUE(store.open().has_value());
  EXPECT_EQ(2u, store.openCount());
}

TEST(SessionStore, ExpiresSessionsIdleLongerThanTheTimeoutCountingEachFindAsAUse) {
  ManualClock clock;
  SessionStore store(2, seconds(60), "", clock.function());
  const std::string used = store.open().value();
  const std::string idle = store.open().value();
  EXPECT_FALSE(store.open().has_value());
  clock.now += seconds(50);
  ASSERT_NE(store.find(used), nullptr);
  clock.now += seconds(50);  // `idle` untouched for 100 s, `used` for 50 s: opening frees a place
  EXPECT_TRUE(store.open().has_value());
  EXPECT_EQ(nullptr, store.find(idle));
  EXPECT_NE(store.find(used), nullptr);
}

TEST(SessionStore, KeepsASessionARequestIsHoldingAndAllWithoutTimeout) {
  ManualClock clock;
  SessionStore store(10, seconds(60), "", clock.function());
  const std::shared_ptr<Session> held = store.find(store.open().value());
  EXPECT_EQ(0u, store.expireIdle(clock.now + seconds(3600)));

  SessionStore forever(10, seconds(0), "", clock.function());
  forever.open();
  EXPECT_EQ(0u, forever.expireIdle(clock.now + std::chrono::hours(24 * 365)));
}

}  // namespace
}  // namespace server
}  // namespace ks
