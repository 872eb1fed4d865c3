// ks_remote_run: runs a network on a ks inference server through the public client library, the way a
// customer's host program would, and prints what came back.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ks_core/ks_exception.h"
#include "ks_core/ks_inference_stats.h"
#include "ks_core/ks_tensor.h"
#include "ks_netclient/ks_remote_net_backend.h"
#include "npy_file.h"
#include "remote_run_options.h"
#include "tensor_values.h"

namespace {

using ks::tools::InputOption;
using ks::tools::RemoteRunOptions;

constexpr int kExitLocalFile = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSoakFailed = 3;
constexpr int kExitStatusBase = 10;
constexpr size_t kFirstValues = 6;

// A problem with the user's files, found before or after talking to the server.
class LocalFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An input file as read before the connection opens, so a missing file costs no upload.
struct InputData {
  bool isNpy = false;
  ks::tools::NpyArray npy;         // when isNpy
  std::vector<unsigned char> raw;  // otherwise; empty for a random input
};

std::vector<int64_t> dimsOf(const ks::TensorLayout& layout) {
  std::vector<int64_t> dims;
  for (int32_t dim : layout.size()) dims.push_back(dim);
  return dims;
}

std::string dimsText(const std::vector<int64_t>& dims) {
  std::string text = "[";
  for (size_t i = 0; i < dims.size(); ++i) text += (i ? ", " : "") + std::to_string(dims[i]);
  return text + "]";
}

const char* formatName(ks::TensorFormat format) {
  switch (format) {
    case ks::TensorFormat::kPlain: return "plain";
    case ks::TensorFormat::kNchw: return "nchw";
    case ks::TensorFormat::kNhwc: return "nhwc";
  }
  return "unknown-format";
}

// "float32 [1,3,8,8] nchw, 768 bytes"
std::string layoutListing(const ks::TensorLayout& layout) {
  std::string text = ks::layoutText(layout) + " " + formatName(layout.format());
  text += layout.isValid() ? ", " + std::to_string(layout.byteSize()) + " bytes" : ", no usable byte size";
  return text;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

InputData readInput(const InputOption& given) {
  InputData input;
  if (given.file.empty()) return input;
  try {
    if (endsWith(given.file, ".npy")) {
      input.isNpy = true;
      input.npy = ks::tools::readNpyFile(given.file);
      return input;
    }
  } catch (const ks::tools::NpyError& e) {
    throw LocalFileError("input '" + given.name + "': " + e.what());
  }
  std::ifstream file(given.file, std::ios::binary);
  if (!file) throw LocalFileError("input '" + given.name + "': cannot open '" + given.file + "'");
  input.raw.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) throw LocalFileError("input '" + given.name + "': cannot read '" + given.file + "'");
  return input;
}

// The tensor for input `index`, checked against the layout the server reported. Throws LocalFileError on
// a mismatch; ks::Exception for a layout without a byte size.
ks::Tensor makeInputTensor(const RemoteRunOptions& options, size_t index, const InputData& data,
                           const ks::TensorLayout& layout) {
  const InputOption& given = options.inputs[index];
  ks::Tensor tensor(layout);
  const size_t byteSize = layout.byteSize();
  if (given.file.empty()) {
    const size_t count = byteSize / ks::elementSize(layout.dataType());
    ks::tools::fillRandom(layout.dataType(), tensor.data(), count, options.seed + static_cast<uint32_t>(index));
  } else if (data.isNpy) {
    // The layouts reply shows a dimension the network leaves open as 1, so only the type and the rank
    // (a scalar travels as one dimension of 1) are ours to check; the server checks the extents.
    std::vector<int64_t> shape = data.npy.shape;
    if (shape.empty()) shape.push_back(1);
    if (data.npy.dataType != layout.dataType() || shape.size() != layout.size().size()) {
      ks::TensorSize held;
      for (size_t i = 0; i < data.npy.shape.size() && i < 4; ++i)
        held.pushBack(static_cast<int32_t>(data.npy.shape[i]));
      throw LocalFileError("input '" + given.name + "': '" + given.file + "' holds " +
                           ks::layoutText(ks::TensorLayout(data.npy.dataType, ks::TensorFormat::kPlain, held,
                                                           ks::TensorSize(), ks::TensorChannelOrder::kNone)) +
                           " but the network expects " + ks::layoutText(layout));
    }
    if (shape != dimsOf(layout)) {
      ks::TensorSize size;
      for (int64_t dim : shape) size.pushBack(static_cast<int32_t>(dim));
      tensor = ks::Tensor(
          ks::TensorLayout(layout.dataType(), layout.format(), size, ks::TensorSize(), ks::TensorChannelOrder::kNone));
    }
    std::copy(data.npy.data.begin(), data.npy.data.end(), tensor.data());
  } else {
    if (data.raw.size() != byteSize) {
      throw LocalFileError("input '" + given.name + "': '" + given.file + "' holds " + std::to_string(data.raw.size()) +
                           " bytes but the network expects " + std::to_string(byteSize) + " (" + layoutListing(layout) +
                           ")");
    }
    std::copy(data.raw.begin(), data.raw.end(), tensor.data());
  }
  return tensor;
}

// Names are padded to `width` so the columns of a listing line up.
std::string padded(const std::string& name, size_t width) {
  return name + std::string(width > name.size() ? width - name.size() : 0, ' ');
}

void printSummary(const std::string& name, size_t width, const ks::Tensor& tensor) {
  const ks::TensorLayout& layout = tensor.layout();
  const size_t count = layout.byteSize() / ks::elementSize(layout.dataType());
  const ks::tools::ValueSummary summary =
      ks::tools::summarizeValues(layout.dataType(), tensor.data(), count, kFirstValues);
  // + 0.0 turns -0 (a ReLU's usual output) into 0 for the reader.
  std::printf("  %s %s %s: min %.6g  max %.6g  mean %.6g  first", padded(name, width).c_str(),
              dimsText(dimsOf(layout)).c_str(), ks::dataTypeName(layout.dataType()).c_str(), summary.min + 0.0,
              summary.max + 0.0, summary.mean + 0.0);
  for (double value : summary.first) std::printf(" %.6g", value + 0.0);
  std::printf("%s\n", count > summary.first.size() ? " ..." : "");
}

std::string fileNameFor(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\') c = '_';
  }
  return name;
}

