#include "ks_worker_messages.h"

#include <cstring>
#include <type_traits>

#include "ks_core/ks_tensor_layout.h"

namespace ks {
namespace server {
namespace {

// Appends fields to a message.
class Writer {
 public:
  explicit Writer(WorkerMessageType type) {
    text_.push_back(static_cast<char>(kWorkerProtocolVersion));
    text_.push_back(static_cast<char>(type));
  }
  template <typename T>
  Writer& put(T value) {
    static_assert(std::is_arithmetic<T>::value, "numbers only");
    const size_t at = text_.size();
    text_.resize(at + sizeof value);
    std::memcpy(&text_[at], &value, sizeof value);
    return *this;
  }
  Writer& text(const std::string& value) {
    put(static_cast<uint32_t>(value.size()));
    text_ += value;
    return *this;
  }
  Writer& dims(const std::vector<int64_t>& values) {
    put(static_cast<uint32_t>(values.size()));
    for (int64_t value : values) put(value);
    return *this;
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

// Reads the fields of a message, refusing anything out of bounds.
class Reader {
 public:
  Reader(const std::string& message, WorkerMessageType type) : text_(message) {
    if (typeOf(message) != type) throw MalformedMessage("a message of another type");
    at_ = 2;
  }
  template <typename T>
  T get() {
    T value;
    need(sizeof value);
    std::memcpy(&value, text_.data() + at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  uint32_t count(size_t limit) {
    const uint32_t n = get<uint32_t>();
    if (n > limit) throw MalformedMessage("a count beyond its bound");
    return n;
  }
  std::string text(size_t limit) {
    const uint32_t length = count(limit);
    need(length);
    std::string value = text_.substr(at_, length);
    at_ += length;
    return value;
  }
  std::vector<int64_t> dims() {
    const uint32_t rank = count(kMaxWorkerRank);
    std::vector<int64_t> values(rank);
    for (int64_t& value : values) value = get<int64_t>();
    return values;
  }
  void end() const {
    if (at_ != text_.size()) throw MalformedMessage("bytes after the last field");
  }

 private:
  void need(size_t bytes) const {
    if (bytes > text_.size() - at_) throw MalformedMessage("a message that ends early");
  }
  const std::string& text_;
  size_t at_ = 0;
};

void putValue(Writer& writer, const ValueDescription& value) {
  writer.text(value.name).put(value.dataType).text(value.typeName).dims(value.dims);
}

ValueDescription getValue(Reader& reader) {
  ValueDescription value;
  value.name = reader.text(kMaxValueName);
  value.dataType = reader.get<int32_t>();
  value.typeName = reader.text(kMaxWorkerText);
  value.dims = reader.dims();
  return value;
}

void putTensors(Writer& writer, const std::vector<PlacedTensor>& tensors) {
  writer.put(static_cast<uint32_t>(tensors.size()));
  for (const PlacedTensor& tensor : tensors) {
    writer.put(tensor.index).put(tensor.dataType).dims(tensor.dims).put(tensor.offset).put(tensor.bytes);
  }
}

std::vector<PlacedTensor> getTensors(Reader& reader) {
  std::vector<PlacedTensor> tensors(reader.count(kMaxWorkerValues));
  for (PlacedTensor& tensor : tensors) {
    tensor.index = reader.get<uint32_t>();
    tensor.dataType = reader.get<int32_t>();
    tensor.dims = reader.dims();
    tensor.offset = reader.get<uint64_t>();
    tensor.bytes = reader.get<uint64_t>();
  }
  return tensors;
}

}  // namespace

uint64_t alignedOffset(uint64_t offset) {
  return (offset + kPlacementAlignment - 1) / kPlacementAlignment * kPlacementAlignment;
}

bool placedByteCount(int32_t dataType, const std::vector<int64_t>& dims, uint64_t& bytes) {
  bytes = dataType < 0 ? 0 : elementSize(static_cast<TensorDataType>(dataType));
  if (bytes == 0) return false;
  for (int64_t dim : dims) {
    if (dim < 0 || (dim != 0 && bytes > UINT64_MAX / static_cast<uint64_t>(dim))) return false;
    bytes *= static_cast<uint64_t>(dim);
  }
  return true;
}

bool liesWithin(const PlacedTensor& tensor, uint64_t regionBytes) {
  uint64_t bytes = 0;
  return placedByteCount(tensor.dataType, tensor.dims, bytes) && bytes == tensor.bytes &&
         tensor.offset <= regionBytes && tensor.bytes <= regionBytes - tensor.offset;
}

WorkerMessageType typeOf(const std::string& message) {
  if (message.size() < 2) throw MalformedMessage("an empty message");
  if (static_cast<uint8_t>(message[0]) != kWorkerProtocolVersion) throw MalformedMessage("another protocol version");
  const auto type = static_cast<uint8_t>(message[1]);
  if (type < static_cast<uint8_t>(WorkerMessageType::kHello) ||
      type > static_cast<uint8_t>(WorkerMessageType::kInterrupt)) {
    throw MalformedMessage("an unknown message type");
  }
  return static_cast<WorkerMessageType>(type);
}

std::string encode(const HelloMessage& message) {
  return Writer(WorkerMessageType::kHello).text(message.sandbox).take();
}

void decode(const std::string& message, HelloMessage& out) {
  Reader reader(message, WorkerMessageType::kHello);
  out.sandbox = reader.text(kMaxWorkerText);
  reader.end();
}

std::string encode(const LoadMessage& message) {
  return Writer(WorkerMessageType::kLoad).put(message.memoryLimit).take();
}

void decode(const std::string& message, LoadMessage& out) {
  Reader reader(message, WorkerMessageType::kLoad);
  out.memoryLimit = reader.get<uint64_t>();
  reader.end();
}

std::string encode(const LoadedMessage& message) {
  Writer writer(WorkerMessageType::kLoaded);
  writer.put(message.heldBytes).text(message.changes);
  writer.put(static_cast<uint32_t>(message.inputs.size()));
  for (const ValueDescription& value : message.inputs) putValue(writer, value);
  writer.put(static_cast<uint32_t>(message.outputs.size()));
  for (const ValueDescription& value : message.outputs) putValue(writer, value);
  return writer.take();
}

void decode(const std::string& message, LoadedMessage& out) {
  Reader reader(message, WorkerMessageType::kLoaded);
  out.heldBytes = reader.get<uint64_t>();
  out.changes = reader.text(kMaxWorkerText);
  out.inputs.resize(reader.count(kMaxWorkerValues));
  for (ValueDescription& value : out.inputs) value = getValue(reader);
  out.outputs.resize(reader.count(kMaxWorkerValues));
  for (ValueDescription& value : out.outputs) value = getValue(reader);
  reader.end();
}

std::string encode(const FailedMessage& message) {
  return Writer(WorkerMessageType::kFailed)
      .put(message.sequence)
      .put(static_cast<uint8_t>(message.kind))
      .text(message.text.substr(0, kMaxWorkerText))
      .take();
}

void decode(const std::string& message, FailedMessage& out) {
  Reader reader(message, WorkerMessageType::kFailed);
  out.sequence = reader.get<uint64_t>();
  const auto kind = reader.get<uint8_t>();
  if (kind > static_cast<uint8_t>(EngineError::Kind::kInterrupted)) throw MalformedMessage("an unknown failure");
  out.kind = static_cast<EngineError::Kind>(kind);
  out.text = reader.text(kMaxWorkerText);
  reader.end();
}

std::string encode(const RunMessage& message) {
  Writer writer(WorkerMessageType::kRun);
  writer.put(message.sequence).put(message.repetitions).put(message.memoryLimit);
  writer.put(static_cast<uint8_t>(message.parallel ? 1 : 0));
  putTensors(writer, message.inputs);
  writer.put(static_cast<uint32_t>(message.outputs.size()));
  for (uint32_t index : message.outputs) writer.put(index);
  return writer.take();
}

void decode(const std::string& message, RunMessage& out) {
  Reader reader(message, WorkerMessageType::kRun);
  out.sequence = reader.get<uint64_t>();
  out.repetitions = reader.get<uint32_t>();
  out.memoryLimit = reader.get<uint64_t>();
  out.parallel = reader.get<uint8_t>() != 0;
  out.inputs = getTensors(reader);
  out.outputs.resize(reader.count(kMaxWorkerValues));
  for (uint32_t& index : out.outputs) index = reader.get<uint32_t>();
  reader.end();
}

std::string encode(const RanMessage& message) {
  Writer writer(WorkerMessageType::kRan);
  writer.put(message.sequence).put(message.milliseconds);
  putTensors(writer, message.outputs);
  return writer.take();
}

void decode(const std::string& message, RanMessage& out) {
  Reader reader(message, WorkerMessageType::kRan);
  out.sequence = reader.get<uint64_t>();
  out.milliseconds = reader.get<double>();
  out.outputs = getTensors(reader);
  reader.end();
}

std::string encode(const InterruptMessage& message) {
  return Writer(WorkerMessageType::kInterrupt).put(message.channel).put(message.sequence).take();
}

void decode(const std::string& message, InterruptMessage& out) {
  Reader reader(message, WorkerMessageType::kInterrupt);
  out.channel = reader.get<uint32_t>();
  out.sequence = reader.get<uint64_t>();
  reader.end();
}

}  // namespace server
}  // namespace ks
