// The video decoder thread: packets to frames, early dropping of late
// frames, the video filter graph ending in the views' pixel format, and the
// picture queue the refresh thread reads.
#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/thread.h"
#include "kivora/player/decoder.h"
#include "kivora/player/filtergraph.h"
#include "kivora/player/frame_pool.h"
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"
#include "kivora/runtime/clocale.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

bool TAVPlayer::Impl::InitVideo() {
  FVideoStreamChanged = false;
  {
    std::lock_guard<std::mutex> g(FStreamLock);
    const int pos = FVideoStreamIndex.load();
    FM->FVideoStream = StreamAt(FVideoIdxList, pos);
  }
  FVideoMoving = false;
  if (!FM->FVideoStream) return false;
  FVideoMoving = !(FM->FVideoStream->disposition & AV_DISPOSITION_ATTACHED_PIC);
  AVCodecContextPtr ctx = OpenStreamDecoder(FM->FVideoStream, FM->codec_opts.get(), FThreadCount);
  if (!ctx) return false;
  FCodecWidth = ctx->width;
  FCodecHeight = ctx->height;
  FGraphWidth = FGraphHeight = 0;
  FM->FVideoCodecCtx = std::move(ctx);
  const AVRational fr = guess_frame_rate(FM->FIc, FM->FVideoStream, FM->FVideoCodecCtx.get(), nullptr);
  FVideoFrameRate = FM->FVideoStream->r_frame_rate.den ? av_q2d(FM->FVideoStream->r_frame_rate) : av_q2d(fr);
  FM->FVideoStream->discard = AVDISCARD_DEFAULT;
  FM->video_pkt_serial = -1;
  FM->video_packet_pending = false;
  FVideoQ->Start();
  FM->FVideoThreads.emplace_back([this] { VideoThreadExecute(); });
  queue_attachments_req = true;
  return true;
}

void TAVPlayer::Impl::FreeVideoCtx() {
  if (!FM->FVideoCodecCtx && !FM->FVideoStream) return;
  {
    std::lock_guard<std::mutex> g(FPictQMutex);
    FPictQCond.notify_all();
  }
  if (FVideoQ) FVideoQ->Flush();
  FM->FVideoCodecCtx.reset();
  if (FM->FVideoStream) FM->FVideoStream->discard = AVDISCARD_ALL;
  FM->FVideoStream = nullptr;
  FVideoStreamIndex = -1;
}

void TAVPlayer::Impl::DestroyVideoFilterGraph() {
  avfilter_graph_free(&FM->video_graph);
  FM->filt_src = nullptr;
  FM->filt_out = nullptr;
}

bool TAVPlayer::Impl::IsMediacodec() const {
  if (!FM->FVideoCodecCtx || !FHardwareAccelerated) return false;
  switch (FM->FVideoCodecCtx->codec_id) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
    case AV_CODEC_ID_MPEG4:
    case AV_CODEC_ID_VP8:
    case AV_CODEC_ID_VP9:
      return true;
    default:
      return false;
  }
}

AVPixelFormat TAVPlayer::Impl::ChooseOutputFormat(int decoded) const {
  if (decoded == AV_PIX_FMT_MEDIACODEC) return AV_PIX_FMT_MEDIACODEC;
  if (FRGBMode.load()) return AV_PIX_FMT_RGBA;
  if (decoded != AV_PIX_FMT_NV12) return AV_PIX_FMT_YUV420P;
  if (FForceYv12.load()) return AV_PIX_FMT_YUV420P;
  return AV_PIX_FMT_NV12;
}

bool TAVPlayer::Impl::GuessPictureSize(int& w, int& h) const {
  // Filters of the application's may change the size, and a cover is not
  // cut. The size comes from the file's headers before any picture proved
  // it: beyond 4K (a damaged header, say) nothing is made ahead.
  if (!FVideoMoving.load() || !VideoFilters().empty()) return false;
  w = CutTo16(FCodecWidth.load());
  h = CutTo16(FCodecHeight.load());
  return w > 0 && h > 0 && static_cast<int64_t>(w) * h <= 3840 * 2160;
}

void TAVPlayer::Impl::WarmPictureMemory() {
  // Only RGB pictures are converted from every decoder's format.
  int w, h;
  if (!FRGBMode.load() || !GuessPictureSize(w, h)) return;
  AVFrame* picture = PictureMemory::NewPicture(AV_PIX_FMT_RGBA, w, h);
  // Freed at once: its pages stay mapped and present for the next picture
  // of this size.
  av_frame_free(&picture);
}

