// The command line of ks_remote_run: what to run where, read from argv without touching the network.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ks {
namespace tools {

// A command line that cannot be used; what() is one sentence for the user.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct InputOption {
  std::string name;
  std::string file;  // .npy or raw bytes; empty when the input is filled with random values
};

struct RemoteRunOptions {
  bool help = false;
  bool version = false;
  std::string host;
  int port = 0;
  std::string netPath;
  std::vector<InputOption> inputs;   // in the order given: the network's inputs are named in this order
  std::vector<std::string> outputs;  // empty: all of the network's outputs
  bool randomInputs = false;
  uint32_t seed = 1;
  bool haveRepetitions = false;
  uint32_t repetitions = 0;
  int backend = 0;
  int deviceType = 0;
  int deviceIndex = 0;
  std::string key;
  std::string cacheDir;
  std::string saveOutputsDir;
  bool quiet = false;
  double soakSeconds = 0;  // > 0: forward again and again in the same session for this long
};

// Parses argv[1..argc). Options take their value as the next argument or after '='. Throws UsageError
// for an unknown option, a missing or malformed value, a missing --server or --net, no input
// at all, a repeated name, or --input-name without --random-inputs. With --help nothing else is checked.
RemoteRunOptions parseRemoteRunOptions(int argc, const char* const* argv);

// The --help text, exit codes included.
const char* remoteRunUsage();

}  // namespace tools
}  // namespace ks
