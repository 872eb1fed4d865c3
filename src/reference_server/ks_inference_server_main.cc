// ks_inference_server: runs the reference inference server until SIGINT or SIGTERM.

#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "ks_inference_server.h"
#include "ks_onnx_runtime.h"

namespace {

const char kUsage[] =
    "usage: ks_inference_server [options]\n"
    "  --host HOST            address to listen on (default 127.0.0.1)\n"
    "  --port PORT            port to listen on; 0 picks a free one (default 8080)\n"
    "  --max-sessions N       most sessions open at once (default 64)\n"
    "  --max-body-mb N        largest request body in MiB (default 256)\n"
    "  --idle-timeout-s N     close sessions unused for N seconds; 0 never does (default 600)\n"
    "  --cache-dir DIR        keep networks uploaded with a key in DIR (default: no cache)\n"
    "  --cache-max-mb N       most MiB of networks the cache keeps; least recently used go first (default 4096)\n"
    "  --threads N            threads one inference may use, shared by all networks (default: processors)\n"
    "  --network-memory-mb N  most MiB the engine may hold for one loaded network (default 2048)\n"
    "  --inference-memory-mb N  most MiB one inference may allocate in the engine (default 2048)\n"
    "  --help                 print this and exit\n"
    "Prints \"listening on http://HOST:PORT\" on stdout once the port is bound.\n";

// A whole decimal number in [minimum, maximum]; throws std::invalid_argument naming the option otherwise.
long long numberOption(const std::string& option, const std::string& text, long long minimum, long long maximum) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < minimum || value > maximum) {
    throw std::invalid_argument(option + " needs a whole number from " + std::to_string(minimum) + " to " +
                                std::to_string(maximum) + ", not '" + text + "'");
  }
  return value;
}

ks::server::InferenceServerOptions parseArguments(int argc, char** argv, bool& help, unsigned& threads) {
  ks::server::InferenceServerOptions options;
  options.port = 8080;
  help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      help = true;
      return options;
    }
    if (i + 1 >= argc) throw std::invalid_argument("unknown option or missing value: " + option);
    const std::string value = argv[++i];
    if (option == "--host") {
      options.host = value;
    } else if (option == "--port") {
      options.port = static_cast<int>(numberOption(option, value, 0, 65535));
    } else if (option == "--max-sessions") {
      options.service.maxSessions = static_cast<size_t>(numberOption(option, value, 1, 1000000));
    } else if (option == "--max-body-mb") {
      options.maxBodyBytes = static_cast<size_t>(numberOption(option, value, 1, 1 << 20)) << 20;
    } else if (option == "--idle-timeout-s") {
      options.service.idleTimeout = std::chrono::seconds(numberOption(option, value, 0, 365LL * 24 * 3600));
    } else if (option == "--cache-dir") {
      options.service.cacheDir = value;
    } else if (option == "--cache-max-mb") {
      options.service.cacheMaxBytes = static_cast<uint64_t>(numberOption(option, value, 1, 1 << 24)) << 20;
    } else if (option == "--threads") {
      threads = static_cast<unsigned>(numberOption(option, value, 1, 1024));
    } else if (option == "--network-memory-mb") {
      options.service.networkMemoryBytes = static_cast<size_t>(numberOption(option, value, 1, 1 << 24)) << 20;
    } else if (option == "--inference-memory-mb") {
      options.service.inferenceMemoryBytes = static_cast<size_t>(numberOption(option, value, 1, 1 << 24)) << 20;
    } else {
      throw std::invalid_argument("unknown option: " + option);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  bool help = false;
  unsigned threads = 0;
  ks::server::InferenceServerOptions options;
  try {
    options = parseArguments(argc, argv, help, threads);
  } catch (const std::exception& e) {
    std::cerr << "ks_inference_server: " << e.what() << "\n" << kUsage;
    return 2;
  }
  if (help) {
    std::cout << kUsage;
    return 0;
  }

  // Blocked before any thread starts, so every thread inherits the mask and only sigwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  options.log = &std::cerr;
  ks::server::OnnxRuntime::configure(threads);
  const std::string host = options.host;
  try {
    ks::server::InferenceServer server(std::move(options));
    const int port = server.start();
    std::cout << "listening on http://" << host << ":" << port << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
    std::cerr << "ks_inference_server: signal " << received << ", stopping\n";
    server.stop();
  } catch (const std::exception& e) {
    std::cerr << "ks_inference_server: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
