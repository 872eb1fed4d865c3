// Assertions on the exact exception a statement raises: its type and message, and for ks::Exception its status.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "ks_core/ks_exception.h"

namespace ks {
namespace testing {

// The message of the `E` that `work` throws, or a marker when it throws nothing. Other exception types
// propagate and fail the test.
template <typename E, typename Work>
std::string thrownMessage(Work&& work) {
  try {
    work();
  } catch (const E& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

// "<status>: <message>" of the ks::Exception that `work` throws.
template <typename Work>
std::string thrownKsException(Work&& work) {
  try {
    work();
  } catch (const Exception& e) {
    return std::to_string(static_cast<int>(e.status())) + ": " + e.message();
  }
  return "<nothing thrown>";
}

}  // namespace testing
}  // namespace ks

#define EXPECT_THROW_MSG(statement, type, message) \
  EXPECT_EQ(std::string(message), ::ks::testing::thrownMessage<type>([&] { statement; }))

#define EXPECT_KS_THROW(statement, status, message) \
  EXPECT_EQ(std::to_string(status) + ": " + (message), ::ks::testing::thrownKsException([&] { statement; }))
