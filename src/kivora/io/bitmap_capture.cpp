// The "bmpcap" input: a live TBitmap read as raw RGBA video. FFmpeg's own
// raw video demuxer reads whole frames from a custom I/O context whose read
// copies the bitmap under the capture lock; each packet is stamped, as it is
// read, from a monotonic clock that starts at the wall-clock time of the
// open, so a stepped system clock never sends the times backwards.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

#include "kivora/io/url_io.h"
#include "kivora/platform/bitmap.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

constexpr int kIOBufferSize = 64 * 1024;
constexpr AVRational kMicroseconds{1, 1000000};

// Decimal digits only, fitting 64 bits.
bool ParseBitmapNumber(const std::string& name, uint64_t& id) {
  if (name.empty()) return false;
  const char* first = name.c_str();
  const char* last = first + name.size();
  for (const char* p = first; p < last; ++p)
    if (*p < '0' || *p > '9') return false;
  const auto [ptr, ec] = std::from_chars(first, last, id);
  return ec == std::errc() && ptr == last;
}

class TBitmapCaptureIO : public TUrlIO {
public:
  TBitmapCaptureIO(std::unique_ptr<TBitmapCapture> capture, int width, int height)
      : FCapture(std::move(capture)), FWidth(width), FHeight(height),
        FFrameSize(static_cast<int64_t>(width) * height * 4), FAnchorWall(av_gettime()) {}
  ~TBitmapCaptureIO() override { FPb.reset(); }

  bool MakeContext() {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIOBufferSize));
    if (!buffer) return false;
    FPb.reset(avio_alloc_context(buffer, kIOBufferSize, 0, this, ReadPacket, nullptr, nullptr));
    if (!FPb) {
      av_free(buffer);
      return false;
    }
    FPb->seekable = 0;
    return true;
  }
  void SetFrameDuration(int64_t us) { FFrameDuration = us; }

  void FinishPacket(AVFormatContext*, AVPacket* pkt) override {
    if (pkt->stream_index != 0) return;
    // The first packet read carries the open's wall-clock time; later ones
    // add the monotonic time since, always moving forward.
    const int64_t mono = av_gettime_relative();
    if (FFirstMono == AV_NOPTS_VALUE) FFirstMono = mono;
    int64_t t = FAnchorWall + (mono - FFirstMono);
    if (FLastTime != AV_NOPTS_VALUE && t <= FLastTime) t = FLastTime + 1;
    FLastTime = t;
    pkt->pts = pkt->dts = t;
    if (FFrameDuration > 0) pkt->duration = FFrameDuration;
  }

  int64_t AnchorWall() const { return FAnchorWall; }

private:
  static int ReadPacket(void* opaque, uint8_t* buf, int size) noexcept;
  int Read(uint8_t* buf, int size);
  // Copies the bitmap as it is now into one whole frame at dst.
  int Capture(uint8_t* dst);
  void FillBlack(uint8_t* dst, size_t bytes);

  std::unique_ptr<TBitmapCapture> FCapture;
  const int FWidth;
  const int FHeight;
  const int64_t FFrameSize;
  const int64_t FAnchorWall;
  int64_t FFrameDuration = 0;
  int64_t FFirstMono = AV_NOPTS_VALUE;
  int64_t FLastTime = AV_NOPTS_VALUE;
  int64_t FPosition = 0;       // bytes handed to FFmpeg
  std::vector<uint8_t> FFrame;  // a frame handed out in parts
  bool FWarnedSize = false;
  bool FWarnedFormat = false;
};

int TBitmapCaptureIO::ReadPacket(void* opaque, uint8_t* buf, int size) noexcept {
  try {
    return static_cast<TBitmapCaptureIO*>(opaque)->Read(buf, size);
  } catch (...) {
    return AVERROR(EIO);
  }
}

