#include "ks_exceptions_helpers.h"

#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/expect_throw.h"

namespace ks {
namespace {

template <typename E>
std::string translated(const E& error) {
  return ks::testing::thrownKsException([&] { rethrow_std_to_ks([&] { throw error; }); });
}

TEST(RethrowStdToKs, ChoosesTheStatusByTheMostSpecificType) {
  EXPECT_EQ(translated(std::domain_error("a")), "6: a");
  EXPECT_EQ(translated(std::invalid_argument("b")), "6: b");
  EXPECT_EQ(translated(std::length_error("c")), "5: c");
  EXPECT_EQ(translated(std::out_of_range("d")), "12: d");
  EXPECT_EQ(translated(std::logic_error("e")), "11: e");
  EXPECT_EQ(translated(std::range_error("f")), "5: f");
  EXPECT_EQ(translated(std::overflow_error("g")), "12: g");
  EXPECT_EQ(translated(std::underflow_error("h")), "12: h");
  EXPECT_EQ(translated(std::runtime_error("abc")), "12: abc");
  EXPECT_EQ(translated(std::bad_alloc()), "3: std::bad_alloc");
  EXPECT_EQ(translated(Exception(nullptr, Status::kCapacityExceeded, "pushBack", "f", 1, "full")), "3: full");
}

TEST(RethrowStdToKs, RecordsWhereItRaisedAndNoParent) {
  try {
    rethrow_std_to_ks([] { throw std::runtime_error("x"); });
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.function(), "rethrow_std_to_ks");
    EXPECT_EQ(e.file(), "src/ks_inference_server/ks_exceptions_helpers");
    EXPECT_GT(e.line(), 0);
    EXPECT_EQ(e.parent(), nullptr);
  }
}

TEST(RethrowStdToKs, DeliversPercentSignsVerbatim) {
  EXPECT_EQ(translated(std::runtime_error("Server returned error: %d%s%n; operation: x")),
            "12: Server returned error: %d%s%n; operation: x");
}

TEST(RethrowStdToKs, PassesOtherTypesAndNormalReturnsThrough) {
  EXPECT_THROW(rethrow_std_to_ks([] { throw 42; }), int);
  bool ran = false;
  EXPECT_NO_THROW(rethrow_std_to_ks([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

std::string reverse(int status) {
  const Exception error(nullptr, static_cast<Status>(status), "f", "file", 1, "message %d", status);
  try {
    rethrow_ks_to_std([&] { throw error; });
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  } catch (const std::logic_error& e) {
    return std::string("logic_error: ") + e.what();
  } catch (const std::runtime_error& e) {
    return std::string("runtime_error: ") + e.what();
  }
  return "<nothing thrown>";
}

TEST(RethrowKsToStd, ChoosesTheTypeByStatus) {
  const char* expected[] = {
      "runtime_error",    "runtime_error",    "logic_error",   "runtime_error", "runtime_error",  // 0-4
      "out_of_range",     "invalid_argument", "invalid_argument", "logic_error", "logic_error",   // 5-9
      "logic_error",      "logic_error",      "runtime_error", "runtime_error", "runtime_error",  // 10-14
      "runtime_error",    "runtime_error",    "runtime_error", "runtime_error", "out_of_range",   // 15-19
  };
  for (int status = 0; status < 20; ++status) {
    EXPECT_EQ(reverse(status), std::string(expected[status]) + ": message " + std::to_string(status));
  }
  for (int status : {20, 25, 29, 30, -1}) {
    EXPECT_EQ(reverse(status), "runtime_error: message " + std::to_string(status));
  }
}

TEST(RethrowKsToStd, PassesStandardExceptionsThrough) {
  EXPECT_THROW(rethrow_ks_to_std([] { throw std::length_error("x"); }), std::length_error);
  EXPECT_THROW(rethrow_ks_to_std([] { throw 7; }), int);
}

}  // namespace
}  // namespace ks
