#include "ks_run_control.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace ks {
namespace server {

RunControl::RunControl() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void RunControl::interrupt(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (interrupted_) return;
  interrupted_ = true;
  reason_ = reason;
  const uint64_t one = 1;
  // The counter only grows from zero: the write cannot block or fail.
  [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

bool RunControl::interrupted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interrupted_;
}

std::string RunControl::reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reason_;
}

}  // namespace server
}  // namespace ks
