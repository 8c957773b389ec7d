// Bitmap subtitles: decoded on their own thread into a sixteen-slot queue,
// blended into the pictures by the display when due.
#include <algorithm>

#include "kivora/platform/exception.h"
#include "kivora/platform/thread.h"
#include "kivora/player/decoder.h"
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

bool TAVPlayer::Impl::InitSubtitle() {
  FSubtitleStreamChanged = false;
  {
    std::lock_guard<std::mutex> g(FStreamLock);
    FM->FSubtitleStream = StreamAt(FSubtitleIdxList, FSubtitleStreamIndex.load());
  }
  if (!FM->FSubtitleStream) return false;
  AVCodecContextPtr ctx = OpenStreamDecoder(FM->FSubtitleStream, FM->codec_opts.get(), FThreadCount);
  if (!ctx) return false;
  FM->FSubtitleCodecCtx = std::move(ctx);
  FM->FSubtitleStream->discard = AVDISCARD_DEFAULT;
  FSubtitleQ->Start();
  FM->FSubtitleThreads.emplace_back([this] { SubtitleThreadExecute(); });
  return true;
}

void TAVPlayer::Impl::FreeSubtitleCtx() {
  if (!FM->FSubtitleCodecCtx && !FM->FSubtitleStream) return;
  FlushSubtitleQueue();
  if (FSubtitleQ) FSubtitleQ->Abort();
  WakeQueueWaiters();
  JoinThreads(FM->FSubtitleThreads);
  FlushSubtitleQueue();
  if (FSubtitleQ) FSubtitleQ->Flush();
  if (FM->FSubtitleStream) FM->FSubtitleStream->discard = AVDISCARD_ALL;
  FM->FSubtitleCodecCtx.reset();
  FM->FSubtitleStream = nullptr;
  FSubtitleStreamIndex = -1;
}

void TAVPlayer::Impl::FlushSubtitleQueue() {
  std::lock_guard<std::mutex> g(FSubpQMutex);
  while (FM->FSubpQSize > 0) {
    avsubtitle_free(&FM->FSubpQ[FM->FSubpQRindex].sub);
    FM->FSubpQRindex = (FM->FSubpQRindex + 1) % SUBPICTURE_QUEUE_SIZE;
    FM->FSubpQSize--;
  }
  FSubpQCond.notify_all();
}

void TAVPlayer::Impl::SubtitleThreadExecute() {
  TThreadLoggerGuard logger(&q);
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) return;
  for (;;) {
    {
      std::unique_lock<std::mutex> g(FPauseLock);
      FPauseCond.wait(g, [this] { return !FPaused.load() || FSubtitleQ->Aborted() || FAbortRequest.load(); });
    }
    int serial = 0;
    if (FSubtitleQ->Get(pkt.get(), true, &serial) < 0) return;
    if (FSubtitleQ->IsFlushPkt(pkt.get())) {
      avcodec_flush_buffers(FM->FSubtitleCodecCtx.get());
      continue;
    }
    if (FSubtitleQ->IsEofPkt(pkt.get())) continue;
    {
      std::unique_lock<std::mutex> g(FSubpQMutex);
      FSubpQCond.wait(g, [this] { return FM->FSubpQSize < SUBPICTURE_QUEUE_SIZE || FSubtitleQ->Aborted(); });
      if (FSubtitleQ->Aborted()) return;
    }
    TSubPicture& sp = FM->FSubpQ[FM->FSubpQWindex];
    double pts = 0;
    if (pkt->pts != AV_NOPTS_VALUE) pts = pkt->pts * av_q2d(FM->FSubtitleStream->time_base);
    int got = 0;
    AVSubtitle sub{};
    // A null packet drains the decoder; an empty one has nothing to decode.
    const int ret = avcodec_decode_subtitle2(FM->FSubtitleCodecCtx.get(), &sub, &got, pkt.get());
    if (ret >= 0 && got) {
      if (sub.format == 0) {
        if (sub.pts != AV_NOPTS_VALUE) pts = sub.pts / static_cast<double>(AV_TIME_BASE);
        sp.sub = sub;
        sp.pts = pts;
        sp.serial = serial;
        FM->FSubpQWindex = (FM->FSubpQWindex + 1) % SUBPICTURE_QUEUE_SIZE;
        std::lock_guard<std::mutex> g(FSubpQMutex);
        FM->FSubpQSize++;
      } else {
        avsubtitle_free(&sub);  // text subtitles are not drawn
      }
    }
    av_packet_unref(pkt.get());
  }
}

