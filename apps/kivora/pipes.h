#pragma once
// Standard input and output as "stream:" URLs, so that "-" works wherever a
// command takes a file: a thread copies the descriptor into (or out of) a
// TAVAsyncStream that the library reads (or writes) like any input.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "kivora/io/async_stream.h"

namespace kivora::app {

// Standard input: what the library reads of it is freed as it goes, but for
// the last 64 MiB, which a demuxer may seek back into.
class StdinSource {
public:
  StdinSource() = default;
  ~StdinSource();
  StdinSource(const StdinSource&) = delete;
  StdinSource& operator=(const StdinSource&) = delete;
  // Starts copying and returns the URL to open; the same URL on later calls.
  std::string Url();

private:
  void Run();
  TAVAsyncStream FStream;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::string FUrl;
};

// Standard output: what the library writes goes out as it comes.
class StdoutSink {
public:
  StdoutSink() = default;
  ~StdoutSink();
  StdoutSink(const StdoutSink&) = delete;
  StdoutSink& operator=(const StdoutSink&) = delete;
  std::string Url();
  // Waits until everything written has gone out; false if standard output
  // refused some of it (a closed pipe).
  bool Finish();
  int64_t BytesWritten() const { return FWritten.load(); }
  // Standard output refused a write: nothing more will reach it.
  bool Broken() const { return FFailed.load(); }

private:
  void Run();
  TAVAsyncStream FStream;
  std::thread FThread;
  std::atomic<int64_t> FWritten{0};
  std::atomic<bool> FFailed{false};
  std::string FUrl;
};

// Replaces "-" by the URL of source (or sink): true if it did.
bool ResolveStdin(std::string& name, StdinSource& source);
bool ResolveStdout(std::string& name, StdoutSink& sink);

}  // namespace kivora::app
