#pragma once
// TPreviewDecoder: opens a media file's video stream and decodes single
// pictures from it, by timestamp or one after the other, without painting.
// The preview control runs it on its worker thread; programs and tests use it
// directly. Not thread-safe, except Abort, which any thread may call.
#include <cstdint>
#include <memory>
#include <string>

#include "kivora/platform/bitmap.h"

extern "C" {
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
}

namespace kivora {

class TPreviewDecoder {
public:
  TPreviewDecoder();
  ~TPreviewDecoder();
  TPreviewDecoder(const TPreviewDecoder&) = delete;
  TPreviewDecoder& operator=(const TPreviewDecoder&) = delete;

  // Opens the file (any URL FFmpeg reads) and the decoder of its best video
  // stream. On failure everything opened is closed again and LastError says
  // why. Blocking I/O is bounded by TimeoutMs and by Abort.
  bool Open(const std::string& fileName);
  // Frees the decoder, the container and the pictures; forgets the start time.
  void Close();
  bool IsOpen() const;

  // Decodes the picture for targetUs (microseconds from the stream's start).
  // Key-frame mode gives the first picture decoded after the key frame at or
  // before the target; accurate mode decodes on and gives the picture on
  // screen at the target (the last one starting at or before it, or the first
  // one when the target lies before every picture). Near the end the decoder
  // is drained, so a target inside the file always gives a picture. False when
  // no picture came out (seek or read failure, no data, a picture the scaler
  // cannot convert); the previous picture then stays.
  bool DecodeAt(int64_t targetUs, bool accurate);
  // Whether the last DecodeAt's target lay at or past the end of the file, so
  // the picture it gave is the last one rather than the one at the target.
  // Known from the container's duration, or, when it has none, from reaching
  // the end of the data before the target.
  bool PastEnd() const;
  // Decodes the next picture in stream order (from the start after Open, or
  // on from the last DecodeAt). False at the end of the stream or on error.
  bool DecodeNext();

  // The last decoded picture as the decoder gave it; null before the first.
  const AVFrame* Frame() const;
  // Its time in microseconds from the stream's start (from the frame's own
  // best-effort timestamp); AV_NOPTS_VALUE when it has none.
  int64_t PictureTime() const;
  // Converts the last picture to RGBA into the bitmap, sized to the picture.
  // The scaler follows each picture's own size, pixel format, colour matrix
  // and range. False when there is no picture or it cannot be converted (the
  // bitmap is untouched).
  // swsFlags: libswscale's SWS_* flags (4 is SWS_BICUBIC).
  bool ToBitmap(TBitmap& bitmap, int swsFlags = 4);

  // The container's start time in microseconds (0 when unknown or closed).
  int64_t StartTime() const;
  // Seconds; NaN when the container does not know its duration.
  double Duration() const;
  // The video stream's r_frame_rate as a number (0 when unknown).
  double FrameRate() const;
  // Chroma subsampling (log2) of the decoder's pixel format at open.
  int HSub() const;
  int VSub() const;
  AVFormatContext* FormatContext() const;
  AVCodecContext* CodecContext() const;
  int VideoStream() const;

  // Upper bound of each blocking Open, DecodeAt or DecodeNext (10 s by
  // default; 0 or less: none).
  int TimeoutMs() const;
  void SetTimeoutMs(int ms);
  // Decoding threads for the next Open: 0 (the default) lets the decoder use
  // as many as the machine has; 1 decodes on the calling thread alone, which
  // suits several decoders working side by side.
  int ThreadCount() const;
  void SetThreadCount(int threads);
  // Makes the current or next blocking call give up soon. Any thread.
  void Abort();
  // Clears an earlier Abort.
  void ResetAbort();

  const std::string& LastError() const;


  struct Impl;  // defined inside the library only

private:
  std::unique_ptr<Impl> d;
};

}  // namespace kivora
