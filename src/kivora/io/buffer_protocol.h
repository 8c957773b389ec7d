#pragma once
// "buffer:<inner URL>": the inner URL (a file, a network URL, "stream:" or
// another "buffer:") is read in a loop until each read FFmpeg asks for is
// complete, so demuxers see large whole reads from sources that deliver
// small pieces.
#include <cstdint>
#include <functional>
#include <string>

namespace kivora {

// The URL inside a "buffer:" URL (empty for anything else). Any thread.
std::string BufferInnerUrl(const std::string& url);

// The gathering read. The inner read returns a count (> 0), 0 or
// AVERROR_EOF at the end, or another negative FFmpeg error. Sizes and counts
// are bytes; a reader serves one input, on that input's thread (FFmpeg asks
// for 64 KiB pieces).
class TBufferReader {
public:
  using TInnerRead = std::function<int(uint8_t* buf, int size)>;
  explicit TBufferReader(TInnerRead inner) : FInner(std::move(inner)) {}

  // Fills buf with size bytes and returns size; at the end, the bytes
  // gathered, or AVERROR_EOF when there were none. An inner error returns
  // the bytes gathered before it now and the error itself on the next call
  // (at once when nothing was gathered). A size below 1 is AVERROR(EINVAL).
  int Read(uint8_t* buf, int size);
  // Forgets an error kept for the next call (after a seek).
  void Reset() { FPending = 0; }

private:
  TInnerRead FInner;
  int FPending = 0;
};

}  // namespace kivora
