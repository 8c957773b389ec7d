#include "kivora/player/frame_pool.h"

#include <sys/mman.h>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace kivora {

namespace {

// Below this size the allocator's own memory is as good.
constexpr size_t kMappedMinimum = 256 * 1024;
// Room FFmpeg's optimised routines may read or write past a plane's end.
constexpr size_t kPadding = 64 + 16;
// Alignment of every plane and every row start.
constexpr int kAlign = 64;

void UnmapBuffer(void* opaque, uint8_t* data) { munmap(data, reinterpret_cast<size_t>(opaque)); }

AVBufferRef* AllocPopulated(size_t size) {
  if (size < kMappedMinimum) return av_buffer_alloc(size);
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED) return av_buffer_alloc(size);
  AVBufferRef* ref = av_buffer_create(static_cast<uint8_t*>(p), size, UnmapBuffer, reinterpret_cast<void*>(size), 0);
  if (!ref) munmap(p, size);
  return ref;
}

AVBufferRef* PoolAlloc(void* opaque, size_t size) {
  (void)opaque;
  return AllocPopulated(size);
}

bool PlainPlanes(AVPixelFormat format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  return d && !(d->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM));
}

}  // namespace

TFramePool::~TFramePool() { Clear(); }

AVBufferRef* TFramePool::Get(size_t size) {
  std::lock_guard<std::mutex> g(FLock);
  AVBufferPool*& pool = FPools[size];
  if (!pool) pool = av_buffer_pool_init2(size, nullptr, PoolAlloc, nullptr);
  return pool ? av_buffer_pool_get(pool) : nullptr;
}

void TFramePool::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  for (auto& [size, pool] : FPools) av_buffer_pool_uninit(&pool);
  FPools.clear();
}

void TFramePool::AttachDecoder(AVCodecContext* ctx, TFramePool* pool) {
  if (!ctx || !pool || !ctx->codec || ctx->codec_type != AVMEDIA_TYPE_VIDEO) return;
  if (!(ctx->codec->capabilities & AV_CODEC_CAP_DR1)) return;
  ctx->opaque = pool;
  ctx->get_buffer2 = GetBuffer2;
}

int TFramePool::GetBuffer2(AVCodecContext* ctx, AVFrame* frame, int flags) {
  auto* pool = static_cast<TFramePool*>(ctx->opaque);
  const auto format = static_cast<AVPixelFormat>(frame->format);
  if (!pool || ctx->hw_frames_ctx || !PlainPlanes(format) || frame->width <= 0 || frame->height <= 0)
    return avcodec_default_get_buffer2(ctx, frame, flags);
  // The decoder may write up to the aligned size (whole macroblocks, edges
  // for motion vectors pointing outside the picture).
  int w = frame->width, h = frame->height;
  int strideAlign[AV_NUM_DATA_POINTERS];
  avcodec_align_dimensions2(ctx, &w, &h, strideAlign);
  int linesize[4] = {};
  // Widen until every row length is a multiple of the alignment the decoder
  // asks for; the same size always gives the same row lengths.
  for (int tries = 0;; tries++) {
    if (av_image_fill_linesizes(linesize, format, w) < 0 || tries > 16) return avcodec_default_get_buffer2(ctx, frame, flags);
    bool aligned = true;
    for (int i = 0; i < 4; i++)
      if (linesize[i] % std::max(strideAlign[i], kAlign)) aligned = false;
    if (aligned) break;
    w += w & ~(w - 1);
  }
  ptrdiff_t lines[4];
  for (int i = 0; i < 4; i++) lines[i] = linesize[i];
  size_t sizes[4] = {};
  if (av_image_fill_plane_sizes(sizes, format, h, lines) < 0) return avcodec_default_get_buffer2(ctx, frame, flags);
  for (int i = 0; i < 4 && sizes[i]; i++) {
    frame->buf[i] = pool->Get(sizes[i] + kPadding);
    if (!frame->buf[i]) {
      for (int j = 0; j < i; j++) av_buffer_unref(&frame->buf[j]);
      return AVERROR(ENOMEM);
    }
    frame->data[i] = frame->buf[i]->data;
    frame->linesize[i] = linesize[i];
  }
  frame->extended_data = frame->data;
  return 0;
}

AVFrame* TFramePool::NewPicture(AVPixelFormat format, int width, int height) {
  if (!PlainPlanes(format) || width <= 0 || height <= 0) return nullptr;
  AVFramePtr frame(av_frame_alloc());
  if (!frame) return nullptr;
  frame->format = format;
  frame->width = width;
  frame->height = height;
  int linesize[4] = {};
  if (av_image_fill_linesizes(linesize, format, FFALIGN(width, kAlign)) < 0) return nullptr;
  for (int& l : linesize) l = FFALIGN(l, kAlign);
  ptrdiff_t lines[4];
  for (int i = 0; i < 4; i++) lines[i] = linesize[i];
  size_t sizes[4] = {};
  if (av_image_fill_plane_sizes(sizes, format, height, lines) < 0) return nullptr;
  for (int i = 0; i < 4 && sizes[i]; i++) {
    frame->buf[i] = Get(sizes[i] + kPadding);
    if (!frame->buf[i]) return nullptr;
    frame->data[i] = frame->buf[i]->data;
    frame->linesize[i] = linesize[i];
  }
  frame->extended_data = frame->data;
  return frame.release();
}

}  // namespace kivora