bool TAVPlayer::Impl::QuickDecode(TQuickStart& quick, AVPacket* pkt, AVFrame* frame) {
  AVCodecContext* main = FM->FVideoCodecCtx.get();
  // Worth it only where the main decoder holds pictures back.
  const bool delayed = main->has_b_frames > 0 || (main->active_thread_type & FF_THREAD_FRAME);
  if (quick.failed || !delayed || !(pkt->flags & AV_PKT_FLAG_KEY) || !pkt->data) return false;
  if (!quick.ctx) {
    AVDictionaryHolder opts;
    av_dict_copy(&opts, FM->codec_opts.get(), 0);
    av_dict_set(&opts, "threads", "1", 0);
    try {
      quick.ctx = OpenStreamDecoder(FM->FVideoStream, opts.get(), 1);
    } catch (const std::exception&) {
      quick.ctx.reset();
    }
    if (!quick.ctx) {
      quick.failed = true;
      return false;
    }
  }
  AVCodecContext* ctx = quick.ctx.get();
  avcodec_flush_buffers(ctx);
  if (avcodec_send_packet(ctx, pkt) < 0 || avcodec_send_packet(ctx, nullptr) < 0) return false;
  const int ret = avcodec_receive_frame(ctx, frame);
  avcodec_flush_buffers(ctx);  // drained: ready for the next seek
  if (ret < 0) return false;
  if (frame->best_effort_timestamp == AV_NOPTS_VALUE) {
    // Without a time the main decoder's copy could not be told apart.
    av_frame_unref(frame);
    return false;
  }
  return true;
}

// Returns 1 with a frame to show, 0 with nothing (yet), -1 when the queue was
// aborted. Send/receive decoding: a frame is taken from the decoder first,
// and only when it has none another packet is fed.
int TAVPlayer::Impl::get_video_frame(AVFrame* frame, AVPacket* pkt, int& serial, TQuickStart& quick) {
  AVCodecContext* ctx = FM->FVideoCodecCtx.get();
  for (;;) {
    if (FM->video_pkt_serial == FVideoQ->Serial()) {
      const int ret = avcodec_receive_frame(ctx, frame);
      if (ret >= 0 && quick.serial == FM->video_pkt_serial && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        // Up to the quick decoder's picture, the main decoder's pictures were
        // shown already (that one) or come before it (leading pictures of an
        // open group). The first one after it ends the rule, so a later jump
        // back in the stream's times cannot hide pictures.
        const int64_t t = frame->best_effort_timestamp;
        if (t >= quick.pts) quick.serial = -1;
        if (t <= quick.pts) {
          av_frame_unref(frame);
          continue;
        }
      }
      if (ret >= 0) break;
      if (ret == AVERROR_EOF) {
        video_finished = FM->video_pkt_serial;
        avcodec_flush_buffers(ctx);  // ready for data after a seek back
      }
    }
    if (!FM->video_packet_pending) {
      av_packet_unref(pkt);
      if (FVideoQ->Get(pkt, true, &FM->video_pkt_serial) < 0) return -1;
      if (FVideoQ->IsEofPkt(pkt)) {
        DoPlaybackFinished();
        continue;
      }
      if (FVideoQ->IsFlushPkt(pkt)) {
        avcodec_flush_buffers(ctx);
        quick.armed = true;
        quick.serial = -1;
        continue;
      }
      if (FM->video_pkt_serial != FVideoQ->Serial()) continue;  // from before a seek
      if (quick.armed) {
        quick.armed = false;
        if (QuickDecode(quick, pkt, frame)) {
          quick.serial = FM->video_pkt_serial;
          quick.pts = frame->best_effort_timestamp;
          // The packet still goes to the main decoder, on the next call.
          FM->video_packet_pending = true;
          break;
        }
      }
    }
    const int ret = avcodec_send_packet(ctx, pkt->data ? pkt : nullptr);
    if (ret == AVERROR(EAGAIN)) {
      FM->video_packet_pending = true;  // the decoder wants its frames taken first
    } else {
      FM->video_packet_pending = false;
      if (ret < 0 && ret != AVERROR_EOF) DoLog(AV_LOG_WARNING, "video decode error: " + AVErrorString(ret));
      av_packet_unref(pkt);
    }
  }
  serial = FM->video_pkt_serial;
  frame->pts = frame->best_effort_timestamp;
  const double dpts = frame->pts == AV_NOPTS_VALUE ? NAN : frame->pts * av_q2d(FM->FVideoStream->time_base);
  if (FFrameDrop.load() && !std::isnan(dpts)) {
    const double diff = dpts - get_master_clock();
    if (!std::isnan(diff) && std::fabs(diff) < AV_NOSYNC_THRESHOLD &&
        diff - frame_last_filter_delay.load() < 0 && serial == clock_serial(vidclk) && FVideoQ->NbPackets() > 0 &&
        get_master_sync_type() != 1) {
      FFramesDropped++;
      av_frame_unref(frame);
      return 0;
    }
  }
  FM->frame_last_returned_time = NowSeconds();
  return 1;
}

