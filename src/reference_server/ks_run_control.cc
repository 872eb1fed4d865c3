#include "ks_run_control.h"

namespace ks {
namespace server {

void RunControl::interrupt(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (interrupted_) return;
  interrupted_ = true;
  reason_ = reason;
  options_.SetTerminate();
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
