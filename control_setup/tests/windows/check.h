// A minimal test runner for the Windows test programs, which cannot use the host's GoogleTest: named cases,
// checks that report file, line and both values, and a process exit code that says whether all passed.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace checks {

inline int& failuresInCase() {
  static int failures = 0;
  return failures;
}

inline void fail(const char* file, int line, const std::string& what) {
  std::printf("%s:%d: check failed: %s\n", file, line, what.c_str());
  std::fflush(stdout);
  ++failuresInCase();
}

template <typename A, typename B>
bool equal(const A& actual, const B& expected, const char* text, const char* file, int line) {
  if (actual == expected) return true;
  std::ostringstream what;
  what << text << "\n    actual:   \"" << actual << "\"\n    expected: \"" << expected << "\"";
  fail(file, line, what.str());
  return false;
}

// Runs each case in order, printing one line per case with its duration; returns 0 when every case passed.
inline int runAll(const std::vector<std::pair<const char*, std::function<void()>>>& cases) {
  int failedCases = 0;
  for (const auto& [name, body] : cases) {
    failuresInCase() = 0;
    const auto started = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const bool passed = failuresInCase() == 0;
    if (!passed) ++failedCases;
    std::printf("[%s] %s (%.1f s)\n", passed ? "  OK  " : "FAILED", name, took.count());
    std::fflush(stdout);
  }
  std::printf("%d cases, %d failed\n", static_cast<int>(cases.size()), failedCases);
  return failedCases == 0 ? 0 : 1;
}

}  // namespace checks

#define CHECK(condition) ((condition) ? true : (::checks::fail(__FILE__, __LINE__, #condition), false))
#define CHECK_EQ(actual, expected) ::checks::equal((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