void saveOutput(const std::string& dir, const std::string& name, const ks::Tensor& tensor) {
  const std::string base = (std::filesystem::path(dir) / fileNameFor(name)).string();
  const size_t byteSize = tensor.layout().byteSize();
  try {
    ks::tools::writeNpyFile(base + ".npy", tensor.layout().dataType(), dimsOf(tensor.layout()), tensor.data(),
                            byteSize);
  } catch (const ks::tools::NpyError& e) {
    throw LocalFileError(std::string("output '") + name + "': " + e.what());
  }
  std::ofstream raw(base + ".raw", std::ios::binary | std::ios::trunc);
  raw.write(reinterpret_cast<const char*>(tensor.data()), static_cast<std::streamsize>(byteSize));
  if (!raw.flush()) throw LocalFileError("output '" + name + "': cannot write '" + base + ".raw'");
}

// How many inputs (`layoutOf` = srcLayout) or outputs (dstLayout) the loaded network reported: the client
// answers for indices up to the count and throws past it.
unsigned countLayouts(const ks::RemoteNetBackend& backend,
                      ks::TensorLayout (ks::RemoteNetBackend::*layoutOf)(unsigned) const) {
  unsigned count = 0;
  for (;; ++count) {
    try {
      (backend.*layoutOf)(count);
    } catch (const ks::Exception&) {  // past the last one
      return count;
    }
  }
}

bool sameTensors(const std::vector<ks::Tensor>& a, const std::vector<ks::Tensor>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const size_t bytes = a[i].layout().byteSize();
    if (dimsOf(a[i].layout()) != dimsOf(b[i].layout()) || a[i].layout().dataType() != b[i].layout().dataType() ||
        bytes != b[i].layout().byteSize() || std::memcmp(a[i].data(), b[i].data(), bytes) != 0) {
      return false;
    }
  }
  return true;
}

// --soak: the same inputs again and again in the one session, every reply against the first. A failure
// is counted and the loop goes on, as a device's host program would. Returns the exit code.
int soak(const RemoteRunOptions& options, ks::RemoteNetBackend& backend, const std::vector<ks::Tensor>& inputs,
         const std::vector<ks::Tensor>& first) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const auto length = std::chrono::duration<double>(options.soakSeconds);
  unsigned long runs = 0;
  unsigned long failed = 0;
  unsigned long differed = 0;
  double slowest = 0;
  std::map<std::string, unsigned long> failures;  // by message
  while (Clock::now() - start < length) {
    std::vector<ks::Tensor> outputs;
    const Clock::time_point began = Clock::now();
    try {
      if (options.haveRepetitions) {
        ks::InferenceStats stats;
        backend.forwardStats(inputs, outputs, options.repetitions, stats);
      } else {
        backend.forward(inputs, outputs);
      }
      if (!sameTensors(outputs, first)) ++differed;
    } catch (const ks::Exception& e) {
      ++failed;
      failures["status " + std::to_string(static_cast<int>(e.status())) + " (" + ks::statusName(e.status()) +
               "): " + e.what()] += 1;
    }
    slowest = std::max(slowest, std::chrono::duration<double, std::milli>(Clock::now() - began).count());
    ++runs;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!options.quiet) {
    std::printf("soak: %lu runs in %.1f s, %lu failed, %lu differed from the first; slowest %.1f ms\n", runs, seconds,
                failed, differed, slowest);
  }
  for (const auto& [message, count] : failures) std::fprintf(stderr, "soak: %lu x error: %s\n", count, message.c_str());
  return failed + differed == 0 ? 0 : kExitSoakFailed;
}

