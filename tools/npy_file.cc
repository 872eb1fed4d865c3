// NumPy's .npy array files (format 1.0, little-endian, C order) for the element types ks tensors hold.
#include "npy_file.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

namespace ks {
namespace tools {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr size_t kMagicLength = 6;

struct DescrEntry {
  const char* descr;
  ks::TensorDataType dataType;
};

// '|' is what NumPy writes for one-byte types; '<' is accepted there too since byte order cannot matter.
constexpr DescrEntry kDescrs[] = {
    {"<f4", ks::TensorDataType::kFloat32}, {"<f2", ks::TensorDataType::kFloat16}, {"<i4", ks::TensorDataType::kInt32},
    {"<i2", ks::TensorDataType::kInt16},   {"|i1", ks::TensorDataType::kInt8},    {"<i1", ks::TensorDataType::kInt8},
    {"|u1", ks::TensorDataType::kUInt8},   {"<u1", ks::TensorDataType::kUInt8},   {"<i8", ks::TensorDataType::kInt64},
};

// The header is a Python dict literal; this reads just the subset NumPy itself writes: string keys,
// and values that are strings, True/False or tuples of non-negative integers.
class HeaderParser {
 public:
  explicit HeaderParser(const std::string& text) : text_(text) {}

  void parse(std::string& descr, bool& fortranOrder, std::vector<int64_t>& shape) {
    bool haveDescr = false, haveOrder = false, haveShape = false;
    expect('{');
    while (!peekIs('}')) {
      const std::string key = readString();
      expect(':');
      if (key == "descr") {
        descr = readString();
        haveDescr = true;
      } else if (key == "fortran_order") {
        fortranOrder = readBool();
        haveOrder = true;
      } else if (key == "shape") {
        shape = readTuple();
        haveShape = true;
      } else {
        fail("has an unknown key '" + key + "'");
      }
      if (!peekIs('}')) expect(',');
    }
    expect('}');
    skipSpace();
    if (pos_ != text_.size()) fail("has text after the dictionary");
    if (!haveDescr || !haveOrder || !haveShape) fail("lacks one of 'descr', 'fortran_order' and 'shape'");
  }

 private:
  [[noreturn]] void fail(const std::string& why) { throw NpyError("the .npy header " + why); }

  void skipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool peekIs(char c) {
    skipSpace();
    return pos_ < text_.size() && text_[pos_] == c;
  }
  void expect(char c) {
    if (!peekIs(c)) fail(std::string("is malformed: expected '") + c + "'");
    ++pos_;
  }
  std::string readString() {
    skipSpace();
    if (pos_ >= text_.size() || (text_[pos_] != '\'' && text_[pos_] != '"')) fail("is malformed: expected a string");
    const char quote = text_[pos_++];
    const size_t end = text_.find(quote, pos_);
    if (end == std::string::npos) fail("is malformed: unterminated string");
    std::string value = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return value;
  }
  bool readBool() {
    skipSpace();
    for (const char* word : {"True", "False"}) {
      const size_t length = std::strlen(word);
      if (text_.compare(pos_, length, word) == 0) {
        pos_ += length;
        return word[0] == 'T';
      }
    }
    fail("is malformed: expected True or False");
  }
  std::vector<int64_t> readTuple() {
    std::vector<int64_t> values;
    expect('(');
    while (!peekIs(')')) {
      if (pos_ >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
        fail("is malformed: expected a dimension");
      }
      int64_t value = 0;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
        if (value > (std::numeric_limits<int64_t>::max() - 9) / 10) fail("has a dimension too large");
        value = value * 10 + (text_[pos_++] - '0');
      }
      values.push_back(value);
      if (!peekIs(')')) expect(',');
    }
    expect(')');
    return values;
  }

  const std::string& text_;
  size_t pos_ = 0;
};

uint32_t le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Bytes needed by `shape` of `dataType`, refusing totals that do not fit in size_t.
size_t neededBytes(ks::TensorDataType dataType, const std::vector<int64_t>& shape) {
  uint64_t total = ks::elementSize(dataType);
  for (int64_t dim : shape) {
    if (dim < 0) throw NpyError("the .npy shape has a negative dimension");
    if (dim != 0 && total > std::numeric_limits<size_t>::max() / static_cast<uint64_t>(dim)) {
      throw NpyError("the .npy shape describes more data than memory can hold");
    }
    total *= static_cast<uint64_t>(dim);
  }
  return static_cast<size_t>(total);
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  if (shape.size() == 1) text += ',';  // a Python 1-tuple
  return text + ")";
}

}  // namespace

