// Uses the installed headers and library: a backend against a port where nothing listens must fail with
// the framework's exception, status 12, across the library boundary.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include <ks_core/ks_core.h>
#include <ks_netclient/ks_remote_net_backend.h>

static int closedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

int main() {
  try {
    std::unique_ptr<ks::INetBackend> backend =
        std::make_unique<ks::RemoteNetBackend>("127.0.0.1", closedPort(), ks::BackendId::kCpu, ks::DeviceType::kCpu, 0);
    std::puts("unexpected: constructed without a server");
    return 1;
  } catch (const ks::Exception& e) {
    const bool expected = e.status() == ks::Status::kRuntimeError &&
                          std::strcmp(e.what(), "http request error during operation: create session") == 0;
    std::printf("%s: status %d, \"%s\"\n", expected ? "ok" : "unexpected", static_cast<int>(e.status()), e.what());
    return expected ? 0 : 1;
  }
}
