#pragma once
// The insides of TPreviewDecoder: the container, the decoder, the scaler and
// the decoding state. TPreviewDecoder forwards each call to its Impl.
#include <atomic>
#include <cstdint>
#include <string>

#include "kivora/io/url.h"
#include "kivora/platform/bitmap.h"
#include "kivora/preview/preview_decoder.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

struct TPreviewDecoder::Impl {
  Impl() = default;
  ~Impl();

  // Opens the file (any URL FFmpeg reads) and the decoder of its best video
  // stream. On failure everything opened is closed again and LastError says
  // why. Blocking I/O is bounded by TimeoutMs and by Abort.
  bool Open(const std::string& fileName);
  // Frees the decoder, the container and the pictures; forgets the start time.
  void Close();
  bool IsOpen() const { return FFormat != nullptr; }

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
  bool PastEnd() const { return FPastEnd; }
  // Decodes the next picture in stream order (from the start after Open, or
  // on from the last DecodeAt). False at the end of the stream or on error.
  bool DecodeNext();

  // The last decoded picture as the decoder gave it; null before the first.
  const AVFrame* Frame() const { return FHasPicture ? FFrame.get() : nullptr; }
  // Its time in microseconds from the stream's start (from the frame's own
  // best-effort timestamp); AV_NOPTS_VALUE when it has none.
  int64_t PictureTime() const { return FPictureTime; }
  // Converts the last picture to RGBA into the bitmap, sized to the picture.
  // The scaler follows each picture's own size, pixel format, colour matrix
  // and range. False when there is no picture or it cannot be converted (the
  // bitmap is untouched).
  bool ToBitmap(TBitmap& bitmap, int swsFlags = SWS_BICUBIC);

  // The container's start time in microseconds (0 when unknown or closed).
  int64_t StartTime() const { return FStartTime; }
  // Seconds; NaN when the container does not know its duration.
  double Duration() const { return FDuration; }
  // The video stream's r_frame_rate as a number (0 when unknown).
  double FrameRate() const { return FFrameRate; }
  // Chroma subsampling (log2) of the decoder's pixel format at open.
  int HSub() const { return FHSub; }
  int VSub() const { return FVSub; }
  AVFormatContext* FormatContext() const { return FFormat.get(); }
  AVCodecContext* CodecContext() const { return FCodec.get(); }
  int VideoStream() const { return FVideoStream; }

  // Upper bound of each blocking Open, DecodeAt or DecodeNext (10 s by
  // default; 0 or less: none).
  int TimeoutMs() const { return FTimeoutMs; }
  void SetTimeoutMs(int ms) { FTimeoutMs = ms; }
  int ThreadCount() const { return FThreadCount; }
  void SetThreadCount(int threads) { FThreadCount = threads < 0 ? 0 : threads; }
  // Makes the current or next blocking call give up soon. Any thread.
  void Abort() { FAbort.store(true); }
  // Clears an earlier Abort.
  void ResetAbort() { FAbort.store(false); }

  const std::string& LastError() const { return FLastError; }


  static int InterruptCallback(void* opaque) noexcept;
  void StartDeadline();
  bool Fail(const std::string& what, int err = 0);
  bool OpenCodec();
  // 1: at the key frame at or before the time; 0: only the start could be
  // reached; -1: failed.
  int SeekTo(int64_t absoluteUs);
  // Decodes forward to the picture for target (absolute). 1: a picture;
  // 0: none (LastError says why); -1: the seek went past the target.
  int DecodeUpTo(int64_t target, bool accurate, bool exact, bool atStart, bool carried = false);
  // Whether an accurate picture at target is reached sooner by decoding on
  // from the current position than by seeking.
  bool CanCarryOn(int64_t target) const;
  // Reads and decodes until a frame comes out into FFrame (drains at the end
  // of the data). 1: a frame; 0: end of stream; negative: error.
  int ReceiveNext();
  void KeepPicture();
  // The absolute time in microseconds at which the file ends; AV_NOPTS_VALUE
  // when the container does not know (or only guesses from the bit rate).
  int64_t EndTime() const;
  // The frame's time in absolute microseconds; also moves FNextTime on.
  int64_t FrameTimeUs(const AVFrame* f);

  TUrlIOPtr FIO;  // the custom I/O of a "stream:" input; outlives FFormat
  AVInputContextPtr FFormat;
  AVCodecContextPtr FCodec;
  AVFramePtr FFrame;    // the picture shown
  AVFramePtr FScratch;  // where the next frame is decoded
  AVPacketPtr FPacket;
  SwsContextPtr FSws;
  // What FSws was last set up for; its colour details are set again when
  // any of it changes.
  struct SwsSetup {
    int width = 0, height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int flags = 0;
    AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    bool operator==(const SwsSetup&) const = default;
  };
  SwsSetup FSwsSetup;
  int FVideoStream = -1;
  bool FHasPicture = false;
  bool FDraining = false;   // the null packet has gone to the decoder
  bool FAtStart = false;    // nothing read since the open
  bool FSizeChanged = false;  // a picture differed from the stream's size
  bool FNoTimestamps = false;  // the stream's packets carry no times
  bool FPastEnd = false;       // the last DecodeAt's target lay past the end
  int64_t FPictureTime = AV_NOPTS_VALUE;
  int64_t FScratchTime = AV_NOPTS_VALUE;  // absolute time of FScratch
  // FScratch holds a decoded picture not handed out yet (the first one past
  // the last target): the next ReceiveNext returns it.
  bool FPending = false;
  // While decoding towards an accurate target: the target, and the latest
  // packet time sent to the decoder. A picture that cannot be shown (a later
  // one lies at or before the target) need not be decoded when nothing
  // refers to it.
  int64_t FSkipTarget = AV_NOPTS_VALUE;
  int64_t FLatestSent = AV_NOPTS_VALUE;
  int64_t FNextTime = AV_NOPTS_VALUE;     // expected time of the next picture
  int64_t FStartTime = 0;
  double FDuration = 0;
  double FFrameRate = 0;
  int FHSub = 0;
  int FVSub = 0;
  int FTimeoutMs = 10000;
  int FThreadCount = 0;
  std::atomic<bool> FAbort{false};
  std::atomic<int64_t> FDeadline{0};  // av_gettime_relative; 0: none
  std::string FLastError;};

}  // namespace kivora
