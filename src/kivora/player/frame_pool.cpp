#include "kivora/player/frame_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace kivora::PictureMemory {

namespace {

// Below this size the allocator's own memory is as good.
constexpr size_t kMappedMinimum = 256 * 1024;
// Mapped sizes are multiples of this.
constexpr size_t kStep = 64 * 1024;
// Room FFmpeg's optimised routines may read or write past a plane's end.
constexpr size_t kPadding = 64 + 16;
// Alignment of every plane and every row start.
constexpr int kAlign = 64;

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

void* MapPopulated(size_t size) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// The buffers kept for reuse, most recently freed first.
class TIdleList {
public:
  void* Take(size_t size) {
    std::lock_guard<std::mutex> g(FLock);
    DropOld(Now());
    for (auto it = FIdle.begin(); it != FIdle.end(); ++it) {
      if (it->size != size) continue;
      void* p = it->data;
      FBytes -= size;
      FIdle.erase(it);
      return p;
    }
    return nullptr;
  }

  void Give(void* data, size_t size) {
    std::lock_guard<std::mutex> g(FLock);
    const double now = Now();
    FIdle.push_front({data, size, now});
    FBytes += size;
    DropOld(now);
    while (FBytes > kIdleLimit && !FIdle.empty()) DropBack();
  }

  size_t Bytes() {
    std::lock_guard<std::mutex> g(FLock);
    return FBytes;
  }

  void Clear() {
    std::lock_guard<std::mutex> g(FLock);
    while (!FIdle.empty()) DropBack();
  }

private:
  struct TIdle {
    void* data;
    size_t size;
    double since;
  };
  void DropOld(double now) {
    while (!FIdle.empty() && now - FIdle.back().since > kIdleSeconds) DropBack();
  }
  void DropBack() {
    munmap(FIdle.back().data, FIdle.back().size);
    FBytes -= FIdle.back().size;
    FIdle.pop_back();
  }
  std::mutex FLock;
  std::deque<TIdle> FIdle;
  size_t FBytes = 0;
};

// Never destroyed: pictures may be freed by other static destructors at exit.
TIdleList& Idle() {
  static auto* list = new TIdleList;
  return *list;
}

void Release(void* opaque, uint8_t* data) { Idle().Give(data, reinterpret_cast<size_t>(opaque)); }

bool PlainPlanes(AVPixelFormat format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  return d && !(d->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM));
}

// Fills the frame's planes for the given row lengths and height.
bool FillPlanes(AVFrame* frame, AVPixelFormat format, const int linesize[4], int height) {
  ptrdiff_t lines[4];
  for (int i = 0; i < 4; i++) lines[i] = linesize[i];
  size_t sizes[4] = {};
  if (av_image_fill_plane_sizes(sizes, format, height, lines) < 0) return false;
  for (int i = 0; i < 4 && sizes[i]; i++) {
    frame->buf[i] = Get(sizes[i] + kPadding);
    if (!frame->buf[i]) {
      for (int j = 0; j < i; j++) av_buffer_unref(&frame->buf[j]);
      return false;
    }
    frame->data[i] = frame->buf[i]->data;
    frame->linesize[i] = linesize[i];
  }
  frame->extended_data = frame->data;
  return true;
}

int GetBuffer2(AVCodecContext* ctx, AVFrame* frame, int flags) {
  const auto format = static_cast<AVPixelFormat>(frame->format);
  if (ctx->hw_frames_ctx || !PlainPlanes(format) || frame->width <= 0 || frame->height <= 0)
    return avcodec_default_get_buffer2(ctx, frame, flags);
  // The decoder may write up to the aligned size (whole macroblocks, edges
  // for motion vectors pointing outside the picture).
  int w = frame->width, h = frame->height;
  int strideAlign[AV_NUM_DATA_POINTERS];
  avcodec_align_dimensions2(ctx, &w, &h, strideAlign);
  // Widen until every row length is a multiple of the alignment: the same
  // size always gives the same row lengths, which some decoders rely on.
  int linesize[4] = {};
  for (int tries = 0;; tries++) {
    if (tries > 16 || av_image_fill_linesizes(linesize, format, w) < 0) return avcodec_default_get_buffer2(ctx, frame, flags);
    bool aligned = true;
    for (int i = 0; i < 4; i++)
      if (linesize[i] % std::max(strideAlign[i], kAlign)) aligned = false;
    if (aligned) break;
    w += w & ~(w - 1);
  }
  return FillPlanes(frame, format, linesize, h) ? 0 : AVERROR(ENOMEM);
}

}  // namespace

AVBufferRef* Get(size_t size) {
  if (size < kMappedMinimum) return av_buffer_alloc(size);
  // Ordinary pages: making 2 MiB pages present costs more CPU than they save
  // over a few seconds of playing. Whole 64 KiB steps let sizes a little
  // apart (another stream's padding or row length) reuse each other's buffers.
  const size_t mapped = FFALIGN(size, kStep);
  void* p = Idle().Take(mapped);
  if (!p) p = MapPopulated(mapped);
  if (!p) return av_buffer_alloc(size);
  AVBufferRef* ref = av_buffer_create(static_cast<uint8_t*>(p), size, Release, reinterpret_cast<void*>(mapped), 0);
  if (!ref) munmap(p, mapped);
  return ref;
}

void AttachDecoder(AVCodecContext* ctx) {
  if (!ctx || !ctx->codec || ctx->codec_type != AVMEDIA_TYPE_VIDEO) return;
  if (!(ctx->codec->capabilities & AV_CODEC_CAP_DR1)) return;
  ctx->get_buffer2 = GetBuffer2;
}

AVFrame* NewPicture(AVPixelFormat format, int width, int height) {
  if (!PlainPlanes(format) || width <= 0 || height <= 0) return nullptr;
  AVFramePtr frame(av_frame_alloc());
  if (!frame) return nullptr;
  frame->format = format;
  frame->width = width;
  frame->height = height;
  int linesize[4] = {};
  if (av_image_fill_linesizes(linesize, format, FFALIGN(width, kAlign)) < 0) return nullptr;
  for (int& l : linesize) l = FFALIGN(l, kAlign);
  if (!FillPlanes(frame.get(), format, linesize, height)) return nullptr;
  return frame.release();
}

size_t IdleBytes() { return Idle().Bytes(); }

void Trim() { Idle().Clear(); }

}  // namespace kivora::PictureMemory
