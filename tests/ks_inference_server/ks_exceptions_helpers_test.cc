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
  EXPECT_EQ("6: a", translated(std::domain_error("a")));
  EXPECT_EQ("6: b", translated(std::invalid_argument("b")));
  EXPECT_EQ("5: c", translated(std::length_error("c")));
  EXPECT_EQ("12: d", translated(std::out_of_range("d")));
  EXPECT_EQ("11: e", translated(std::logic_error("e")));
  EXPECT_EQ("5: f", translated(std::range_error("f")));
  EXPECT_EQ("12: g", translated(std::overflow_error("g")));
  EXPECT_EQ("12: h", translated(std::underflow_error("h")));
  EXPECT_EQ("12: abc", translated(std::runtime_error("abc")));
  EXPECT_EQ("3: std::bad_alloc", translated(std::bad_alloc()));
  EXPECT_EQ("3: full", translated(Exception(nullptr, Status::kCapacityExceeded, "pushBack", "f", 1, "full")));
}

TEST(RethrowStdToKs, RecordsWhereItRaisedAndNoParent) {
  try {
    rethrow_std_to_ks([] { throw std::runtime_error("x"); });
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ("rethrow_std_to_ks", e.function());
    EXPECT_EQ("src/ks_inference_server/ks_exceptions_helpers", e.file());
    EXPECT_GT(e.line(), 0);
    EXPECT_EQ(nullptr, e.parent());
  }
}

TEST(RethrowStdToKs, DeliversPercentSignsVerbatim) {
  EXPECT_EQ("12: Server returned error: %d%s%n; operation: x",
            translated(std::runtime_error("Server returned error: %d%s%n; operation: x")));
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
      "runtime_error", "runtime_error",    "logic_error",      "runtime_error", "runtime_error",  // 0-4
      "out_of_range",  "invalid_argument", "invalid_argument", "logic_error",   "logic_error",    // 5-9
      "logic_error",   "logic_error",      "runtime_error",    "runtime_error", "runtime_error",  // 10-14
      "runtime_error", "runtime_error",    "runtime_error",    "runtime_error", "out_of_range",   // 15-19
  };
  for (int status = 0; status < 20; ++status) {
    EXPECT_EQ(std::string(expected[status]) + ": message " + std::to_string(status), reverse(status));
  }
  for (int status : {20, 25, 29, 30, -1}) {
    EXPECT_EQ("runtime_error: message " + std::to_string(status), reverse(status));
  }
}

TEST(RethrowKsToStd, PassesStandardExceptionsThrough) {
  EXPECT_THROW(rethrow_ks_to_std([] { throw std::length_error("x"); }), std::length_error);
  EXPECT_THROW(rethrow_ks_to_std([] { throw 7; }), int);
}

}  // namespace
}  // namespace ks
