#pragma once
// A small HTTP/1.1 server on 127.0.0.1 that serves one body at any path,
// one request per connection (each answered on its own thread, since a
// client that seeks opens the next connection before it drops the last).
//
// With ranges it honours "Range: bytes=A-" and "bytes=A-B" (206 with
// Content-Range, "Accept-Ranges: bytes"); without, every answer is the whole
// body with 200. cutAfter >= 0 makes every answer announce its full length
// but stop after that many bytes of body and close the connection.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_listener.h"

namespace kivora::testing {

class HttpFileServer {
public:
  struct Options {
    bool ranges = true;
    long long cutAfter = -1;
  };

  HttpFileServer(std::string body, Options options) : FBody(std::move(body)), FOptions(options) {
    if (FListener.Port()) FThread = std::thread([this] { Run(); });
  }
  ~HttpFileServer() {
    FQuit = true;
    if (FThread.joinable()) FThread.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> g(FLock);
      for (const int c : FOpen) shutdown(c, SHUT_RDWR);
      workers.swap(FWorkers);
    }
    for (std::thread& t : workers) t.join();
  }
  HttpFileServer(const HttpFileServer&) = delete;
  HttpFileServer& operator=(const HttpFileServer&) = delete;

  // The body's URL; empty when the listener could not be set up.
  std::string Url(const std::string& name) const {
    return FListener.Port() ? "http://127.0.0.1:" + std::to_string(FListener.Port()) + "/" + name : "";
  }
  // Requests answered so far, and how many of them asked for a range that
  // does not start at 0.
  int Requests() const { return FRequests; }
  int RangeRequests() const { return FRangeRequests; }

private:
  void Run() {
    while (!FQuit) {
      pollfd p{FListener.Fd(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int c = FListener.Accept();
      if (c < 0) continue;
      std::lock_guard<std::mutex> g(FLock);
      FOpen.push_back(c);
      FWorkers.emplace_back([this, c] { Serve(c); });
    }
  }

  static bool SendAll(int c, const char* data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
      const ssize_t n = send(c, data + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  void Serve(int c) {
    std::string request;
    char buf[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    if (request.find("\r\n\r\n") != std::string::npos) Answer(c, request);
    std::lock_guard<std::mutex> g(FLock);
    FOpen.erase(std::remove(FOpen.begin(), FOpen.end(), c), FOpen.end());
    shutdown(c, SHUT_RDWR);
    close(c);
  }

  void Answer(int c, const std::string& request) {
    ++FRequests;
    const long long size = static_cast<long long>(FBody.size());
    long long first = 0, last = size - 1;
    bool partial = false;
    std::string lower = request;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
    const size_t r = lower.find("\r\nrange: bytes=");
    if (FOptions.ranges && r != std::string::npos) {
      const char* p = request.c_str() + r + 15;
      char* end = nullptr;
      first = std::strtoll(p, &end, 10);
      if (end && *end == '-' && end[1] >= '0' && end[1] <= '9') last = std::min(size - 1, std::strtoll(end + 1, nullptr, 10));
      if (first > 0) ++FRangeRequests;
      if (first >= size && size > 0) {
        const std::string head = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                                 std::to_string(size) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        SendAll(c, head.data(), head.size());
        return;
      }
      partial = true;
    }
    const long long length = last - first + 1;
    std::string head = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    head += "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) + "\r\n";
    if (FOptions.ranges) head += "Accept-Ranges: bytes\r\n";
    if (partial)
      head += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
              std::to_string(size) + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (!SendAll(c, head.data(), head.size())) return;
    long long todo = length;
    if (FOptions.cutAfter >= 0) todo = std::min(todo, FOptions.cutAfter);
    long long off = first;
    while (todo > 0 && !FQuit) {
      const long long n = std::min<long long>(todo, 16384);
      if (!SendAll(c, FBody.data() + off, static_cast<size_t>(n))) return;
      off += n;
      todo -= n;
    }
  }

  std::string FBody;
  Options FOptions;
  LoopbackListener FListener;
  std::atomic<bool> FQuit{false};
  std::atomic<int> FRequests{0};
  std::atomic<int> FRangeRequests{0};
  std::mutex FLock;
  std::vector<int> FOpen;
  std::vector<std::thread> FWorkers;
  std::thread FThread;
};

}  // namespace kivora::testing
