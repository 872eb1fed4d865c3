// The framework's exception: a status, where it was raised, and a formatted message.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "ks_core/ks_status.h"

namespace ks {

class Exception : public std::exception {
 public:
  // `format` is a printf format for the remaining arguments. A non-null `parent` is copied and kept as the
  // cause. `function` and `file` may be null (stored as empty texts).
  Exception(const Exception* parent, Status status, const char* function, const char* file, int line,
            const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 7, 8)))
#endif
      ;

  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;
  ~Exception() override;

  // The formatted message.
  const char* what() const noexcept override;

  Status status() const { return status_; }
  const std::string& function() const { return function_; }
  const std::string& file() const { return file_; }
  int line() const { return line_; }
  const std::string& message() const { return message_; }
  const Exception* parent() const { return parent_.get(); }

 private:
  std::shared_ptr<const Exception> parent_;
  Status status_;
  std::string function_;
  std::string file_;
  int line_;
  std::string message_;
};

}  // namespace ks
