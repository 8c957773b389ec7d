#include "pipes.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "kivora/io/url.h"

namespace kivora::app {

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr int64_t kKeepBehind = 64 << 20;

}  // namespace

StdinSource::~StdinSource() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
}

std::string StdinSource::Url() {
  if (FUrl.empty()) {
    FUrl = StreamUrl(FStream);
    FThread = std::thread([this] { Run(); });
  }
  return FUrl;
}

void StdinSource::Run() {
  std::vector<uint8_t> buf(kChunk);
  while (!FStop) {
    // Waits in slices, so that a command that ends before its input does
    // is not held by a read that never returns.
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    if (ready < 0) break;
    const ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    FStream.Write(buf.data(), n);
    FStream.DiscardRead(kKeepBehind);
  }
  FStream.SetEOF(true);
}

StdoutSink::~StdoutSink() { Finish(); }

std::string StdoutSink::Url() {
  if (FUrl.empty()) {
    // A reader that goes away must end the write with an error, not the
    // process with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    FUrl = StreamUrl(FStream);
    FThread = std::thread([this] { Run(); });
  }
  return FUrl;
}

void StdoutSink::Run() {
  std::vector<uint8_t> buf(kChunk);
  for (;;) {
    const int64_t n = FStream.Read(buf.data(), static_cast<int64_t>(buf.size()));
    if (n == TAVAsyncStream::kTryAgain) continue;
    if (n <= 0) break;
    FStream.DiscardRead();
    if (FFailed) continue;  // keep draining so the writer is never held
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
      const ssize_t w = ::write(STDOUT_FILENO, buf.data() + done, static_cast<size_t>(n) - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        FFailed = true;
        break;
      }
      done += static_cast<size_t>(w);
      FWritten += w;
    }
  }
}

bool StdoutSink::Finish() {
  if (FThread.joinable()) {
    FStream.SetEOF(true);
    FThread.join();
  }
  return !FFailed;
}

bool ResolveStdin(std::string& name, StdinSource& source) {
  if (name != "-") return false;
  name = source.Url();
  return true;
}

bool ResolveStdout(std::string& name, StdoutSink& sink) {
  if (name != "-") return false;
  name = sink.Url();
  return true;
}

}  // namespace kivora::app
