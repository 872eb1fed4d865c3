// ks_inference_server: runs the reference inference server until SIGINT or SIGTERM.

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "ks_command_line.h"

#include "ks_client_address.h"
#include "ks_inference_server.h"

namespace {

const char kUsage[] =
    "Usage: ks_inference_server [options]\n"
    "  --host HOST              address to listen on (default 127.0.0.1)\n"
    "  --port PORT              port to listen on; 0 picks a free one (default 8080)\n"
    "  --node-name NAME         prefix of the session ids this server issues, for a proxy's routing\n"
    "                           (letters, digits, '_'; default none)\n"
    "  --workers N              requests but inferences handled at once (sessions, loads), and the\n"
    "                           inferences one network runs at once (default: twice the processors)\n"
    "  --network-queue N        inferences one network holds waiting for its engine process; past\n"
    "                           them a request gets 503 (default 1024)\n"
    "  --session-queue N        of them, the inferences of one session (default 64)\n"
    "  --threads N              threads one inference may use (default: processors)\n"
    "  --max-sessions N         most sessions open at once (default 64)\n"
    "  --client-share-percent N most of those one client address may open, in percent, at least one;\n"
    "                           100: no bound (default 25)\n"
    "  --trusted-proxies LIST   proxies (IP addresses, separated by commas) whose X-Forwarded-For names\n"
    "                           the client, for the share above (default none: the peer is the client)\n"
    "  --idle-timeout-s N       close sessions unused for N seconds; 0 never does (default 600)\n"
    "  --max-body-mb N          largest request body in MiB, whatever its framing (default 256)\n"
    "  --max-connections N      most client connections open at once (default 4096)\n"
    "  --header-timeout-s N     time a client has to send a request's head (default 10)\n"
    "  --request-timeout-s N    time a client has to send a whole request (default 120)\n"
    "  --inference-timeout-s N  longest an inference may run; 0: no limit (default 300)\n"
    "  --stop-timeout-s N       on SIGTERM, time given to requests being handled (default 30)\n"
    "  --network-memory-mb N    most MiB one loaded network may hold in the engine (default 2048)\n"
    "  --networks-memory-mb N   most MiB all loaded networks may hold together; 0: no limit\n"
    "                           (default: half the machine's memory)\n"
    "  --inference-memory-mb N  most MiB one inference may allocate in the engine (default 2048)\n"
    "  --memory-budget-mb N     most MiB clients may make the server hold: loaded networks (half of it at\n"
    "                           most) and the tensors of running inferences (the rest); a request that\n"
    "                           does not fit waits 2 s, then gets 503; 0: no limit (default: the\n"
    "                           machine's memory)\n"
    "  --cache-dir DIR          keep networks uploaded with a key in DIR (default: no cache)\n"
    "  --cache-max-mb N         most MiB of networks the cache keeps; least recently used go first\n"
    "                           (default 4096)\n"
    "  --session-store ADDRESS  share sessions with other nodes through Redis at redis://HOST[:PORT]\n"
    "                           or unix:PATH, so any node serves any session (needs --network-store)\n"
    "  --network-store DIR      folder the nodes share for their sessions' networks\n"
    "  --store-timeout-ms N     longest one command to the session store may take, connecting\n"
    "                           included; a store that answers slower counts as down (default 250)\n"
    "  --network-store-max-mb N most MiB the network store keeps; networks no session names go first,\n"
    "                           least recently used; 0: no bound (default 4096)\n"
    "  --quarantine-s N         how long a network that ended 3 engine processes in a row is refused,\n"
    "                           and a session whose inputs did 3 times (default 300)\n"
    "  --worker-program PATH    the engine's worker program (default: ks_inference_worker beside this\n"
    "                           program, else in ../lib/ks-inference-server/)\n"
    "  --help                   print this and exit\n"
    "  --version                print the version and exit\n"
    "Prints \"listening on http://HOST:PORT\" on stdout once the port is bound, and one line per request\n"
    "on stderr.\n";

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

struct Arguments {
  ks::server::InferenceServerOptions options;
  bool help = false;
  bool version = false;
};

Arguments parseArguments(int argc, char** argv) {
  Arguments arguments;
  ks::server::InferenceServerOptions& options = arguments.options;
  options.http.port = 8080;
  // Sessions may load distinct networks until half the machine's memory holds networks; the rest is for
  // the inferences and the requests.
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) {
    options.service.engine.totalNetworkMemoryBytes = static_cast<size_t>(pages) / 2 * static_cast<size_t>(pageSize);
    options.service.engine.memoryBudgetBytes = static_cast<size_t>(pages) * static_cast<size_t>(pageSize);
  }
  std::vector<ks::CommandLineOption> known = {{"help", false, 'h'}, {"version", false}};
  for (const char* name : {"host",
                           "port",
                           "node-name",
                           "workers",
                           "network-queue",
                           "session-queue",
                           "threads",
                           "max-sessions",
                           "client-share-percent",
                           "trusted-proxies",
                           "idle-timeout-s",
                           "max-body-mb",
                           "max-connections",
                           "header-timeout-s",
                           "request-timeout-s",
                           "inference-timeout-s",
                           "stop-timeout-s",
                           "network-memory-mb",
                           "networks-memory-mb",
                           "inference-memory-mb",
                           "memory-budget-mb",
                           "cache-dir",
                           "cache-max-mb",
                           "session-store",
                           "network-store",
                           "store-timeout-ms",
                           "network-store-max-mb",
                           "quarantine-s",
                           "worker-program"}) {
    known.push_back({name, true});
  }
  const auto take = [&](std::string_view name, const char* text) {
    if (name == "help" || name == "version") {
      (name == "help" ? arguments.help : arguments.version) = true;
      return false;
    }
    const std::string option = "--" + std::string(name);
    const std::string value = text;
    auto number = [&](long long minimum, long long maximum) { return numberOption(option, value, minimum, maximum); };
    auto seconds = [&](long long minimum) { return std::chrono::seconds(number(minimum, 365LL * 24 * 3600)); };
    auto mebibytes = [&](long long minimum) { return static_cast<size_t>(number(minimum, 1 << 24)) << 20; };
    if (name == "host") {
      options.http.host = value;
    } else if (name == "port") {
      options.http.port = static_cast<int>(number(0, 65535));
    } else if (name == "node-name") {
      if (value.empty() || value.size() > 32 ||
          value.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
              std::string::npos) {
        throw std::invalid_argument("--node-name takes 1 to 32 letters, digits or '_', not '" + value + "'");
      }
      options.service.nodeName = value;
    } else if (name == "workers") {
      options.http.workers = static_cast<unsigned>(number(1, 1024));
    } else if (name == "network-queue") {
      options.networkQueue = static_cast<size_t>(number(1, 1000000));
    } else if (name == "session-queue") {
      options.sessionQueue = static_cast<size_t>(number(1, 1000000));
    } else if (name == "threads") {
      options.service.engine.threads = static_cast<unsigned>(number(1, 1024));
    } else if (name == "max-sessions") {
      options.service.maxSessions = static_cast<size_t>(number(1, 1000000));
    } else if (name == "client-share-percent") {
      options.service.clientSharePercent = static_cast<unsigned>(number(1, 100));
    } else if (name == "trusted-proxies") {
      ks::server::ClientAddresses check(value);  // said now rather than at start
      options.trustedProxies = value;
    } else if (name == "idle-timeout-s") {
      options.service.idleTimeout = seconds(0);
    } else if (name == "max-body-mb") {
      options.http.limits.maxBodyBytes = mebibytes(1);
    } else if (name == "max-connections") {
      options.http.maxConnections = static_cast<size_t>(number(1, 1000000));
    } else if (name == "header-timeout-s") {
      options.http.headerDeadline = seconds(1);
    } else if (name == "request-timeout-s") {
      options.http.requestDeadline = seconds(1);
    } else if (name == "inference-timeout-s") {
      options.inferenceTimeout = seconds(0);
    } else if (name == "stop-timeout-s") {
      options.http.stopGrace = seconds(0);
    } else if (name == "network-memory-mb") {
      options.service.engine.networkMemoryBytes = mebibytes(1);
    } else if (name == "networks-memory-mb") {
      options.service.engine.totalNetworkMemoryBytes = mebibytes(0);
    } else if (name == "inference-memory-mb") {
      options.service.engine.inferenceMemoryBytes = mebibytes(1);
    } else if (name == "memory-budget-mb") {
      options.service.engine.memoryBudgetBytes = mebibytes(0);
    } else if (name == "cache-dir") {
      options.service.cacheDir = value;
    } else if (name == "cache-max-mb") {
      options.service.cacheMaxBytes = mebibytes(1);
    } else if (name == "session-store") {
      ks::server::RedisAddress::parse(value);  // said now rather than at start
      options.service.sessionStore = value;
    } else if (name == "network-store") {
      options.service.networkStore = value;
    } else if (name == "store-timeout-ms") {
      options.service.storeTimeout = std::chrono::milliseconds(number(1, 60000));
    } else if (name == "network-store-max-mb") {
      options.service.networkStoreMaxBytes = mebibytes(0);
    } else if (name == "quarantine-s") {
      options.service.engine.quarantineFor = seconds(0);
    } else if (name == "worker-program") {
      options.service.engine.workerProgram = value;
    }
    return true;
  };
  ks::readCommandLine<std::invalid_argument>(argc, argv, known, take);
  if (arguments.help || arguments.version) return arguments;
  if (options.service.sessionStore.empty() != options.service.networkStore.empty()) {
    throw std::invalid_argument("--session-store and --network-store go together");
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  // Request and reply bodies of megabytes come and go with every inference: the allocator keeps the
  // memory it was given instead of handing it back and faulting it in again for the next one. Blocks of
  // 32 MiB and more still come from and go back to the kernel.
  ::mallopt(M_TRIM_THRESHOLD, INT_MAX);
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  Arguments arguments;
  try {
    arguments = parseArguments(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "ks_inference_server: " << e.what() << "\n" << kUsage;
    return 2;
  }
  if (arguments.help) {
    std::cout << kUsage;
    return 0;
  }
  if (arguments.version) {
    std::cout << "ks_inference_server " << KS_VERSION << "\n";
    return 0;
  }

  // Blocked before any thread starts, so every thread inherits the mask and only sigwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client that leaves while its reply is written must not end the server.
  signal(SIGPIPE, SIG_IGN);

  ks::server::InferenceServerOptions& options = arguments.options;
  options.log = &std::cerr;
  const std::string host = options.http.host;
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
