// Fuzzes the session reply, status message and layouts reply readers.
#include "fuzz_support.h"
#include "ks_layouts_response.h"
#include "ks_session_reply.h"
#include "ks_status_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = ks::fuzz::textOf(data, size);
  ks::fuzz::readsCleanly([&] {
    std::string id;
    ks::sessionReplyFromJson(id, text.c_str());
  });
  ks::fuzz::readsCleanly([&] {
    ks::StatusMessage message;
    ks::statusFromJson(message, text.c_str());
  });
  ks::fuzz::readsCleanly([&] {
    ks::LayoutsResponse response;
    ks::layoutsFromJson(response, text.c_str());
  });
  return 0;
}
