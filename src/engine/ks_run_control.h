// A handle on the inferences of one request, so another thread can stop them: the server's watchdog when
// a request runs past its time, or the server when it stops.
#pragma once

#include <mutex>
#include <string>

#include "ks_unique_fd.h"

namespace ks {
namespace server {

class RunControl {
 public:
  // Throws std::system_error when no eventfd can be had.
  RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // Stops the run in progress and every later run under this control; they fail with EngineError
  // kInterrupted and `reason` as text. Thread-safe; the first reason stays.
  void interrupt(const std::string& reason);
  bool interrupted() const;
  std::string reason() const;

  // A descriptor that becomes readable once interrupted, for a thread that waits on something else.
  int wakeFd() const { return wake_.get(); }

 private:
  mutable std::mutex mutex_;
  std::string reason_;
  bool interrupted_ = false;
  UniqueFd wake_;
};

}  // namespace server
}  // namespace ks
