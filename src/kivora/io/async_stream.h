#pragma once
// A growing in-memory stream for live data: one thread appends while an
// input reads it through a "stream:" URL, and a read that finds nothing new
// waits for more instead of ending the input.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "kivora/platform/stream.h"

namespace kivora {

// Every method may be called from any thread. Counts and positions are bytes.
class TAVAsyncStream : public TStream {
public:
  // FFmpeg's codes, as Read returns them: the end of the data, and "nothing
  // yet, try again" (AVERROR_EOF and AVERROR(EAGAIN)).
  static constexpr int64_t kEndOfData = -static_cast<int64_t>('E' | ('O' << 8) | ('F' << 16) | (' ' << 24));
  static constexpr int64_t kTryAgain = -11;

  TAVAsyncStream() = default;
  // Wakes a reader that waits, waits for it to return, then frees the data.
  ~TAVAsyncStream() override;

  // Up to count unread bytes (fewer when fewer are there). With nothing
  // unread: kEndOfData once SetEOF(true) was called, otherwise it waits up
  // to WaitTimeout for a writer and returns what came, or kTryAgain.
  int64_t Read(void* buffer, int64_t count) override;
  // Appends at the end; the read position does not move. Returns 0 once the
  // stream is being destroyed.
  int64_t Write(const void* buffer, int64_t count) override;
  // Positions between the first byte kept (0 unless DiscardRead dropped
  // some) and the current size; -1 for anything else.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // SetSize fills a larger size with zeros; a size below the first byte kept
  // raises Exception.
  int64_t Size() override;
  void SetSize(int64_t newSize) override;

  // The read that "stream:" inputs use: waits, with the lock released,
  // until there is data (returns the count), the data has ended or the
  // stream is being destroyed (kEndOfData), or interrupted() returns true
  // (AVERROR_EXIT). interrupted is asked about every 20 ms.
  int64_t WaitRead(void* buffer, int64_t count, const std::function<bool()>& interrupted);

  // The writer says no more data will come (true) or that more will after
  // all (false). Reads end only after every byte written has been read.
  void SetEOF(bool value);
  bool GetEOF();
  // How long a direct Read waits for data, in milliseconds (100 at first;
  // 0 or less: no wait).
  void SetWaitTimeout(int milliseconds);
  int WaitTimeout();

  // Bytes written but not yet read.
  int64_t Available();
  // Frees the bytes before the read position, but the last keep of them;
  // seeks to positions before what is kept fail afterwards. For long live
  // streams that are only read forward (a pipe).
  void DiscardRead(int64_t keep = 0);
  // A copy of the bytes kept, from the first one kept to the end.
  std::vector<uint8_t> CopyBytes();

private:
  int64_t SizeLocked() const { return FBase + static_cast<int64_t>(FData.size()); }
  int64_t TakeLocked(void* buffer, int64_t count);

  std::mutex FMutex;
  std::condition_variable FChanged;  // data written, the end set, or closing
  std::vector<uint8_t> FData;        // bytes from FBase on
  int64_t FBase = 0;                 // bytes dropped by DiscardRead
  int64_t FPosition = 0;
  bool FEOF = false;
  bool FClosing = false;
  int FWaitTimeout = 100;
};

}  // namespace kivora