std::string npyDescr(ks::TensorDataType dataType) {
  for (const DescrEntry& entry : kDescrs) {
    if (entry.dataType == dataType) return entry.descr;
  }
  throw NpyError("data type " + std::to_string(static_cast<int>(dataType)) + " has no .npy equivalent");
}

NpyArray parseNpy(const std::string& bytes) {
  if (bytes.size() < kMagicLength + 2 || bytes.compare(0, kMagicLength, kMagic, kMagicLength) != 0) {
    throw NpyError("not an .npy file (wrong magic string)");
  }
  const int major = static_cast<unsigned char>(bytes[kMagicLength]);
  size_t headerLength = 0;
  size_t headerStart = 0;
  if (major == 1 && bytes.size() >= 10) {
    headerLength = static_cast<unsigned char>(bytes[8]) | (static_cast<unsigned char>(bytes[9]) << 8);
    headerStart = 10;
  } else if (major == 2 && bytes.size() >= 12) {
    headerLength = le32(bytes, 8);
    headerStart = 12;
  } else {
    throw NpyError("unsupported .npy format version " + std::to_string(major));
  }
  if (headerLength > bytes.size() - headerStart) throw NpyError("the .npy header is cut short");

  std::string descr;
  bool fortranOrder = false;
  NpyArray array;
  HeaderParser(bytes.substr(headerStart, headerLength)).parse(descr, fortranOrder, array.shape);
  if (fortranOrder) throw NpyError("the .npy array is in Fortran order; only C order is supported");
  if (!descr.empty() && descr[0] == '>') {
    throw NpyError("the .npy array is big-endian ('" + descr + "'); only little-endian is supported");
  }
  bool known = false;
  for (const DescrEntry& entry : kDescrs) {
    if (descr == entry.descr) {
      array.dataType = entry.dataType;
      known = true;
    }
  }
  if (!known) throw NpyError("the .npy dtype '" + descr + "' is not supported");

  const size_t dataStart = headerStart + headerLength;
  const size_t needed = neededBytes(array.dataType, array.shape);
  const size_t held = bytes.size() - dataStart;
  if (held != needed) {
    throw NpyError("the .npy data holds " + std::to_string(held) + " bytes but shape " + shapeText(array.shape) +
                   " of '" + descr + "' needs " + std::to_string(needed));
  }
  array.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(dataStart), bytes.end());
  return array;
}

std::string formatNpy(ks::TensorDataType dataType, const std::vector<int64_t>& shape, const unsigned char* data,
                      size_t byteCount) {
  const std::string descr = npyDescr(dataType);
  const size_t needed = neededBytes(dataType, shape);
  if (byteCount != needed) {
    throw NpyError("cannot write " + std::to_string(byteCount) + " bytes as shape " + shapeText(shape) + " of '" +
                   descr + "', which needs " + std::to_string(needed));
  }
  std::string header = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shapeText(shape) + ", }";
  // NumPy pads with spaces and a final newline so the data starts on a 64-byte boundary.
  const size_t unpadded = kMagicLength + 2 + 2 + header.size() + 1;
  header.append((64 - unpadded % 64) % 64, ' ');
  header += '\n';
  if (header.size() > 0xffff) throw NpyError("the .npy header is too long for format 1.0");

  std::string bytes(kMagic, kMagicLength);
  bytes += '\x01';
  bytes += '\x00';
  bytes += static_cast<char>(header.size() & 0xff);
  bytes += static_cast<char>(header.size() >> 8);
  bytes += header;
  bytes.append(reinterpret_cast<const char*>(data), byteCount);
  return bytes;
}

NpyArray readNpyFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw NpyError("cannot open '" + path + "'");
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) throw NpyError("cannot read '" + path + "'");
  try {
    return parseNpy(bytes);
  } catch (const NpyError& e) {
    throw NpyError("'" + path + "': " + e.what());
  }
}

void writeNpyFile(const std::string& path, ks::TensorDataType dataType, const std::vector<int64_t>& shape,
                  const unsigned char* data, size_t byteCount) {
  const std::string bytes = formatNpy(dataType, shape, data, byteCount);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) throw NpyError("cannot write '" + path + "'");
}

}  // namespace tools
}  // namespace ks
