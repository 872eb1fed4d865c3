// What the server and a worker process say to each other: one small binary message per step (hello, load,
// loaded, run, ran, failed, interrupt), tensors themselves staying in shared memory. Both run on one
// machine from one build, so numbers travel in the machine's own byte order; a message that does not
// decode whole is the sender's fault, and the server treats its worker as hostile.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "ks_engine_error.h"

namespace ks {
namespace server {

// Bumped whenever a message changes.
constexpr uint8_t kWorkerProtocolVersion = 1;

// Bounds every decoder enforces.
constexpr size_t kMaxWorkerText = 4096;    // error texts, sandbox summary, a load's changes
constexpr size_t kMaxValueName = 4096;     // input and output names
constexpr size_t kMaxWorkerValues = 1024;  // inputs or outputs of one network or one run
constexpr size_t kMaxWorkerRank = 64;      // dimensions of one value

enum class WorkerMessageType : uint8_t {
  kHello = 1,      // worker: ready, sandboxed
  kLoad = 2,       // server: load the network (its bytes come as a sealed region)
  kLoaded = 3,     // worker: the network's inputs and outputs
  kRun = 4,        // server: run on tensors placed in the channel's region
  kRan = 5,        // worker: outputs placed in the channel's region
  kFailed = 6,     // worker: the load or the run failed, with the engine's typed reason
  kInterrupt = 7,  // server: stop the run in progress on a channel
};

// An input or output as the engine declares it.
struct ValueDescription {
  std::string name;
  int32_t dataType = -1;      // a TensorDataType, or -1 when the value is not a tensor of one of ours
  std::string typeName;       // "float32", "bool", "sequence", ... for messages
  std::vector<int64_t> dims;  // -1 where the graph leaves a dimension open; empty for a scalar
};

struct HelloMessage {
  std::string sandbox;  // what the worker could lock down, for the log
};

struct LoadMessage {
  uint64_t memoryLimit = 0;  // what the network may hold in the engine; 0: no limit
};

struct LoadedMessage {
  uint64_t heldBytes = 0;  // what the engine holds for the network
  std::string changes;     // what the worker did to the network before loading it; empty: nothing
  std::vector<ValueDescription> inputs;
  std::vector<ValueDescription> outputs;
};

struct FailedMessage {
  uint64_t sequence = 0;  // the run's; 0 for a load
  EngineError::Kind kind = EngineError::Kind::kRunFailed;
  std::string text;
};

// A tensor in a channel's region: `bytes` bytes at `offset`.
struct PlacedTensor {
  uint32_t index = 0;    // which input or output of the network (in a reply: its position in the request)
  int32_t dataType = 0;  // a TensorDataType
  std::vector<int64_t> dims;
  uint64_t offset = 0;
  uint64_t bytes = 0;
};

// Where tensors start in a region: every offset is a multiple of this.
constexpr uint64_t kPlacementAlignment = 64;

// `offset` rounded up to the placement alignment.
uint64_t alignedOffset(uint64_t offset);

// What a tensor of `dataType` (a TensorDataType) and `dims` holds: the element count times the element
// size. False when the type is unknown, a dimension is negative or the product overflows.
bool placedByteCount(int32_t dataType, const std::vector<int64_t>& dims, uint64_t& bytes);

// Whether `tensor` holds the bytes its type and dimensions say and lies within a region of `regionBytes`.
bool liesWithin(const PlacedTensor& tensor, uint64_t regionBytes);

struct RunMessage {
  uint64_t sequence = 0;     // distinct per run on a channel, so an interrupt meets only its own run
  uint32_t repetitions = 0;  // 0: once, untimed
  uint64_t memoryLimit = 0;  // what one run may allocate in the engine; 0: no limit
  bool parallel = true;      // the run may take the intra-op threads (no other run is going on)
  std::vector<PlacedTensor> inputs;
  std::vector<uint32_t> outputs;  // indices of the network's outputs, in the reply's order
};

struct RanMessage {
  uint64_t sequence = 0;
  double milliseconds = 0.0;  // mean time of one repetition; 0 without repetitions
  std::vector<PlacedTensor> outputs;
};

struct InterruptMessage {
  uint32_t channel = 0;
  uint64_t sequence = 0;
};

// A message that does not decode.
class MalformedMessage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string encode(const HelloMessage& message);
std::string encode(const LoadMessage& message);
std::string encode(const LoadedMessage& message);
std::string encode(const FailedMessage& message);
std::string encode(const RunMessage& message);
std::string encode(const RanMessage& message);
std::string encode(const InterruptMessage& message);

// The type of `message`. Throws MalformedMessage for an empty message or another protocol version.
WorkerMessageType typeOf(const std::string& message);

// Each fills its record from a message of its type. Throws MalformedMessage when the type differs, the
// message ends early or goes on after its last field, or a count, length or kind is out of bounds.
void decode(const std::string& message, HelloMessage& out);
void decode(const std::string& message, LoadMessage& out);
void decode(const std::string& message, LoadedMessage& out);
void decode(const std::string& message, FailedMessage& out);
void decode(const std::string& message, RunMessage& out);
void decode(const std::string& message, RanMessage& out);
void decode(const std::string& message, InterruptMessage& out);

}  // namespace server
}  // namespace ks
