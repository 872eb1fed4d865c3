// Fuzzes the network load request reader.
#include "fuzz_support.h"
#include "ks_net_load_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = ks::fuzz::textOf(data, size);
  ks::fuzz::readsCleanly([&] {
    ks::NetLoadRequest request;
    ks::loadRequestFromJson(request, text.c_str());
  });
  return 0;
}