int run(const RemoteRunOptions& options) {
  std::vector<InputData> inputData;
  std::vector<std::string> inputNames;
  for (const InputOption& given : options.inputs) {
    inputData.push_back(readInput(given));
    inputNames.push_back(given.name);
  }

  ks::RemoteNetBackend backend(options.host, options.port, static_cast<ks::BackendId>(options.backend),
                               static_cast<ks::DeviceType>(options.deviceType), options.deviceIndex);
  backend.load(options.netPath, inputNames, options.outputs, options.key, options.cacheDir);
  // With no input named the server takes all of the network's: fine when it has none, else the user
  // forgot them, which is better said here than as the server's count mismatch.
  if (inputNames.empty()) {
    const unsigned count = countLayouts(backend, &ks::RemoteNetBackend::srcLayout);
    if (count != 0) {
      throw ks::tools::UsageError("the network has " + std::to_string(count) +
                                  " input(s): name each with --input NAME=FILE or --input-name NAME");
    }
  }

  // With no output named the server sends all of them, in the network's order; the protocol carries no
  // names, so they are named by position.
  std::vector<std::string> outputNames = options.outputs;
  if (outputNames.empty()) {
    const unsigned count = countLayouts(backend, &ks::RemoteNetBackend::dstLayout);
    for (unsigned i = 0; i < count; ++i) outputNames.push_back("output_" + std::to_string(i));
  }

  size_t width = 0;
  for (const std::string& name : inputNames) width = std::max(width, name.size());
  for (const std::string& name : outputNames) width = std::max(width, name.size());

  if (!options.quiet) std::printf("layouts:\n");
  std::vector<ks::Tensor> inputs;
  for (size_t i = 0; i < inputNames.size(); ++i) {
    const ks::TensorLayout layout = backend.srcLayout(static_cast<unsigned>(i));
    if (!options.quiet) {
      std::printf("  input  %s %s\n", padded(inputNames[i], width).c_str(), layoutListing(layout).c_str());
    }
    inputs.push_back(makeInputTensor(options, i, inputData[i], layout));
  }
  if (!options.quiet) {
    for (size_t i = 0; i < outputNames.size(); ++i) {
      const ks::TensorLayout layout = backend.dstLayout(static_cast<unsigned>(i));
      std::printf("  output %s %s\n", padded(outputNames[i], width).c_str(), layoutListing(layout).c_str());
    }
  }

  std::vector<ks::Tensor> outputs;
  ks::InferenceStats stats;
  if (options.haveRepetitions) {
    backend.forwardStats(inputs, outputs, options.repetitions, stats);
  } else {
    backend.forward(inputs, outputs);
  }
  if (outputs.size() != outputNames.size()) {
    std::fprintf(stderr, "warning: asked for %zu outputs, the server returned %zu\n", outputNames.size(),
                 outputs.size());
  }
  const size_t named = std::min(outputs.size(), outputNames.size());

  if (!options.quiet) {
    std::printf("results:\n");
    for (size_t i = 0; i < named; ++i) printSummary(outputNames[i], width, outputs[i]);
    if (options.haveRepetitions) {
      if (stats.hasInfo) {
        std::printf("statistics: %u repetitions, %.4f ms per run (the server's mean)\n", stats.repetitionsCount,
                    static_cast<double>(stats.duration));
      } else {
        std::printf("statistics: the server reported none\n");
      }
    }
  }
  if (!options.saveOutputsDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options.saveOutputsDir, ec);
    if (ec) throw LocalFileError("cannot create '" + options.saveOutputsDir + "': " + ec.message());
    for (size_t i = 0; i < named; ++i) saveOutput(options.saveOutputsDir, outputNames[i], outputs[i]);
    if (!options.quiet) std::printf("saved %zu outputs to %s\n", named, options.saveOutputsDir.c_str());
  }
  if (options.soakSeconds > 0) return soak(options, backend, inputs, outputs);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  RemoteRunOptions options;
  try {
    options = ks::tools::parseRemoteRunOptions(argc, argv);
  } catch (const ks::tools::UsageError& e) {
    std::fprintf(stderr, "ks_remote_run: %s\nTry 'ks_remote_run --help'.\n", e.what());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(ks::tools::remoteRunUsage(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("ks_remote_run %s\n", KS_VERSION);
    return 0;
  }
  try {
    return run(options);
  } catch (const ks::tools::UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "ks_remote_run: %s\n", e.what());
    return kExitUsage;
  } catch (const ks::Exception& e) {
    const int status = static_cast<int>(e.status());
    std::fflush(stdout);
    std::fprintf(stderr, "error: status %d (%s): %s\n", status, ks::statusName(e.status()), e.what());
    return kExitStatusBase + status;
  } catch (const LocalFileError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", e.what());
    return kExitLocalFile;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", e.what());
    return kExitLocalFile;
  }
}