AVPixelFormat TAVPlayer::Impl::configure_video_filters(AVFrame* frame) {
  DestroyVideoFilterGraph();
  const AVRational fr = guess_frame_rate(FM->FIc, FM->FVideoStream, FM->FVideoCodecCtx.get(), nullptr);
  FM->video_graph = avfilter_graph_alloc();
  if (!FM->video_graph) throw Exception("Can not create filter");
  FM->video_graph->scale_sws_opts = av_strdup(Format("flags=%d", FSwsFlags).c_str());
  AVRational sar = frame->sample_aspect_ratio;
  if (sar.num == 0) sar = FM->FVideoCodecCtx->sample_aspect_ratio;
  std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", frame->width,
                            frame->height, frame->format, FM->FVideoStream->time_base.num, FM->FVideoStream->time_base.den,
                            sar.num, std::max(sar.den, 1));
  if (fr.num && fr.den) args += Format(":frame_rate=%d/%d", fr.num, fr.den);
  if (avfilter_graph_create_filter(&FM->filt_src, avfilter_get_by_name("buffer"), "ffplay_buffer", args.c_str(), nullptr,
                                   FM->video_graph) < 0)
    throw Exception("Can not create filter");
  const AVPixelFormat outFmt = ChooseOutputFormat(frame->format);
  FOutputPixelFormat = outFmt;
  FDecodedPixelFormat = frame->format;
  if (avfilter_graph_create_filter(&FM->filt_out, avfilter_get_by_name("buffersink"), "ffplay_buffersink", nullptr,
                                   nullptr, FM->video_graph) < 0)
    throw Exception("Can not create buffersink filter");
  // Hardware pictures are handed on as they are. Everything else leaves the
  // graph in whatever format its filters end with and is converted into the
  // views' format by the video thread, into PictureMemory (see
  // TPictureConverter below).
  if (outFmt == AV_PIX_FMT_MEDIACODEC) {
    const int fmts[2] = {outFmt, -1};
    if (opt_set_int_list(FM->filt_out, "pix_fmts", AV_OPT_SEARCH_CHILDREN, static_cast<uint64_t>(-1), 4, fmts) < 0)
      throw Exception("Can not create pix format filter");
  }
  const std::string filters = VideoFilters();
  if (outFmt == AV_PIX_FMT_MEDIACODEC) {
    configure_filtergraph(FM->video_graph, filters, FM->filt_src, FM->filt_out);
  } else {
    // Pictures are cut to whole multiples of 16 pixels, the views' unit;
    // a side shorter than 16 is kept whole rather than cut to nothing.
    AVFilterContext* crop = nullptr;
    if (avfilter_graph_create_filter(&crop, avfilter_get_by_name("crop"), "ffplay_crop",
                                     "if(lt(in_w\\,16)\\,in_w\\,floor(in_w/16)*16):"
                                     "if(lt(in_h\\,16)\\,in_h\\,floor(in_h/16)*16)",
                                     nullptr, FM->video_graph) < 0)
      throw Exception("Can not create crop filter");
    if (avfilter_link(crop, 0, FM->filt_out, 0) < 0) throw Exception("Can not link filter crop");
    configure_filtergraph(FM->video_graph, filters, FM->filt_src, crop);
  }
  FGraphWidth = av_buffersink_get_w(FM->filt_out);
  FGraphHeight = av_buffersink_get_h(FM->filt_out);
  // Sized already at the open when the guess was right (the usual case): the
  // first picture then does not wait for the views.
  const uint64_t sized = ViewsSizeKey(RoundTo16(FGraphWidth.load()), FGraphHeight.load(), FViewsEpoch.load());
  if (FViewsSizedTo.load() != sized) ViewsFromMovie([this] { UpdateBitmapSize(); });
  return outFmt;
}

