#pragma once
// Local servers for conversions over the network.
//
// CutHttpServer: a one-file HTTP server on 127.0.0.1 that serves only the first part of its
// file. With the whole length announced (Content-Length) and the connection
// closed after the part, FFmpeg's reader sees the stream end prematurely and
// reports an input/output error. Otherwise the part is sent as one chunk
// followed by the last (empty) chunk: a clean end of input. With holdOpen,
// the last chunk never comes and the connection stays open and silent until
// the server goes: a live source that stopped sending.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_listener.h"

namespace kivora::testing {

class CutHttpServer {
public:
  CutHttpServer(std::string body, size_t served, bool announceLength, bool holdOpen = false)
      : FBody(std::move(body)), FServed(std::min(served, FBody.size())), FAnnounce(announceLength && !holdOpen),
        FHold(holdOpen) {
    if (FListener.Port()) FThread = std::thread([this] { Run(); });
  }
  ~CutHttpServer() {
    FQuit = true;
    if (FThread.joinable()) FThread.join();
    for (const int c : FHeld) close(c);
  }
  CutHttpServer(const CutHttpServer&) = delete;
  CutHttpServer& operator=(const CutHttpServer&) = delete;

  // The file's URL; empty when the listener could not be set up.
  std::string Url(const std::string& name) const {
    return FListener.Port() ? "http://127.0.0.1:" + std::to_string(FListener.Port()) + "/" + name : "";
  }

private:
  void Run() {
    while (!FQuit) {
      pollfd p{FListener.Fd(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int c = FListener.Accept();
      if (c < 0) continue;
      std::string request;
      char buf[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
      std::string reply;
      if (FAnnounce) {
        reply = head + "Content-Length: " + std::to_string(FBody.size()) + "\r\n\r\n" + FBody.substr(0, FServed);
      } else {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", FServed);
        reply = head + "Transfer-Encoding: chunked\r\n\r\n" + size + FBody.substr(0, FServed) + "\r\n";
        if (!FHold) reply += "0\r\n\r\n";
      }
      size_t sent = 0;
      while (sent < reply.size()) {
        const ssize_t n = send(c, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      if (FHold) {
        FHeld.push_back(c);
        continue;
      }
      shutdown(c, SHUT_WR);
      close(c);
    }
  }

  std::string FBody;
  size_t FServed;
  bool FAnnounce;
  bool FHold;
  std::vector<int> FHeld;  // silent connections, closed when the server goes
  LoopbackListener FListener;
  std::atomic<bool> FQuit{false};
  std::thread FThread;
};

// A TCP server on 127.0.0.1 that accepts connections and never reads from
// them, with a small receive buffer: a writer to it stalls once a few
// kilobytes are in flight, as with a peer that has stopped taking data.
// Release() closes the connections, which ends any write still waiting.
class StalledTcpServer {
public:
  StalledTcpServer() : FListener(4096) {
    if (FListener.Port()) FThread = std::thread([this] { Run(); });
  }
  ~StalledTcpServer() {
    FQuit = true;
    if (FThread.joinable()) FThread.join();
    Release();
  }
  StalledTcpServer(const StalledTcpServer&) = delete;
  StalledTcpServer& operator=(const StalledTcpServer&) = delete;

  // "tcp://127.0.0.1:PORT", with a small send buffer on the writer's side
  // too; empty when the listener could not be set up.
  std::string Url() const {
    return FListener.Port() ? "tcp://127.0.0.1:" + std::to_string(FListener.Port()) + "?send_buffer_size=4096" : "";
  }
  int Accepted() const { return FAccepted; }
  void Release() {
    std::lock_guard<std::mutex> lock(FLock);
    for (const int c : FConnections) close(c);
    FConnections.clear();
  }

private:
  void Run() {
    while (!FQuit) {
      pollfd p{FListener.Fd(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int c = FListener.Accept();
      if (c < 0) continue;
      std::lock_guard<std::mutex> lock(FLock);
      FConnections.push_back(c);
      ++FAccepted;
    }
  }

  LoopbackListener FListener;
  std::atomic<bool> FQuit{false};
  std::atomic<int> FAccepted{0};
  std::mutex FLock;
  std::vector<int> FConnections;
  std::thread FThread;
};

}  // namespace kivora::testing
