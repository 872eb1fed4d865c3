// Throughput of the message codec on tensor-sized messages, and the peak memory of one large message.
// A measuring tool: it prints figures and asserts nothing.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <benchmark/benchmark.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "ks_core/ks_base64.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_json_io.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_tensor_json.h"
#include "support/peak_memory.h"

namespace {

ks::Tensor floatTensor(size_t bytes) {
  const int32_t count = static_cast<int32_t>(bytes / 4);
  ks::Tensor tensor(ks::TensorLayout(ks::TensorDataType::kFloat32, ks::TensorFormat::kPlain, {1, count},
                                     ks::TensorSize(), ks::TensorChannelOrder::kNone));
  std::mt19937 random(1);
  auto* values = reinterpret_cast<float*>(tensor.data());
  for (int32_t i = 0; i < count; ++i) values[i] = static_cast<float>(random()) / 1e6f;
  return tensor;
}

// The straightforward way: build the document with copied strings, write it with RapidJSON's
// StringBuffer, copy the text out. The baseline the codec's writers are measured against.
std::string literalRequestToJson(const ks::InferenceRequest& request) {
  rapidjson::Document document;
  document.SetObject();
  auto& allocator = document.GetAllocator();
  rapidjson::Value tensors(rapidjson::kArrayType);
  for (const ks::Tensor& tensor : request.input_tensors)
    tensors.PushBack(ks::tensorToJson(tensor, allocator), allocator);
  document.AddMember("input_tensors", tensors, allocator);
  document.AddMember("repetitions_count", rapidjson::Value(request.repetitions_count), allocator);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  return std::string(buffer.GetString());
}

void BM_InferenceRequestWrite(benchmark::State& state) {
  ks::InferenceRequest request;
  request.input_tensors = {floatTensor(static_cast<size_t>(state.range(0)))};
  for (auto _ : state) benchmark::DoNotOptimize(ks::inferenceRequestToJson(request));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_InferenceRequestWriteLiteral(benchmark::State& state) {
  ks::InferenceRequest request;
  request.input_tensors = {floatTensor(static_cast<size_t>(state.range(0)))};
  for (auto _ : state) benchmark::DoNotOptimize(literalRequestToJson(request));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

std::vector<ks::Tensor>& tensorsOf(ks::InferenceRequest& message) { return message.input_tensors; }
std::vector<ks::Tensor>& tensorsOf(ks::InferenceResponse& message) { return message.output_tensors; }
std::string write(const ks::InferenceRequest& message) { return ks::inferenceRequestToJson(message); }
std::string write(const ks::InferenceResponse& message) { return ks::inferenceResponseToJson(message); }

// The text of a message carrying one float tensor of state.range(0) bytes.
template <typename Message>
std::string messageText(const benchmark::State& state) {
  Message message;
  tensorsOf(message).push_back(floatTensor(static_cast<size_t>(state.range(0))));
  return write(message);
}

void read(ks::InferenceRequest& message, const char* text) { ks::inferenceRequestFromJson(message, text); }
void read(ks::InferenceResponse& message, const char* text) { ks::inferenceResponseFromJson(message, text); }
void read(ks::InferenceRequest& message, const rapidjson::Value& root) { ks::inferenceRequestFromJson(message, root); }
void read(ks::InferenceResponse& message, const rapidjson::Value& root) {
  ks::inferenceResponseFromJson(message, root);
}

// A reader given constant text: it parses a private copy.
template <typename Message>
void BM_Read(benchmark::State& state) {
  const std::string text = messageText<Message>(state);
  for (auto _ : state) {
    Message back;
    read(back, text.c_str());
    benchmark::DoNotOptimize(&back);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// A reader given text it may write into, as the client holds its reply body and the server its request
// body: parsed in place. Restoring the text between runs is not timed; pausing the timer costs about a
// microsecond, so only large messages are measured this way.
template <typename Message>
void BM_ReadInPlace(benchmark::State& state) {
  const std::string text = messageText<Message>(state);
  std::string body;
  for (auto _ : state) {
    state.PauseTiming();
    body = text;
    state.ResumeTiming();
    rapidjson::Document document;
    Message back;
    read(back, ks::json::parseObjectInPlace(document, &body[0]));
    benchmark::DoNotOptimize(&back);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_InferenceResponseWrite(benchmark::State& state) {
  ks::InferenceResponse response;
  response.output_tensors = {floatTensor(static_cast<size_t>(state.range(0)))};
  for (auto _ : state) benchmark::DoNotOptimize(ks::inferenceResponseToJson(response));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_LoadRequestWrite(benchmark::State& state) {
  // A network file of the given size, already in Base64 as the client holds it.
  const size_t bytes = static_cast<size_t>(state.range(0));
  const ks::Tensor file = floatTensor(bytes);
  ks::NetLoadRequest request;
  request.net.resize(ks::base64EncodedLength(bytes) + 1);
  ks::encodeBase64To(file.data(), bytes, request.net.data());
  request.input_tensors = {"input"};
  request.output_tensors = {"output"};
  for (auto _ : state) benchmark::DoNotOptimize(ks::loadRequestToJson(request));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_LayoutsRead(benchmark::State& state) {
  // Layout lists carry no tensor data: the size is the text's, made of as many layouts as it takes.
  ks::LayoutsResponse response;
  const ks::TensorLayout layout(ks::TensorDataType::kFloat32, ks::TensorFormat::kNchw, {1, 3, 224, 224},
                                ks::TensorSize(), ks::TensorChannelOrder::kNone);
  const size_t each = ks::layoutsToJson({{layout}, {}}).size() - 40;
  response.input_layouts.assign(static_cast<size_t>(state.range(0)) / each / 2 + 1, layout);
  response.output_layouts = response.input_layouts;
  const std::string text = ks::layoutsToJson(response);
  for (auto _ : state) {
    ks::LayoutsResponse back;
    ks::layoutsFromJson(back, text.c_str());
    benchmark::DoNotOptimize(back.input_layouts.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// The reference: copying the tensor's bytes once.
void BM_Memcpy(benchmark::State& state) {
  const ks::Tensor source = floatTensor(static_cast<size_t>(state.range(0)));
  std::string target(static_cast<size_t>(state.range(0)), '\0');
  for (auto _ : state) {
    std::memcpy(&target[0], source.data(), target.size());
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same into memory allocated for the copy, as a reader's output tensor is: page faults included.
void BM_MemcpyFresh(benchmark::State& state) {
  const ks::Tensor source = floatTensor(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    ks::Buffer target(static_cast<size_t>(state.range(0)));
    std::memcpy(target.data(), source.data(), target.size());
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

const int64_t kSizes[] = {1 << 10, 1 << 20, 16 << 20};

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : kSizes) b->Arg(size);
  b->Unit(benchmark::kMicrosecond);
}

void largeSizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : kSizes) {
    if (size >= (1 << 20)) b->Arg(size);
  }
  b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Memcpy)->Apply(sizes);
BENCHMARK(BM_MemcpyFresh)->Apply(sizes);
BENCHMARK(BM_InferenceRequestWrite)->Apply(sizes);
BENCHMARK(BM_InferenceRequestWriteLiteral)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Read, ks::InferenceRequest)->Name("BM_InferenceRequestRead")->Apply(sizes);
BENCHMARK_TEMPLATE(BM_ReadInPlace, ks::InferenceRequest)->Name("BM_InferenceRequestReadInPlace")->Apply(largeSizes);
BENCHMARK(BM_InferenceResponseWrite)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_Read, ks::InferenceResponse)->Name("BM_InferenceResponseRead")->Apply(sizes);
BENCHMARK_TEMPLATE(BM_ReadInPlace, ks::InferenceResponse)->Name("BM_InferenceResponseReadInPlace")->Apply(largeSizes);
BENCHMARK(BM_LoadRequestWrite)->Apply(sizes);
BENCHMARK(BM_LayoutsRead)->Apply(sizes);

using ks::testing::Peak;
using ks::testing::peakOf;

void reportPeakMemory() {
  const size_t bytes = 64u << 20;
  const double mib = 1 << 20;
  ks::InferenceRequest request;
  request.input_tensors = {floatTensor(bytes)};
  const size_t messageSize = ks::inferenceRequestToJson(request).size();
  const Peak write = peakOf([&] { benchmark::DoNotOptimize(ks::inferenceRequestToJson(request).size()); });
  const Peak literal = peakOf([&] { benchmark::DoNotOptimize(literalRequestToJson(request).size()); });
  request = ks::InferenceRequest();

  ks::InferenceResponse response;
  response.output_tensors = {floatTensor(bytes)};
  const std::string text = ks::inferenceResponseToJson(response);
  response = ks::InferenceResponse();
  const Peak read = peakOf([&] {
    ks::InferenceResponse back;
    ks::inferenceResponseFromJson(back, text.c_str());
  });
  std::string body = text;
  const Peak readInPlace = peakOf([&] {
    rapidjson::Document document;
    ks::InferenceResponse back;
    ks::inferenceResponseFromJson(back, ks::json::parseObjectInPlace(document, &body[0]));
  });

  std::printf("Peak memory for one 64 MiB float tensor (message %.1f MiB), above what was there before:\n",
              messageSize / mib);
  std::printf("  %-32s %10s %10s %16s\n", "", "resident", "reserved", "resident/message");
  // Each row also goes to stderr as "peak KEY RESIDENT RESERVED MESSAGE TENSOR" for scripts.
  const auto row = [&](const char* name, const char* key, const Peak& peak, size_t message) {
    std::printf("  %-32s %6.1f MiB %6.1f MiB %16.2f\n", name, peak.resident / mib, peak.reserved / mib,
                static_cast<double>(peak.resident) / message);
    std::fprintf(stderr, "peak %s %zu %zu %zu %zu\n", key, peak.resident, peak.reserved, message, bytes);
  };
  row("inferenceRequestToJson", "request_write", write, messageSize);
  row("Document + StringBuffer writer", "literal_request_write", literal, messageSize);
  row("inferenceResponseFromJson", "response_read", read, text.size());
  row("  in place (the client's path)", "response_read_in_place", readInPlace, text.size());
  std::printf("  (reading includes the 64 MiB output tensor)\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  // --no-peak-memory skips the memory report, e.g. to profile one benchmark alone.
  bool peakMemory = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-peak-memory") == 0) {
      peakMemory = false;
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      break;
    }
  }
  if (peakMemory) reportPeakMemory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