int TBitmapCaptureIO::Read(uint8_t* buf, int size) {
  if (size <= 0) return AVERROR(EINVAL);
  const int64_t offset = FPosition % FFrameSize;
  if (offset == 0 && size >= FFrameSize) {
    // The usual case: one whole frame straight into FFmpeg's packet.
    const int ret = Capture(buf);
    if (ret < 0) return ret;
    FPosition += FFrameSize;
    return static_cast<int>(FFrameSize);
  }
  if (offset == 0) {
    FFrame.resize(static_cast<size_t>(FFrameSize));
    const int ret = Capture(FFrame.data());
    if (ret < 0) return ret;
  }
  const int n = static_cast<int>(std::min<int64_t>(size, FFrameSize - offset));
  std::memcpy(buf, FFrame.data() + offset, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

void TBitmapCaptureIO::FillBlack(uint8_t* dst, size_t bytes) {
  static constexpr uint8_t kBlack[4] = {0, 0, 0, 255};
  for (size_t i = 0; i + 4 <= bytes; i += 4) std::memcpy(dst + i, kBlack, 4);
}

int TBitmapCaptureIO::Capture(uint8_t* dst) {
  const size_t stride = static_cast<size_t>(FWidth) * 4;
  int width = 0, height = 0;
  bool not_rgba = false;
  {
    TBmpCaptureLock lock;
    const TBitmap* bitmap = FCapture->Locked();
    if (!bitmap) return AVERROR_EOF;  // destroyed: the input ends
    const TBitmapData px = bitmap->ConstPixels();
    width = bitmap->Width();
    height = bitmap->Height();
    not_rgba = !px.Data && !bitmap->IsEmpty();
    if (px.Data && px.Width == FWidth && px.Height == FHeight) {
      if (static_cast<size_t>(px.Pitch) == stride) {
        std::memcpy(dst, px.Data, static_cast<size_t>(FFrameSize));
      } else {
        for (int y = 0; y < FHeight; ++y)
          std::memcpy(dst + y * stride, px.Data + static_cast<size_t>(y) * px.Pitch, stride);
      }
    } else {
      // Another size than at the open: what overlaps, at the open's layout,
      // and opaque black around it. The packet keeps its size.
      const int cw = px.Data ? std::min(px.Width, FWidth) : 0;
      const int ch = px.Data ? std::min(px.Height, FHeight) : 0;
      const size_t copied = static_cast<size_t>(cw) * 4;
      for (int y = 0; y < FHeight; ++y) {
        uint8_t* row = dst + y * stride;
        if (y < ch) {
          std::memcpy(row, px.Data + static_cast<size_t>(y) * px.Pitch, copied);
          FillBlack(row + copied, stride - copied);
        } else {
          FillBlack(row, stride);
        }
      }
    }
  }
  // Logged once each, and only after the lock is gone: a log line may reach
  // an application handler.
  if (not_rgba) {
    if (!FWarnedFormat)
      av_log(nullptr, AV_LOG_WARNING, "bmpcap: the bitmap holds an image that is not RGBA; black is captured\n");
    FWarnedFormat = true;
  } else if ((width != FWidth || height != FHeight) && !FWarnedSize) {
    av_log(nullptr, AV_LOG_WARNING,
           "bmpcap: the bitmap is now %dx%d; pictures keep the %dx%d it had when the input was opened\n", width,
           height, FWidth, FHeight);
    FWarnedSize = true;
  }
  return 0;
}

}  // namespace

const AVInputFormat* BitmapCaptureFormat() {
  static const AVInputFormat* format = [] {
    static AVInputFormat f{};
    f.name = kBitmapCaptureFormatName;
    f.long_name = "bitmap capture";
    f.flags = AVFMT_NOFILE;
    return &f;
  }();
  return format;
}

std::string BmpCaptureName(const TBitmap& bitmap) { return std::to_string(bitmap.LiveId()); }

int OpenBitmapCaptureInput(AVFormatContext** ic, const std::string& name, AVDictionary** options, TUrlIOPtr& io) {
  io.reset();
  auto fail = [ic](int err) {
    avformat_free_context(*ic);
    *ic = nullptr;
    return err;
  };
  uint64_t id = 0;
  std::unique_ptr<TBitmapCapture> capture;
  if (ParseBitmapNumber(name, id)) capture = TBitmapCapture::Acquire(id);
  if (!capture) {
    av_log(nullptr, AV_LOG_ERROR, "bmpcap: \"%s\" names no live bitmap\n", name.c_str());
    return fail(AVERROR(EINVAL));
  }
  int width = 0, height = 0;
  {
    TBmpCaptureLock lock;
    if (const TBitmap* bitmap = capture->Locked()) {
      width = bitmap->Width();
      height = bitmap->Height();
    }
  }
  // 64-bit arithmetic, and only sizes FFmpeg's raw video path takes.
  if (width <= 0 || height <= 0 || av_image_check_size(width, height, 0, nullptr) < 0 ||
      static_cast<int64_t>(width) * height * 4 > INT_MAX) {
    av_log(nullptr, AV_LOG_ERROR, "bmpcap: the bitmap's size %dx%d cannot be captured\n", width, height);
    return fail(AVERROR(EINVAL));
  }
  const AVInputFormat* rawvideo = av_find_input_format("rawvideo");
  if (!rawvideo) return fail(AVERROR_DEMUXER_NOT_FOUND);

  auto made = std::make_unique<TBitmapCaptureIO>(std::move(capture), width, height);
  if (!made->MakeContext()) return fail(AVERROR(ENOMEM));
  if (!*ic) *ic = avformat_alloc_context();
  if (!*ic) return AVERROR(ENOMEM);
  (*ic)->pb = made->Context();

  // The bitmap's bytes are R, G, B, A: said outright, so the raw decoder
  // never guesses another order from a bit depth.
  AVDictionaryHolder own;
  AVDictionary** opts = options ? options : &own;
  av_dict_set(opts, "video_size", (std::to_string(width) + "x" + std::to_string(height)).c_str(), 0);
  av_dict_set(opts, "pixel_format", "rgba", 0);
  av_dict_set(opts, "framerate", "ntsc", AV_DICT_DONT_OVERWRITE);
  const int err = avformat_open_input(ic, name.c_str(), rawvideo, opts);
  if (err < 0) return err;  // the context is gone; the custom I/O goes with made

  // Times are microseconds of the capture clock, not frame counts.
  AVStream* st = (*ic)->streams[0];
  const AVRational rate = av_inv_q(st->time_base);
  st->avg_frame_rate = rate;
  st->r_frame_rate = rate;
  st->time_base = kMicroseconds;
  st->start_time = made->AnchorWall();
  made->SetFrameDuration(av_rescale_q(1, av_inv_q(rate), kMicroseconds));
  io.reset(made.release());
  return 0;
}

}  // namespace kivora
