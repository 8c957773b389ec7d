#pragma once
// A TCP listener on 127.0.0.1 that takes connections and never answers: an
// input that hangs every reader until it gives up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace kivora::testing {

class SilentServer {
public:
  SilentServer() {
    FFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(FFd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(FFd, 4) == 0 &&
        getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      FPort = ntohs(addr.sin_port);
  }
  ~SilentServer() { close(FFd); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  // An HTTP URL on the listener; empty when it could not be set up.
  std::string Url() const { return FPort ? "http://127.0.0.1:" + std::to_string(FPort) + "/clip.mp4" : ""; }

private:
  int FFd = -1;
  int FPort = 0;
};

}  // namespace kivora::testing