int TAVPlayer::Impl::queue_picture(AVFrame* frame, double pts, double duration, int64_t pos, int serial) {
  {
    std::unique_lock<std::mutex> g(FPictQMutex);
    FPictQCond.wait(g, [this] { return pictq_size < 2 || FVideoQ->Aborted() || FAbortRequest.load(); });
    if (FVideoQ->Aborted() || FAbortRequest.load()) return -1;
    FSar = frame->sample_aspect_ratio;
  }
  TVideoPicture& vp = FPictq[pictq_windex];
  const int w = RoundTo16(GetVideoWidth()), h = GetVideoHeight();
  {
    std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
    if (vp.width != w || vp.height != h) {
      vp.width = w;
      vp.height = h;
      av_frame_free(&vp.bmp);
      vp.pix_fmt = frame->format;
    }
    av_frame_free(&vp.bmp);
    // The picture moves into the queue: no copy, no new reference.
    vp.bmp = av_frame_alloc();
    if (!vp.bmp) return -1;
    av_frame_move_ref(vp.bmp, frame);
  }
  vp.pts = pts;
  vp.duration = duration;
  vp.pos = pos;
  vp.serial = serial;
  pictq_windex = (pictq_windex + 1) % VIDEO_PICTURE_QUEUE_SIZE;
  {
    std::lock_guard<std::mutex> g(FPictQMutex);
    pictq_size++;
    FRefreshKick++;
  }
  FPictQCond.notify_all();
  return 0;
}

void TAVPlayer::Impl::pictq_next_picture() {
  pictq_rindex = (pictq_rindex + 1) % VIDEO_PICTURE_QUEUE_SIZE;
  std::lock_guard<std::mutex> g(FPictQMutex);
  pictq_size--;
  FPictQCond.notify_all();
}

void TAVPlayer::Impl::FreeQueueFrames() {
  std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
  for (TVideoPicture& vp : FPictq) {
    av_frame_free(&vp.bmp);
    vp.width = vp.height = 0;
  }
}

void TAVPlayer::Impl::FlushVideoQueue() {
  {
    std::unique_lock<std::mutex> g(FPictQMutex);
    // While paused nobody takes pictures, so the wait ends there too (a
    // pause wakes this wait).
    FPictQCond.wait(g, [this] {
      return pictq_size <= 0 || FVideoQ->Aborted() || FAbortRequest.load() || FPaused.load();
    });
  }
  frame_timer = NowSeconds();
}

namespace {

// Converts the graph's pictures into the views' format. The conversion
// writes into PictureMemory, and follows each picture's own
// size, format, colour matrix and range.
class TPictureConverter {
public:
  ~TPictureConverter() { sws_freeContext(FSws); }

  // A new picture in `format`, or nullptr when the picture cannot be
  // converted (a format the scaler does not read, out of memory).
  AVFrame* Convert(const AVFrame* in, AVPixelFormat format, int flags) {
    const auto inFmt = static_cast<AVPixelFormat>(in->format);
    if (in->width != FWidth || in->height != FHeight || inFmt != FIn || format != FOut || flags != FFlags) {
      FColorspace = FRange = -1;
      FWidth = in->width;
      FHeight = in->height;
      FIn = inFmt;
      FOut = format;
      FFlags = flags;
    }
    FSws = sws_getCachedContext(FSws, in->width, in->height, inFmt, in->width, in->height, format, flags, nullptr,
                                nullptr, nullptr);
    if (!FSws) return nullptr;
    if (in->colorspace != FColorspace || in->color_range != FRange) {
      FColorspace = in->colorspace;
      FRange = in->color_range;
      const int full = in->color_range == AVCOL_RANGE_JPEG;
      int* inv = nullptr;
      int* table = nullptr;
      int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
      if (sws_getColorspaceDetails(FSws, &inv, &srcRange, &table, &dstRange, &brightness, &contrast, &saturation) >= 0)
        sws_setColorspaceDetails(FSws, sws_getCoefficients(in->colorspace), full || srcRange, table, dstRange,
                                 brightness, contrast, saturation);
    }
    AVFramePtr out(PictureMemory::NewPicture(format, in->width, in->height));
    if (!out) return nullptr;
    if (sws_scale(FSws, in->data, in->linesize, 0, in->height, out->data, out->linesize) <= 0) return nullptr;
    av_frame_copy_props(out.get(), in);
    return out.release();
  }

private:
  SwsContext* FSws = nullptr;
  int FWidth = 0, FHeight = 0, FFlags = 0;
  AVPixelFormat FIn = AV_PIX_FMT_NONE, FOut = AV_PIX_FMT_NONE;
  int FColorspace = -1, FRange = -1;
};

}  // namespace

