// Base64 encode and decode throughput of every kernel this CPU runs, in bytes of raw data per second,
// next to memcpy of the same bytes.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "ks_base64_kernels.h"

namespace ks {
namespace {

std::vector<unsigned char> randomBytes(size_t size) {
  std::mt19937 random(42);
  std::vector<unsigned char> bytes(size);
  for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
  return bytes;
}

void encode(benchmark::State& state, Base64Kernel kernel, size_t size) {
  const std::vector<unsigned char> data = randomBytes(size);
  std::vector<char> text(base64EncodedLength(size));
  for (auto _ : state) {
    kernel.encode(data.data(), data.size(), text.data());
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void decode(benchmark::State& state, Base64Kernel kernel, size_t size) {
  const std::vector<unsigned char> data = randomBytes(size);
  std::vector<char> text(base64EncodedLength(size));
  encodeBase64Scalar(data.data(), data.size(), text.data());
  std::vector<unsigned char> out(size);
  for (auto _ : state) {
    const Base64Decoded result = kernel.decode(text.data(), text.size(), out.data(), out.size());
    if (!result.ok || result.size != size) state.SkipWithError("decoding failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void copy(benchmark::State& state, size_t size) {
  const std::vector<unsigned char> data = randomBytes(size);
  std::vector<unsigned char> out(size);
  for (auto _ : state) {
    std::memcpy(out.data(), data.data(), size);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void registerAll() {
  const struct {
    const char* label;
    size_t bytes;
  } sizes[] = {{"1KiB", 1024}, {"16MiB", 16u << 20}};
  for (const auto& size : sizes) {
    const std::string suffix = std::string("/") + size.label;
    benchmark::RegisterBenchmark(("memcpy" + suffix).c_str(), copy, size.bytes);
    for (const Base64Kernel& kernel : base64Kernels()) {
      if (!kernel.supported) continue;
      const std::string name = std::string(kernel.name) + suffix;
      benchmark::RegisterBenchmark(("encode/" + name).c_str(), encode, kernel, size.bytes);
      benchmark::RegisterBenchmark(("decode/" + name).c_str(), decode, kernel, size.bytes);
    }
  }
}

}  // namespace
}  // namespace ks

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ks::registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
