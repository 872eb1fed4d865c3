// The command line of ks_remote_run: what to run where, read from argv without touching the network.
#include "remote_run_options.h"

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string_view>

#include "ks_command_line.h"

namespace ks {
namespace tools {
namespace {

long long parseInteger(const std::string& option, const std::string& text, long long low, long long high) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < low || value > high) {
    throw UsageError(option + " takes an integer in " + std::to_string(low) + ".." + std::to_string(high) + ", not '" +
                     text + "'");
  }
  return value;
}

void parseServer(const std::string& text, RemoteRunOptions& options) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError("--server takes HOST:PORT, not '" + text + "'");
  options.host = text.substr(0, colon);
  options.port = static_cast<int>(parseInteger("the port of --server", text.substr(colon + 1), 1, 65535));
}

}  // namespace

RemoteRunOptions parseRemoteRunOptions(int argc, const char* const* argv) {
  RemoteRunOptions options;
  bool haveServer = false;
  std::vector<std::string> randomNames;
  const auto take = [&](std::string_view name, const char* text) {
    const std::string option = "--" + std::string(name);
    const std::string value = text != nullptr ? text : "";
    if (name == "help") {
      options.help = true;
      return false;
    } else if (name == "version") {
      options.version = true;
      return false;
    } else if (name == "server") {
      parseServer(value, options);
      haveServer = true;
    } else if (name == "net") {
      options.netPath = value;
    } else if (name == "input") {
      const size_t split = value.find('=');
      if (split == std::string::npos || split == 0 || split + 1 == value.size()) {
        throw UsageError("--input takes NAME=FILE, not '" + value + "'");
      }
      options.inputs.push_back({value.substr(0, split), value.substr(split + 1)});
    } else if (name == "input-name") {
      randomNames.push_back(value);
      options.inputs.push_back({randomNames.back(), ""});
    } else if (name == "output") {
      options.outputs.push_back(value);
    } else if (name == "random-inputs") {
      options.randomInputs = true;
    } else if (name == "seed") {
      options.seed = static_cast<uint32_t>(parseInteger(option, value, 0, UINT32_MAX));
    } else if (name == "repetitions") {
      options.repetitions = static_cast<uint32_t>(parseInteger(option, value, 0, UINT32_MAX));
      options.haveRepetitions = true;
    } else if (name == "backend") {
      options.backend = static_cast<int>(parseInteger(option, value, INT32_MIN, INT32_MAX));
    } else if (name == "device-type") {
      options.deviceType = static_cast<int>(parseInteger(option, value, INT32_MIN, INT32_MAX));
    } else if (name == "device-index") {
      options.deviceIndex = static_cast<int>(parseInteger(option, value, INT32_MIN, INT32_MAX));
    } else if (name == "key") {
      options.key = value;
    } else if (name == "cache-dir") {
      options.cacheDir = value;
    } else if (name == "save-outputs") {
      options.saveOutputsDir = value;
      if (options.saveOutputsDir.empty()) throw UsageError("--save-outputs needs a folder");
    } else if (name == "soak") {
      options.soakSeconds = static_cast<double>(parseInteger(option, value, 1, 7LL * 24 * 3600));
    } else if (name == "quiet") {
      options.quiet = true;
    }
    return true;
  };
  readCommandLine<UsageError>(argc, const_cast<char* const*>(argv),
                              {{"help", false, 'h'},
                               {"version", false},
                               {"server", true},
                               {"net", true},
                               {"input", true},
                               {"input-name", true},
                               {"output", true},
                               {"random-inputs", false},
                               {"seed", true},
                               {"repetitions", true},
                               {"backend", true},
                               {"device-type", true},
                               {"device-index", true},
                               {"key", true},
                               {"cache-dir", true},
                               {"save-outputs", true},
                               {"soak", true},
                               {"quiet", false, 'q'}},
                              take);
  if (options.help || options.version) return options;

  if (!haveServer) throw UsageError("--server HOST:PORT is required");
  if (options.netPath.empty()) throw UsageError("--net FILE is required");
  if (!randomNames.empty() && !options.randomInputs) {
    throw UsageError("--input-name " + randomNames.front() + " has no file: add --random-inputs to fill it");
  }
  std::set<std::string> outputNames;
  for (const std::string& name : options.outputs) {
    if (!outputNames.insert(name).second) throw UsageError("output '" + name + "' is named twice");
  }
  std::set<std::string> inputNames;
  for (const InputOption& input : options.inputs) {
    if (!inputNames.insert(input.name).second) throw UsageError("input '" + input.name + "' is named twice");
  }
  return options;
}

const char* remoteRunUsage() {
  return R"(Usage: ks_remote_run --server HOST:PORT --net FILE [--output NAME]... [--input NAME=FILE | --input-name NAME --random-inputs]... [options]
Loads a network on a ks inference server, runs it once (or N times with --repetitions) and prints
the layouts of its tensors and a summary of every output.

  --server HOST:PORT      the inference server (required)
  --net FILE              network file to upload (required)
  --input NAME=FILE       feed input NAME from FILE: a .npy array of the input's dtype and rank (its
                          shape is sent as it is, so a dimension the network leaves open takes the
                          array's extent; the server checks the others), or any other file as raw
                          little-endian bytes of exactly the layout's byte size. Repeatable; the order
                          of --input and --input-name is the order the inputs are named to the server.
                          Every input of the network must be named; a network without inputs takes none
  --input-name NAME       an input with no file, filled by --random-inputs. Repeatable
  --random-inputs         fill inputs without a file with deterministic values: uniform in [-1, 1)
                          for floating types, small integers otherwise
  --seed N                seed of --random-inputs (default 1); input k uses N + k
  --output NAME           an output to fetch (repeatable, in the order printed); with none, every
                          output is fetched in the network's order, named output_0, output_1, ...
  --repetitions N         run N times and print the server's timing statistics
  --backend N             backend id sent with the load (default 0, CPU)
  --device-type N         device type sent with the load (default 0, CPU)
  --device-index N        device index sent with the load (default 0)
  --key TEXT              key under which the server may cache the network
  --cache-dir DIR         cache folder passed to the backend
  --save-outputs DIR      write DIR/<output>.npy and DIR/<output>.raw for every output ('/' and '\'
                          in a name become '_'); DIR is created when missing
  --soak SECONDS          after the first run, run again and again in the same session for SECONDS,
                          compare every reply with the first, go on after failures, and print how
                          many runs failed or differed (with each failure's message), and the slowest
  --quiet, -q             print nothing but errors
  --help, -h              print this and exit
  --version               print the version and exit

Exit codes:
  0        success
  1        a local file problem: an input cannot be read or does not match its layout, or an output
           cannot be saved
  2        bad command line
  3        --soak: a later run failed or its outputs differed from the first run's
  10 + N   the client library failed with ks status N, printed as
           "error: status N (NAME): message" (12, RUNTIME_ERROR, for a server that cannot be
           reached or refuses a request, gives 22)
)";
}

}  // namespace tools
}  // namespace ks
