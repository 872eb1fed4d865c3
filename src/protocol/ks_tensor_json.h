// The layout object and the tensor object: the building blocks that carry tensors in every message.
#pragma once

#include <vector>

#include <rapidjson/document.h>

#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"
#include "ks_json_io.h"

namespace ks {

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

namespace json {

// Streaming forms of the writers above, producing the same text without building values.
void writeLayout(Writer& writer, const TensorLayout& layout);
void writeTensor(Writer& writer, Output& output, const Tensor& tensor);

// An array of tensor objects, in order.
void writeTensors(Writer& writer, Output& output, const std::vector<Tensor>& tensors);

// Characters that writeTensors adds for `tensors`, within a few bytes per tensor; for reserving message
// space.
size_t tensorsJsonSizeHint(const std::vector<Tensor>& tensors);

// Appends one tensor per element of `array`, each filled by tensorFromJson. A bad element throws as
// tensorFromJson does, leaving the tensors before it and the partly filled one.
void appendTensors(std::vector<Tensor>& tensors, const rapidjson::Value& array);

}  // namespace json

}  // namespace ks
