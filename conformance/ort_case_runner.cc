// ort_case_runner: runs one ONNX network in-process with ONNX Runtime on .npy inputs and saves its outputs
// as .npy files, with nothing of the client, the protocol or the server in between. The conformance driver
// runs every case both this way and end to end, so what the engine itself cannot do is told apart from what
// our road loses.
//
// usage: ort_case_runner --net FILE [--input NAME=FILE.npy]... --save-outputs DIR [--threads N]
//        ort_case_runner --version    (prints ONNX Runtime's version)
// Every output is saved, in graph order, as DIR/output_K.npy (the names ks_remote_run gives them). Exit 0 on
// success; 1 with "error: TEXT" on stderr when the engine refuses the network or the run (TEXT is the
// engine's own); 2 for a bad command line or an unusable file.
#include <onnxruntime_cxx_api.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ks_command_line.h"
#include "npy_file.h"

namespace {

constexpr int kExitEngine = 1;
constexpr int kExitUsage = 2;

// A command line or file problem, as opposed to the engine's verdict.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string netPath;
  std::vector<std::pair<std::string, std::string>> inputs;  // name, .npy file
  std::string outputDir;
  int threads = 1;
};

Options parseOptions(int argc, char** argv) {
  Options options;
  ks::readCommandLine<UsageError>(argc, argv,
                                  {{"net", true}, {"input", true}, {"save-outputs", true}, {"threads", true}},
                                  [&](std::string_view name, const char* text) {
                                    const std::string value = text;
                                    if (name == "net") {
                                      options.netPath = value;
                                    } else if (name == "input") {
                                      const size_t split = value.find('=');
                                      if (split == std::string::npos || split == 0)
                                        throw UsageError("--input takes NAME=FILE, not '" + value + "'");
                                      options.inputs.emplace_back(value.substr(0, split), value.substr(split + 1));
                                    } else if (name == "save-outputs") {
                                      options.outputDir = value;
                                    } else if (name == "threads") {
                                      options.threads = std::atoi(value.c_str());
                                      if (options.threads < 1)
                                        throw UsageError("--threads takes a positive number, not '" + value + "'");
                                    }
                                    return true;
                                  });
  if (options.netPath.empty() || options.outputDir.empty()) throw UsageError("--net and --save-outputs are required");
  return options;
}

ONNXTensorElementDataType toOrtType(ks::TensorDataType type) {
  switch (type) {
    case ks::TensorDataType::kFloat32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
    case ks::TensorDataType::kFloat16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    case ks::TensorDataType::kInt32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32;
    case ks::TensorDataType::kInt16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16;
    case ks::TensorDataType::kInt8: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8;
    case ks::TensorDataType::kUInt8: return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8;
    case ks::TensorDataType::kInt64: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64;
  }
  return ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
}

std::optional<ks::TensorDataType> fromOrtType(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return ks::TensorDataType::kFloat32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return ks::TensorDataType::kFloat16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return ks::TensorDataType::kInt32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return ks::TensorDataType::kInt16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return ks::TensorDataType::kInt8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return ks::TensorDataType::kUInt8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return ks::TensorDataType::kInt64;
    default: return std::nullopt;
  }
}

void run(const Options& options, Ort::Env& env) {
  // Read before the engine starts, so a missing file is a usage error and not the engine's.
  std::vector<ks::tools::NpyArray> arrays;
  for (const auto& [name, file] : options.inputs) {
    try {
      arrays.push_back(ks::tools::readNpyFile(file));
    } catch (const ks::tools::NpyError& e) {
      throw UsageError("input '" + name + "': " + e.what());
    }
  }

  Ort::SessionOptions sessionOptions;
  sessionOptions.SetIntraOpNumThreads(options.threads);
  sessionOptions.SetInterOpNumThreads(1);
  Ort::Session session(env, options.netPath.c_str(), sessionOptions);

  static const Ort::MemoryInfo kMemory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> fed;
  std::vector<const char*> inputNames;
  for (size_t i = 0; i < arrays.size(); ++i) {
    ks::tools::NpyArray& array = arrays[i];
    // An empty tensor still needs an address.
    static unsigned char noBytes[8];
    void* data = array.data.empty() ? noBytes : array.data.data();
    fed.push_back(Ort::Value::CreateTensor(kMemory, data, array.data.size(), array.shape.data(), array.shape.size(),
                                           toOrtType(array.dataType)));
    inputNames.push_back(options.inputs[i].first.c_str());
  }
  Ort::AllocatorWithDefaultOptions allocator;
  std::vector<Ort::AllocatedStringPtr> outputNameHolders;
  std::vector<const char*> outputNames;
  for (size_t i = 0; i < session.GetOutputCount(); ++i) {
    outputNameHolders.push_back(session.GetOutputNameAllocated(i, allocator));
    outputNames.push_back(outputNameHolders.back().get());
  }

  std::vector<Ort::Value> results =
      session.Run(Ort::RunOptions(), inputNames.data(), fed.data(), fed.size(), outputNames.data(), outputNames.size());

  std::filesystem::create_directories(options.outputDir);
  for (size_t i = 0; i < results.size(); ++i) {
    const std::string name = "output_" + std::to_string(i);
    if (!results[i].IsTensor()) throw UsageError(name + " is not a tensor, which an .npy file cannot hold");
    const auto info = results[i].GetTensorTypeAndShapeInfo();
    const std::optional<ks::TensorDataType> type = fromOrtType(info.GetElementType());
    if (!type) throw UsageError(name + " has an element type the .npy writer here does not hold");
    const size_t byteSize = info.GetElementCount() * ks::elementSize(*type);
    static const unsigned char kNoBytes[1] = {};
    const auto* bytes = byteSize == 0 ? kNoBytes : static_cast<const unsigned char*>(results[i].GetTensorRawData());
    try {
      ks::tools::writeNpyFile((std::filesystem::path(options.outputDir) / (name + ".npy")).string(), *type,
                              info.GetShape(), bytes, byteSize);
    } catch (const ks::tools::NpyError& e) {
      throw UsageError(name + ": " + e.what());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("%s\n", Ort::GetVersionString().c_str());
    return 0;
  }
  try {
    const Options options = parseOptions(argc, argv);
    // No telemetry: Microsoft's builds would write a device id and events under $HOME for every case.
    ::setenv("ORT_DISABLE_TELEMETRY", "1", 1);
    ::setenv("ORT_TELEMETRY_DISABLED", "1", 1);
    Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "ort_case_runner");
    run(options, env);
    return 0;
  } catch (const Ort::Exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return kExitEngine;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "ort_case_runner: %s\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ort_case_runner: %s\n", e.what());
    return kExitUsage;
  }
}
