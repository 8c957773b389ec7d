// Bitmap subtitles: decoded on their own thread into a sixteen-slot queue,
// blended into the pictures by the display when due.
#include "kivora/platform/exception.h"
#include "kivora/platform/thread.h"
#include "kivora/player/player.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

bool TAVPlayer::InitSubtitle() {
  FSubtitleStreamChanged = false;
  {
    std::lock_guard<std::mutex> g(FStreamLock);
    FSubtitleStream = StreamAt(FSubtitleIdxList, FSubtitleStreamIndex.load());
  }
  if (!FSubtitleStream) return false;
  const AVCodec* codec = avcodec_find_decoder(FSubtitleStream->codecpar->codec_id);
  if (!codec) return false;
  AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), FSubtitleStream->codecpar) < 0) return false;
  ctx->pkt_timebase = FSubtitleStream->time_base;
  ctx->workaround_bugs = 1;
  ctx->thread_count = FThreadCount;
  AVDictionaryHolder opts(filter_codec_opts(codec_opts.get(), codec->id, 0));
  if (!av_dict_get(opts.get(), "threads", nullptr, 0)) av_dict_set(&opts, "threads", "auto", 0);
  if (avcodec_open2(ctx.get(), codec, &opts) < 0) return false;
  if (const AVDictionaryEntry* t = av_dict_get(opts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX))
    throw Exception(Format("Option %s not found!", t->key));
  FSubtitleCodecCtx = std::move(ctx);
  FSubtitleStream->discard = AVDISCARD_DEFAULT;
  FSubtitleQ->Start();
  FSubtitleThreadRun = false;
  FSubtitleThreads.emplace_back([this] { SubtitleThreadExecute(); });
  return true;
}

void TAVPlayer::FreeSubtitleCtx() {
  if (!FSubtitleCodecCtx && !FSubtitleStream) return;
  FlushSubtitleQueue();
  if (FSubtitleQ) FSubtitleQ->Abort();
  {
    std::lock_guard<std::mutex> g(FSubpQMutex);
    FSubpQCond.notify_all();
  }
  for (std::thread& t : FSubtitleThreads)
    if (t.joinable()) t.join();
  FSubtitleThreads.clear();
  FlushSubtitleQueue();
  if (FSubtitleQ) FSubtitleQ->Flush();
  if (FSubtitleStream) FSubtitleStream->discard = AVDISCARD_ALL;
  FSubtitleCodecCtx.reset();
  FSubtitleStream = nullptr;
  FSubtitleStreamIndex = -1;
}

void TAVPlayer::FlushSubtitleQueue() {
  std::lock_guard<std::mutex> g(FSubpQMutex);
  while (FSubpQSize > 0) {
    avsubtitle_free(&FSubpQ[FSubpQRindex].sub);
    FSubpQRindex = (FSubpQRindex + 1) % SUBPICTURE_QUEUE_SIZE;
    FSubpQSize--;
  }
  FSubpQCond.notify_all();
}

void TAVPlayer::SubtitleThreadExecute() {
  TThreadLoggerGuard logger(this);
  while (!FSubtitleThreadRun.load() && !FAbortRequest.load() && !FSubtitleQ->Aborted()) Sleep(1);
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) return;
  for (;;) {
    while (FPaused.load() && !FSubtitleQ->Aborted() && !FAbortRequest.load()) Sleep(10);
    int serial = 0;
    if (FSubtitleQ->Get(pkt.get(), true, &serial) < 0) return;
    if (FSubtitleQ->IsFlushPkt(pkt.get())) {
      avcodec_flush_buffers(FSubtitleCodecCtx.get());
      continue;
    }
    if (FSubtitleQ->IsEofPkt(pkt.get())) continue;
    {
      std::unique_lock<std::mutex> g(FSubpQMutex);
      FSubpQCond.wait(g, [this] { return FSubpQSize < SUBPICTURE_QUEUE_SIZE || FSubtitleQ->Aborted(); });
      if (FSubtitleQ->Aborted()) return;
    }
    TSubPicture& sp = FSubpQ[FSubpQWindex];
    double pts = 0;
    if (pkt->pts != AV_NOPTS_VALUE) pts = pkt->pts * av_q2d(FSubtitleStream->time_base);
    int got = 0;
    AVSubtitle sub{};
    // A null packet drains the decoder; an empty one has nothing to decode.
    const int ret = avcodec_decode_subtitle2(FSubtitleCodecCtx.get(), &sub, &got, pkt.get());
    if (ret >= 0 && got) {
      if (sub.format == 0) {
        if (sub.pts != AV_NOPTS_VALUE) pts = sub.pts / static_cast<double>(AV_TIME_BASE);
        sp.sub = sub;
        sp.pts = pts;
        sp.serial = serial;
        FSubpQWindex = (FSubpQWindex + 1) % SUBPICTURE_QUEUE_SIZE;
        std::lock_guard<std::mutex> g(FSubpQMutex);
        FSubpQSize++;
      } else {
        avsubtitle_free(&sub);  // text subtitles are not drawn
      }
    }
    av_packet_unref(pkt.get());
  }
}

// Alpha-blends one palette-indexed subtitle rectangle into an RGBA picture,
// clipped to the picture.
void TAVPlayer::blend_rect(TVideoPicture& vp, const AVSubtitleRect* rect) {
  AVFrame* f = vp.bmp;
  if (!f || !rect || rect->type != SUBTITLE_BITMAP || !rect->data[0] || !rect->data[1]) return;
  if (f->format != AV_PIX_FMT_RGBA) return;  // other picture formats are left untouched
  const int picW = f->width, picH = f->height;
  const int dstw = std::clamp(rect->w, 0, picW);
  const int dsth = std::clamp(rect->h, 0, picH);
  const int dstx = std::clamp(rect->x, 0, picW - dstw);
  const int dsty = std::clamp(rect->y, 0, picH - dsth);
  const auto* palette = reinterpret_cast<const uint32_t*>(rect->data[1]);
  for (int y = 0; y < dsth; y++) {
    const uint8_t* src = rect->data[0] + static_cast<ptrdiff_t>(y) * rect->linesize[0];
    uint8_t* dst = f->data[0] + static_cast<ptrdiff_t>(dsty + y) * f->linesize[0] + dstx * 4;
    for (int x = 0; x < dstw; x++) {
      const uint32_t c = palette[src[x]];
      const int a = (c >> 24) & 0xFF, r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
      if (!a) continue;
      dst[x * 4 + 0] = static_cast<uint8_t>(((255 - a) * dst[x * 4 + 0] + a * r) / 255);
      dst[x * 4 + 1] = static_cast<uint8_t>(((255 - a) * dst[x * 4 + 1] + a * g) / 255);
      dst[x * 4 + 2] = static_cast<uint8_t>(((255 - a) * dst[x * 4 + 2] + a * b) / 255);
    }
  }
}

}  // namespace kivora
