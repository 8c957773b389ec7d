#include "kivora/io/async_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

static_assert(TAVAsyncStream::kEndOfData == AVERROR_EOF);
static_assert(TAVAsyncStream::kTryAgain == AVERROR(EAGAIN));

TAVAsyncStream::~TAVAsyncStream() {
  {
    std::lock_guard<std::mutex> g(FMutex);
    FClosing = true;
  }
  FChanged.notify_all();
  EndLife();
}

int64_t TAVAsyncStream::TakeLocked(void* buffer, int64_t count) {
  const int64_t n = std::min(count, SizeLocked() - FPosition);
  std::memcpy(buffer, FData.data() + (FPosition - FBase), static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TAVAsyncStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  std::unique_lock<std::mutex> g(FMutex);
  auto ready = [this] { return FPosition < SizeLocked() || FEOF || FClosing; };
  if (!ready()) FChanged.wait_for(g, std::chrono::milliseconds(std::max(FWaitTimeout, 0)), ready);
  if (FPosition < SizeLocked()) return TakeLocked(buffer, count);
  if (FEOF || FClosing) return kEndOfData;
  return kTryAgain;
}

int64_t TAVAsyncStream::WaitRead(void* buffer, int64_t count, const std::function<bool()>& interrupted) {
  if (count <= 0) return 0;
  std::unique_lock<std::mutex> g(FMutex);
  auto ready = [this] { return FPosition < SizeLocked() || FEOF || FClosing; };
  for (;;) {
    if (FPosition < SizeLocked()) return TakeLocked(buffer, count);
    if (FEOF || FClosing) return kEndOfData;
    // The interrupt callback belongs to the reader's owner and may take its
    // locks: never call it with ours held.
    g.unlock();
    const bool stop = interrupted && interrupted();
    g.lock();
    if (stop) return AVERROR_EXIT;
    FChanged.wait_for(g, std::chrono::milliseconds(20), ready);
  }
}

int64_t TAVAsyncStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  {
    std::lock_guard<std::mutex> g(FMutex);
    if (FClosing) return 0;
    const auto* p = static_cast<const uint8_t*>(buffer);
    try {
      FData.insert(FData.end(), p, p + count);
    } catch (const std::bad_alloc&) {
      throw Exception("Out of memory while expanding memory stream");
    }
  }
  FChanged.notify_all();
  return count;
}

int64_t TAVAsyncStream::Seek(int64_t offset, TSeekOrigin origin) {
  std::lock_guard<std::mutex> g(FMutex);
  int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd: base = SizeLocked(); break;
    default: return -1;
  }
  if (offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) return -1;
  const int64_t target = base + offset;
  if (target < FBase || target > SizeLocked()) return -1;
  FPosition = target;
  return FPosition;
}

int64_t TAVAsyncStream::Size() {
  std::lock_guard<std::mutex> g(FMutex);
  return SizeLocked();
}

void TAVAsyncStream::SetSize(int64_t newSize) {
  {
    std::lock_guard<std::mutex> g(FMutex);
    if (newSize < FBase) throw Exception("Invalid stream size");
    try {
      FData.resize(static_cast<size_t>(newSize - FBase), 0);
    } catch (const std::exception&) {
      throw Exception("Out of memory while expanding memory stream");
    }
    FPosition = std::min(FPosition, newSize);
  }
  FChanged.notify_all();
}

void TAVAsyncStream::SetEOF(bool value) {
  {
    std::lock_guard<std::mutex> g(FMutex);
    FEOF = value;
  }
  FChanged.notify_all();
}

bool TAVAsyncStream::GetEOF() {
  std::lock_guard<std::mutex> g(FMutex);
  return FEOF;
}

void TAVAsyncStream::SetWaitTimeout(int milliseconds) {
  std::lock_guard<std::mutex> g(FMutex);
  FWaitTimeout = milliseconds;
}

int TAVAsyncStream::WaitTimeout() {
  std::lock_guard<std::mutex> g(FMutex);
  return FWaitTimeout;
}

int64_t TAVAsyncStream::Available() {
  std::lock_guard<std::mutex> g(FMutex);
  return SizeLocked() - FPosition;
}

void TAVAsyncStream::DiscardRead(int64_t keep) {
  std::lock_guard<std::mutex> g(FMutex);
  const int64_t drop = FPosition - FBase - std::max<int64_t>(keep, 0);
  if (drop <= 0) return;
  FData.erase(FData.begin(), FData.begin() + drop);
  FBase += drop;
  // Give memory back once most of the buffer is gone.
  if (FData.capacity() > 4 * FData.size() + (1 << 20)) FData.shrink_to_fit();
}

std::vector<uint8_t> TAVAsyncStream::CopyBytes() {
  std::lock_guard<std::mutex> g(FMutex);
  return FData;
}

}  // namespace kivora
