// Fuzzes the layout and tensor readers on any JSON value the parser accepts.
#include <rapidjson/document.h>

#include "fuzz_support.h"
#include "ks_tensor_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = ks::fuzz::textOf(data, size);
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
  if (document.HasParseError()) return 0;
  ks::fuzz::readsCleanly([&] {
    ks::TensorLayout layout;
    ks::layoutFromJson(layout, document);
  });
  ks::fuzz::readsCleanly([&] {
    ks::Tensor tensor;
    ks::tensorFromJson(tensor, document);
  });
  return 0;
}