void TAVPlayer::Impl::VideoThreadExecute() {
  TThreadLoggerGuard logger(&q);
  TCLocaleScope numbers;  // filter texts are read with C number rules
  AVFramePtr frame(av_frame_alloc());
  AVPacketPtr pkt(av_packet_alloc());
  if (!frame || !pkt) return;
  int last_w = 0, last_h = 0, last_fmt = -2;
  TPictureConverter converter;
  TQuickStart quick;
  AVPixelFormat outFmt = AV_PIX_FMT_NONE;  // the views' format, chosen with the graph
  bool convertFailed = false;
  AVRational frame_rate = guess_frame_rate(FM->FIc, FM->FVideoStream, FM->FVideoCodecCtx.get(), nullptr);
  int serial = 0;
  try {
    for (;;) {
      {
        std::unique_lock<std::mutex> g(FPauseLock);
        FPauseCond.wait(g, [this] { return !FPaused.load() || FVideoQ->Aborted() || FAbortRequest.load(); });
      }
      if (FAbortRequest.load()) break;
      const int got = get_video_frame(frame.get(), pkt.get(), serial, quick);
      if (got < 0) break;
      if (got == 0) continue;
      if (frame->width != last_w || frame->height != last_h || frame->format != last_fmt ||
          FVideoFiltersChanged.load() || !FM->video_graph) {
        if (FVideoFiltersChanged.load() && FM->video_graph) {
          FlushVideoQueue();
        }
        FVideoFiltersChanged = false;
        outFmt = configure_video_filters(frame.get());
        last_w = frame->width;
        last_h = frame->height;
        last_fmt = frame->format;
        frame_rate = av_buffersink_get_frame_rate(FM->filt_out);
      }
      if (const int ret = av_buffersrc_add_frame(FM->filt_src, frame.get()); ret < 0) {
        DoLog(AV_LOG_ERROR, "video filter input failed: " + AVErrorString(ret));
        break;
      }
      for (;;) {
        FM->frame_last_returned_time = NowSeconds();
        const int ret = av_buffersink_get_frame_flags(FM->filt_out, frame.get(), 0);
        if (ret < 0) {
          if (ret == AVERROR_EOF) video_finished = serial;
          break;
        }
        double delay = NowSeconds() - FM->frame_last_returned_time;
        if (std::fabs(delay) > AV_NOSYNC_THRESHOLD / 10.0) delay = 0;
        frame_last_filter_delay = delay;
        const AVRational otb = av_buffersink_get_time_base(FM->filt_out);
        const double duration = frame_rate.num && frame_rate.den ? av_q2d(AVRational{frame_rate.den, frame_rate.num}) : 0;
        const double pts = frame->pts == AV_NOPTS_VALUE ? NAN : frame->pts * av_q2d(otb);
        const int64_t pos = frame->pkt_pos;
        if (frame->format != outFmt) {
          AVFramePtr converted(converter.Convert(frame.get(), outFmt, FSwsFlags));
          av_frame_unref(frame.get());
          if (!converted) {
            if (!convertFailed) DoLog(AV_LOG_ERROR, "video pictures cannot be converted for display");
            convertFailed = true;
            continue;
          }
          av_frame_move_ref(frame.get(), converted.get());
        }
        const int r = queue_picture(frame.get(), pts, duration, pos, serial);
        av_frame_unref(frame.get());
        if (r < 0) return;
      }
    }
  } catch (const std::exception& e) {
    // A filter that cannot be built ends this thread; the movie stays open.
    DoLog(AV_LOG_ERROR, e.what());
  }
}

}  // namespace kivora
