// Translation between standard exceptions and ks::Exception, for code on either side of that line.
#pragma once

#include <functional>

namespace ks {

// Calls `work` once. A std::exception leaving it is raised again as a ks::Exception (no parent) whose
// status follows the exception's type and whose message is its what() text, unformatted:
//   std::domain_error, std::invalid_argument -> 6; std::length_error -> 5; std::out_of_range -> 12;
//   other std::logic_error -> 11; std::range_error -> 5; std::overflow_error, std::underflow_error and
//   other std::runtime_error -> 12; any other std::exception, ks::Exception included -> 3.
// Anything not derived from std::exception passes unchanged.
void rethrow_std_to_ks(const std::function<void()>& work);

// Calls `work` once. A ks::Exception leaving it is raised again as a standard exception carrying its
// message, the type chosen by status: 2, 8..11 -> std::logic_error; 5, 19 -> std::out_of_range;
// 6, 7 -> std::invalid_argument; every other value -> std::runtime_error. Other exceptions pass unchanged.
void rethrow_ks_to_std(const std::function<void()>& work);

}  // namespace ks
