#include "ks_tensor_json.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "ks_core/ks_base64.h"

namespace ks {

namespace {

// Byte size of the tensor's layout, after making sure its buffer really holds that many bytes.
uint32_t checkedByteSize(const Tensor& tensor) {
  const uint32_t bytes = tensor.layout().byteSize();
  if (bytes > 0 && (!tensor.buffer() || tensor.buffer()->size() < bytes)) {
    throw std::invalid_argument("Tensor holds fewer bytes than its layout's byte size");
  }
  return bytes;
}

}  // namespace

rapidjson::Value layoutToJson(const TensorLayout& layout, rapidjson::Document::AllocatorType& allocator) {
  rapidjson::Value size(rapidjson::kArrayType);
  for (int32_t dimension : layout.size()) size.PushBack(rapidjson::Value(dimension), allocator);
  rapidjson::Value object(rapidjson::kObjectType);
  object.AddMember("size", size, allocator);
  object.AddMember("type", rapidjson::Value(static_cast<int>(layout.dataType())), allocator);
  object.AddMember("format", rapidjson::Value(static_cast<int>(layout.format())), allocator);
  return object;
}

void layoutFromJson(TensorLayout& layout, const rapidjson::Value& value) {
  if (!value.IsObject()) throw std::invalid_argument("Tensor laoyut JSON's should be an object");
  const rapidjson::Value& size =
      json::requireMember(value, "size", json::isArray, "Tensor laoyut JSON's 'shape' should be an array");
  const rapidjson::Value& type =
      json::requireMember(value, "type", json::isInt, "Tensor laoyut JSON's 'type' should be an int");
  const rapidjson::Value& format =
      json::requireMember(value, "format", json::isInt, "Tensor laoyut JSON's 'format' should be an int");

  TensorSize dimensions;
  for (const rapidjson::Value& dimension : size.GetArray()) {
    if (!dimension.IsInt()) throw std::invalid_argument("Tensor laoyut JSON's 'size' should be an array of ints");
    dimensions.pushBack(dimension.GetInt());
  }
  layout = TensorLayout(static_cast<TensorDataType>(type.GetInt()), static_cast<TensorFormat>(format.GetInt()),
                        dimensions, TensorSize(), TensorChannelOrder::kNone);
}

rapidjson::Value tensorToJson(const Tensor& tensor, rapidjson::Document::AllocatorType& allocator) {
  rapidjson::Value layout = layoutToJson(tensor.layout(), allocator);
  const uint32_t bytes = checkedByteSize(tensor);
  const size_t length = base64EncodedLength(bytes);
  std::vector<char> text(length);
  encodeBase64To(tensor.data(), bytes, text.data());
  rapidjson::Value data(text.data(), static_cast<rapidjson::SizeType>(length), allocator);
  rapidjson::Value object(rapidjson::kObjectType);
  object.AddMember("layout", layout, allocator);
  object.AddMember("data", data, allocator);
  return object;
}

namespace {

// Reads a tensor object: checks it and its layout, gets room for the data from `place(layout)` and
// decodes the data there. The checks and messages of tensorFromJson.
template <typename Place>
void readTensor(const rapidjson::Value& value, TensorLayout& layout, Place&& place) {
  if (!value.IsObject()) throw std::invalid_argument("Tensor should be a JSON object");
  const rapidjson::Value& data =
      json::requireMember(value, "data", json::isString, "Tensor JSON's 'tensor_data' should be a string");
  const rapidjson::Value* layoutValue = json::findMember(value, "layout");
  if (layoutValue == nullptr) throw std::invalid_argument("Tensor JSON's should have a 'layout'");
  layoutFromJson(layout, *layoutValue);

  // Everything that can be told from the lengths is checked before the room is taken, so a peer cannot
  // make us reserve memory for data it did not send.
  const uint32_t bytes = layout.byteSize();
  const unsigned length = estimateBase64Length(bytes);
  if (data.GetStringLength() < length) {
    throw std::invalid_argument("Tensor JSON's 'tensor_data' is shorter than its layout requires");
  }
  unsigned char* room = place(layout);

  // Characters after the first `length` are ignored.
  const Base64Decoded decoded = decodeBase64To(data.GetString(), length, room, bytes);
  if (!decoded.ok) throw std::invalid_argument("Tensor JSON's 'tensor_data' is not valid Base64");
  if (decoded.size < bytes) {
    throw std::invalid_argument("Tensor JSON's 'tensor_data' holds fewer bytes than its layout requires");
  }
}

void writeTensorData(json::Writer& writer, json::Output& output, const TensorLayout& layout, const unsigned char* data,
                     uint32_t bytes) {
  writer.StartObject();
  writer.Key("layout");
  json::writeLayout(writer, layout);
  writer.Key("data");
  json::writeRawString(writer, output, base64EncodedLength(bytes), [&](char* at) { encodeBase64To(data, bytes, at); });
  writer.EndObject();
}

size_t sizeHint(const TensorLayout& layout) {
  // Member names, punctuation and up to four 11-digit dimensions stay well below 128 characters.
  return 128 + (layout.isValid() ? base64EncodedLength(layout.byteSize()) : 0);
}

}  // namespace

void tensorFromJson(Tensor& tensor, const rapidjson::Value& value) {
  // The tensor is left as it was when the object, its layout or the length of its data is at fault.
  TensorLayout layout;
  readTensor(value, layout, [&](const TensorLayout& read) {
    tensor.reuse(read, DeviceContext());
    return tensor.data();
  });
}

void tensorFromJson(TensorLayout& layout, const rapidjson::Value& value, TensorPlacer& placer) {
  readTensor(value, layout, [&](const TensorLayout& read) { return placer.place(read); });
}

namespace json {

void writeLayout(Writer& writer, const TensorLayout& layout) {
  writer.StartObject();
  writer.Key("size");
  writer.StartArray();
  for (int32_t dimension : layout.size()) writer.Int(dimension);
  writer.EndArray();
  writer.Key("type");
  writer.Int(static_cast<int>(layout.dataType()));
  writer.Key("format");
  writer.Int(static_cast<int>(layout.format()));
  writer.EndObject();
}

void writeTensor(Writer& writer, Output& output, const Tensor& tensor) {
  writeTensorData(writer, output, tensor.layout(), tensor.data(), checkedByteSize(tensor));
}

void writeTensor(Writer& writer, Output& output, const TensorView& tensor) {
  writeTensorData(writer, output, tensor.layout, tensor.data, tensor.layout.byteSize());
}

void writeTensors(Writer& writer, Output& output, const std::vector<Tensor>& tensors) {
  writer.StartArray();
  for (const Tensor& tensor : tensors) writeTensor(writer, output, tensor);
  writer.EndArray();
}

void writeTensors(Writer& writer, Output& output, const std::vector<TensorView>& tensors) {
  writer.StartArray();
  for (const TensorView& tensor : tensors) writeTensor(writer, output, tensor);
  writer.EndArray();
}

size_t tensorsJsonSizeHint(const std::vector<Tensor>& tensors) {
  size_t size = 2;
  for (const Tensor& tensor : tensors) size += sizeHint(tensor.layout());
  return size;
}

size_t tensorsJsonSizeHint(const std::vector<TensorView>& tensors) {
  size_t size = 2;
  for (const TensorView& tensor : tensors) size += sizeHint(tensor.layout);
  return size;
}

void appendTensors(std::vector<Tensor>& tensors, const rapidjson::Value& array) {
  for (const rapidjson::Value& value : array.GetArray()) {
    tensors.emplace_back();
    tensorFromJson(tensors.back(), value);
  }
}

void appendTensors(std::vector<TensorLayout>& layouts, const rapidjson::Value& array, TensorPlacer& placer) {
  for (const rapidjson::Value& value : array.GetArray()) {
    TensorLayout layout;
    tensorFromJson(layout, value, placer);
    layouts.push_back(layout);
  }
}

}  // namespace json

}  // namespace ks
