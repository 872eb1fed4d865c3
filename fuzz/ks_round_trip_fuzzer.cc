// Whatever a reader accepts, its writer must write so that the reader reads the same record back.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_status_message.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool sameTensors(const std::vector<ks::Tensor>& a, const std::vector<ks::Tensor>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].layout() != b[i].layout()) return false;
    const uint32_t bytes = a[i].layout().byteSize();
    if (bytes && std::memcmp(a[i].data(), b[i].data(), bytes) != 0) return false;
  }
  return true;
}

// Counts from 2^31 up are written as unsigned numbers that the readers' int test refuses, and a duration
// that rounds to a float beyond 3.4028234e38 is written but fails the float test: both are the protocol's
// own asymmetries, so such records are not expected to come back.
bool countReadsBack(uint32_t count) { return count <= 2147483647u; }
bool durationReadsBack(float duration) { return duration >= -3.4028234e38 && duration <= 3.4028234e38; }

void roundTripResponse(const char* text) {
  ks::InferenceResponse first;
  if (!ks::fuzz::readsCleanly([&] { ks::inferenceResponseFromJson(first, text); })) return;
  if (!countReadsBack(first.inference_stats.repetitionsCount)) return;
  if (!durationReadsBack(first.inference_stats.duration)) return;
  ks::InferenceResponse second;
  ks::inferenceResponseFromJson(second, ks::inferenceResponseToJson(first).c_str());
  check(sameTensors(first.output_tensors, second.output_tensors));
  check(first.inference_stats.hasInfo == second.inference_stats.hasInfo);
  check(first.inference_stats.repetitionsCount == second.inference_stats.repetitionsCount);
  // Bit for bit, so that -0 and NaN payloads count too.
  // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
  check(std::memcmp(&first.inference_stats.duration, &second.inference_stats.duration, sizeof(float)) == 0);
}

void roundTripRequest(const char* text) {
  ks::InferenceRequest first;
  if (!ks::fuzz::readsCleanly([&] { ks::inferenceRequestFromJson(first, text); })) return;
  if (!countReadsBack(first.repetitions_count)) return;
  ks::InferenceRequest second;
  ks::inferenceRequestFromJson(second, ks::inferenceRequestToJson(first).c_str());
  check(sameTensors(first.input_tensors, second.input_tensors));
  check(first.repetitions_count == second.repetitions_count);
}

void roundTripLoadRequest(const char* text) {
  ks::NetLoadRequest first;
  if (!ks::fuzz::readsCleanly([&] { ks::loadRequestFromJson(first, text); })) return;
  ks::NetLoadRequest second;
  ks::loadRequestFromJson(second, ks::loadRequestToJson(first).c_str());
  check(first.net == second.net && first.key == second.key && first.cache_dir == second.cache_dir);
  check(first.input_tensors == second.input_tensors && first.output_tensors == second.output_tensors);
  check(first.backend == second.backend && first.device_type == second.device_type &&
        first.device_index == second.device_index);
}

void roundTripLayouts(const char* text) {
  ks::LayoutsResponse first;
  if (!ks::fuzz::readsCleanly([&] { ks::layoutsFromJson(first, text); })) return;
  ks::LayoutsResponse second;
  ks::layoutsFromJson(second, ks::layoutsToJson(first).c_str());
  check(first.input_layouts == second.input_layouts && first.output_layouts == second.output_layouts);
}

void roundTripStatus(const char* text) {
  ks::StatusMessage first;
  bool held = false;
  if (!ks::fuzz::readsCleanly([&] { held = ks::statusFromJson(first, text); }) || !held) return;
  ks::StatusMessage second;
  check(ks::statusFromJson(second, ks::statusToJson(first).c_str()));
  check(first.status == second.status && first.text == second.text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = ks::fuzz::textOf(data, size);
  roundTripResponse(text.c_str());
  roundTripRequest(text.c_str());
  roundTripLoadRequest(text.c_str());
  roundTripLayouts(text.c_str());
  roundTripStatus(text.c_str());
  return 0;
}
