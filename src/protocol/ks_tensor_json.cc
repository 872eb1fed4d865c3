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

void tensorFromJson(Tensor& tensor, const rapidjson::Value& value) {
  if (!value.IsObject()) throw std::invalid_argument("Tensor should be a JSON object");
  const rapidjson::Value& data =
      json::requireMember(value, "data", json::isString, "Tensor JSON's 'tensor_data' should be a string");
  const rapidjson::Value* layoutValue = json::findMember(value, "layout");
  if (layoutValue == nullptr) throw std::invalid_argument("Tensor JSON's should have a 'layout'");
  TensorLayout layout;
  layoutFromJson(layout, *layoutValue);

  // Everything that can be told from the lengths is checked before the buffer is allocated, so a peer
  // cannot make us reserve memory for data it did not send.
  const uint32_t bytes = layout.byteSize();
  const unsigned length = estimateBase64Length(bytes);
  if (data.GetStringLength() < length) {
    throw std::invalid_argument("Tensor JSON's 'tensor_data' is shorter than its layout requires");
  }
  tensor.reuse(layout, DeviceContext());

  // Characters after the first `length` are ignored.
  const Base64Decoded decoded = decodeBase64To(data.GetString(), length, tensor.data(), bytes);
  if (!decoded.ok) throw std::invalid_argument("Tensor JSON's 'tensor_data' is not valid Base64");
  if (decoded.size < bytes) {
    throw std::invalid_argument("Tensor JSON's 'tensor_data' holds fewer bytes than its layout requires");
  }
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
  const uint32_t bytes = checkedByteSize(tensor);
  writer.StartObject();
  writer.Key("layout");
  writeLayout(writer, tensor.layout());
  writer.Key("data");
  writeRawString(writer, output, base64EncodedLength(bytes),
                 [&](char* at) { encodeBase64To(tensor.data(), bytes, at); });
  writer.EndObject();
}

void writeTensors(Writer& writer, Output& output, const std::vector<Tensor>& tensors) {
  writer.StartArray();
  for (const Tensor& tensor : tensors) writeTensor(writer, output, tensor);
  writer.EndArray();
}

size_t tensorsJsonSizeHint(const std::vector<Tensor>& tensors) {
  size_t size = 2;
  for (const Tensor& tensor : tensors) {
    // Member names, punctuation and up to four 11-digit dimensions stay well below 128 characters.
    const TensorLayout& layout = tensor.layout();
    size += 128 + (layout.isValid() ? base64EncodedLength(layout.byteSize()) : 0);
  }
  return size;
}

void appendTensors(std::vector<Tensor>& tensors, const rapidjson::Value& array) {
  for (const rapidjson::Value& value : array.GetArray()) {
    tensors.emplace_back();
    tensorFromJson(tensors.back(), value);
  }
}

}  // namespace json

}  // namespace ks
