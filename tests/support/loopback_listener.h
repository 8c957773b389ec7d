#pragma once
// A TCP socket listening on 127.0.0.1 at a free port, for the local servers
// the tests play, convert and preview from.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kivora::testing {

class LoopbackListener {
public:
  // receiveBuffer > 0 sets the receive buffer the accepted connections
  // inherit (a small one makes a writer to them stall early).
  explicit LoopbackListener(int receiveBuffer = 0) {
    FListen = socket(AF_INET, SOCK_STREAM, 0);
    if (FListen < 0) return;
    int one = 1;
    setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0) setsockopt(FListen, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(FListen, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(FListen, 4) == 0 &&
        getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      FPort = ntohs(a.sin_port);
  }
  // The thread that accepts must have been joined by now.
  ~LoopbackListener() {
    if (FListen >= 0) close(FListen);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  // Makes a pending or later Accept fail. The socket stays open (and its
  // number taken) until destruction, so an accepting thread never races a
  // reused descriptor.
  void Stop() { shutdown(FListen, SHUT_RDWR); }
  int Accept() { return accept(FListen, nullptr, nullptr); }
  // The listening socket, for poll.
  int Fd() const { return FListen; }
  // 0 when the listener could not be set up.
  int Port() const { return FPort; }

private:
  int FListen = -1;
  int FPort = 0;
};

}  // namespace kivora::testing