namespace {

inline int ALPHA_BLEND(int a, int oldp, int newp, int s) {
  return ((255 - a) * (oldp << s) + a * newp) / (255 << s);
}

inline void RGBA_IN(uint32_t c, int& r, int& g, int& b, int& a) {
  a = (c >> 24) & 0xFF;
  r = (c >> 16) & 0xFF;
  g = (c >> 8) & 0xFF;
  b = c & 0xFF;
}

// A palette entry as limited-range BT.601 YCbCr, the colour space the
// decoders and our filter graph give for standard-definition 4:2:0 video.
struct TYuva {
  int y, u, v, a;
};

TYuva PaletteYuv(uint32_t c) {
  int r, g, b, a;
  RGBA_IN(c, r, g, b, a);
  // Scaled by 2^16 with rounding: Y 16..235, Cb and Cr 16..240.
  const int y = (16829 * r + 33039 * g + 6416 * b + (16 << 16) + 32768) >> 16;
  const int u = (-9714 * r - 19070 * g + 28784 * b + (128 << 16) + 32768) >> 16;
  const int v = (28784 * r - 24103 * g - 4681 * b + (128 << 16) + 32768) >> 16;
  return {y, u, v, a};
}

// Blends one rectangle into a 4:2:0 picture: each luma sample gets the
// palette colour's Y at its own alpha; each chroma sample, which covers a
// 2x2 block of luma samples, gets the block's colour weighted by the mean
// alpha of the block (parts of the block outside the rectangle count as
// transparent). uStep is 1 for separate U and V planes, 2 for NV12's
// interleaved UV plane (then v points at the V byte of the first pair).
void BlendYuv420(AVFrame* f, const AVSubtitleRect* rect, int dstx, int dsty, int dstw, int dsth, uint8_t* uPlane,
                 int uPitch, uint8_t* vPlane, int vPitch, int uStep) {
  const auto* palette = reinterpret_cast<const uint32_t*>(rect->data[1]);
  const int colours = rect->nb_colors > 0 ? std::min(rect->nb_colors, 256) : 256;
  TYuva pal[256];
  for (int i = 0; i < 256; i++) pal[i] = i < colours ? PaletteYuv(palette[i]) : TYuva{0, 0, 0, 0};
  auto index = [&](int x, int y) { return rect->data[0][static_cast<ptrdiff_t>(y - dsty) * rect->linesize[0] + (x - dstx)]; };

  for (int y = dsty; y < dsty + dsth; y++) {
    uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    for (int x = dstx; x < dstx + dstw; x++) {
      const TYuva& c = pal[index(x, y)];
      if (c.a) row[x] = static_cast<uint8_t>(ALPHA_BLEND(c.a, row[x], c.y, 0));
    }
  }
  const int chromaW = (f->width + 1) / 2, chromaH = (f->height + 1) / 2;
  for (int cy = dsty / 2; cy <= (dsty + dsth - 1) / 2 && cy < chromaH; cy++) {
    uint8_t* urow = uPlane + static_cast<ptrdiff_t>(cy) * uPitch;
    uint8_t* vrow = vPlane + static_cast<ptrdiff_t>(cy) * vPitch;
    for (int cx = dstx / 2; cx <= (dstx + dstw - 1) / 2 && cx < chromaW; cx++) {
      int n = 0, suma = 0, sumu = 0, sumv = 0;
      for (int y = 2 * cy; y < 2 * cy + 2 && y < f->height; y++) {
        for (int x = 2 * cx; x < 2 * cx + 2 && x < f->width; x++) {
          n++;
          if (x < dstx || x >= dstx + dstw || y < dsty || y >= dsty + dsth) continue;
          const TYuva& c = pal[index(x, y)];
          suma += c.a;
          sumu += c.a * c.u;
          sumv += c.a * c.v;
        }
      }
      if (!suma) continue;
      uint8_t& u = urow[cx * uStep];
      uint8_t& v = vrow[cx * uStep];
      const int total = 255 * n;
      u = static_cast<uint8_t>(((total - suma) * u + sumu) / total);
      v = static_cast<uint8_t>(((total - suma) * v + sumv) / total);
    }
  }
}

}  // namespace

// Alpha-blends one palette-indexed subtitle rectangle into a picture,
// clipped to the picture (a rectangle too far right or down is moved back
// in). RGBA pictures get the palette colour itself, 4:2:0 pictures (planar
// or NV12) its limited-range BT.601 YCbCr form; other formats are left
// untouched.
void TAVPlayer::Impl::blend_rect(TVideoPicture& vp, const AVSubtitleRect* rect) {
  AVFrame* f = vp.bmp;
  if (!f || !rect || rect->type != SUBTITLE_BITMAP || !rect->data[0] || !rect->data[1]) return;
  if (f->width <= 0 || f->height <= 0 || !f->data[0]) return;
  const int picW = f->width, picH = f->height;
  const int dstw = std::clamp(rect->w, 0, picW);
  const int dsth = std::clamp(rect->h, 0, picH);
  const int dstx = std::clamp(rect->x, 0, picW - dstw);
  const int dsty = std::clamp(rect->y, 0, picH - dsth);
  if (!dstw || !dsth) return;
  const auto* palette = reinterpret_cast<const uint32_t*>(rect->data[1]);
  switch (f->format) {
    case AV_PIX_FMT_RGBA:
      for (int y = 0; y < dsth; y++) {
        const uint8_t* src = rect->data[0] + static_cast<ptrdiff_t>(y) * rect->linesize[0];
        uint8_t* dst = f->data[0] + static_cast<ptrdiff_t>(dsty + y) * f->linesize[0] + dstx * 4;
        for (int x = 0; x < dstw; x++, dst += 4) {
          int r, g, b, a;
          RGBA_IN(palette[src[x]], r, g, b, a);
          if (!a) continue;
          dst[0] = static_cast<uint8_t>(ALPHA_BLEND(a, dst[0], r, 0));
          dst[1] = static_cast<uint8_t>(ALPHA_BLEND(a, dst[1], g, 0));
          dst[2] = static_cast<uint8_t>(ALPHA_BLEND(a, dst[2], b, 0));
        }
      }
      break;
    case AV_PIX_FMT_YUV420P:
      if (f->data[1] && f->data[2])
        BlendYuv420(f, rect, dstx, dsty, dstw, dsth, f->data[1], f->linesize[1], f->data[2], f->linesize[2], 1);
      break;
    case AV_PIX_FMT_NV12:
      if (f->data[1])
        BlendYuv420(f, rect, dstx, dsty, dstw, dsth, f->data[1], f->linesize[1], f->data[1] + 1, f->linesize[1], 2);
      break;
    default:
      break;
  }
}

}  // namespace kivora
