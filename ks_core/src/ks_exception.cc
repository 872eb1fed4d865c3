#include "ks_core/ks_exception.h"

#include <cstdarg>
#include <cstdio>

namespace ks {

namespace {

std::string formatMessage(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

}  // namespace

Exception::Exception(const Exception* parent, Status status, const char* function, const char* file, int line,
                     const char* format, ...)
    : parent_(parent ? std::make_shared<const Exception>(*parent) : nullptr),
      status_(status),
      function_(function ? function : ""),
      file_(file ? file : ""),
      line_(line) {
  va_list args;
  va_start(args, format);
  message_ = formatMessage(format, args);
  va_end(args);
}

Exception::~Exception() = default;

const char* Exception::what() const noexcept { return message_.c_str(); }

}  // namespace ks
