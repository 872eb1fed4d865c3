// The layout object and the tensor object: the building blocks that carry tensors in every message.
#pragma once

#include <vector>

#include <rapidjson/document.h>

#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"
#include "ks_json_io.h"

namespace ks {

// A tensor whose bytes live in memory the codec does not own: a reply written straight from where an
// engine put its outputs.
struct TensorView {
  TensorLayout layout;
  const unsigned char* data = nullptr;  // layout.byteSize() bytes
};

// Where a reader puts the data of the tensors it reads, for a peer that wants them in memory of its own
// (shared with another process, say) instead of in tensors.
class TensorPlacer {
 public:
  // Room for `layout.byteSize()` bytes (valid: the reader checked), valid until the next call; throws to
  // refuse the tensor, and the reader passes the exception on.
  virtual unsigned char* place(const TensorLayout& layout) = 0;

 protected:
  ~TensorPlacer() = default;
};

// {"size":[dims...],"type":<data type>,"format":<format>}, built in `allocator`. The aligned size and the
// channel order do not travel.
rapidjson::Value layoutToJson(const TensorLayout& layout, rapidjson::Document::AllocatorType& allocator);

// Reads a layout object into `layout` (aligned size empty, channel order none). Throws
// std::invalid_argument with the codec's fixed messages, and ks::Exception (status kCapacityExceeded) for a
// fifth dimension; `layout` is unchanged on any failure.
void layoutFromJson(TensorLayout& layout, const rapidjson::Value& value);

// {"layout":{...},"data":"<Base64 of the layout's byte size>"}, built in `allocator`. Throws
// std::invalid_argument when the tensor's buffer holds fewer bytes than its layout's byte size, and
// ks::Exception when the layout has no byte size.
rapidjson::Value tensorToJson(const Tensor& tensor, rapidjson::Document::AllocatorType& allocator);

// Reads a tensor object: the tensor takes the decoded layout and a buffer of its own, filled from "data".
// Throws std::invalid_argument (fixed messages) for a malformed object or data that is not the Base64 of
// at least the layout's byte size, and ks::Exception for a layout without a byte size. The tensor is
// unchanged when the object, its layout or the length of its data is at fault; when the data does not
// decode, it already holds the new layout and an unspecified buffer.
void tensorFromJson(Tensor& tensor, const rapidjson::Value& value);

// Reads a tensor object as tensorFromJson does, with the same checks and messages, but decodes its data
// into the room `placer` gives for its layout, which `layout` receives.
void tensorFromJson(TensorLayout& layout, const rapidjson::Value& value, TensorPlacer& placer);

namespace json {

// Streaming forms of the writers above, producing the same text without building values.
void writeLayout(Writer& writer, const TensorLayout& layout);
void writeTensor(Writer& writer, Output& output, const Tensor& tensor);
void writeTensor(Writer& writer, Output& output, const TensorView& tensor);

// An array of tensor objects, in order.
void writeTensors(Writer& writer, Output& output, const std::vector<Tensor>& tensors);
void writeTensors(Writer& writer, Output& output, const std::vector<TensorView>& tensors);

// Characters that writeTensors adds for `tensors`, within a few bytes per tensor; for reserving message
// space.
size_t tensorsJsonSizeHint(const std::vector<Tensor>& tensors);
size_t tensorsJsonSizeHint(const std::vector<TensorView>& tensors);

// Appends one tensor per element of `array`, each filled by tensorFromJson. A bad element throws as
// tensorFromJson does, leaving the tensors before it and the partly filled one.
void appendTensors(std::vector<Tensor>& tensors, const rapidjson::Value& array);

// Appends the layout of each element of `array`, its data decoded where `placer` says, as
// tensorFromJson(layout, value, placer) does; a bad element throws, leaving the layouts before it.
void appendTensors(std::vector<TensorLayout>& layouts, const rapidjson::Value& array, TensorPlacer& placer);

}  // namespace json

}  // namespace ks
