// What the engine raises, typed by whose fault it is, so the server chooses the reply by type and adds
// its wording once.
#pragma once

#include <stdexcept>
#include <string>

namespace ks {
namespace server {

class EngineError : public std::runtime_error {
 public:
  enum class Kind {
    kBadNetwork,   // the network cannot be loaded as sent
    kBadRequest,   // names, inputs or options the network cannot take
    kOverBudget,   // loading or running needs more memory than allowed
    kRunFailed,    // the engine failed while running; the text is the engine's own
    kInterrupted,  // the run was stopped from outside (time limit, server stopping)
    // Raised by the server's side only, never sent by a worker:
    kWorkerLost,   // the worker process running the network ended; the text says how
    kQuarantined,  // the network ended worker processes too often lately and is refused for a while
    kNoRoom,       // the server's memory budget has no room for the request now; it may have later
  };

  EngineError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// kWorkerLost, proven to be the run's own doing: run again alone in a fresh worker process, it ended
// that one too. Raised by the server's side only.
class RunCrashed : public EngineError {
 public:
  explicit RunCrashed(const std::string& text) : EngineError(Kind::kWorkerLost, text) {}
};

}  // namespace server
}  // namespace ks
