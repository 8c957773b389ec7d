#include "kivora/preview/preview_decoder_impl.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kivora/runtime/avlib.h"

namespace kivora {

TPreviewDecoder::Impl::~Impl() { Close(); }

int TPreviewDecoder::Impl::InterruptCallback(void* opaque) noexcept {
  auto* self = static_cast<Impl*>(opaque);
  if (self->FAbort.load()) return 1;
  const int64_t deadline = self->FDeadline.load();
  return deadline != 0 && av_gettime_relative() > deadline ? 1 : 0;
}

void TPreviewDecoder::Impl::StartDeadline() {
  FDeadline.store(FTimeoutMs > 0 ? av_gettime_relative() + int64_t{FTimeoutMs} * 1000 : 0);
}

bool TPreviewDecoder::Impl::Fail(const std::string& what, int err) {
  FLastError = err ? what + ": " + AVErrorString(err) : what;
  return false;
}

bool TPreviewDecoder::Impl::Open(const std::string& fileName) {
  Close();
  FLastError.clear();
  LoadLibs();
  StartDeadline();
  FFrame.reset(av_frame_alloc());
  FScratch.reset(av_frame_alloc());
  FPacket.reset(av_packet_alloc());
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw || !FFrame || !FScratch || !FPacket) {
    avformat_free_context(raw);
    Close();
    return Fail("out of memory");
  }
  raw->interrupt_callback.callback = InterruptCallback;
  raw->interrupt_callback.opaque = this;
  // On failure avformat_open_input frees the context itself.
  int ret = OpenInputUrl(&raw, fileName, nullptr, nullptr, FIO);
  if (ret < 0) {
    Close();
    return Fail("cannot open '" + fileName + "'", ret);
  }
  FFormat.reset(raw);
  auto failed = [this](const std::string& what, int err = 0) {
    Close();
    return Fail(what, err);
  };
  if ((ret = avformat_find_stream_info(FFormat.get(), nullptr)) < 0)
    return failed("cannot read the stream information", ret);
  FVideoStream = av_find_best_stream(FFormat.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (FVideoStream < 0) return failed("no video stream");
  AVStream* st = FFormat->streams[FVideoStream];
  // Only the video stream is read; the demuxer skips the others cheaply.
  for (unsigned i = 0; i < FFormat->nb_streams; ++i)
    if (static_cast<int>(i) != FVideoStream) FFormat->streams[i]->discard = AVDISCARD_ALL;
  FDuration = FFormat->duration != AV_NOPTS_VALUE && FFormat->duration > 0
                  ? static_cast<double>(FFormat->duration) / AV_TIME_BASE
                  : NAN;
  FFrameRate = st->r_frame_rate.den != 0 ? av_q2d(st->r_frame_rate) : 0;
  // Times are counted from the first picture: the container's start may be
  // an audio stream's, a few milliseconds earlier.
  if (st->start_time != AV_NOPTS_VALUE)
    FStartTime = av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q);
  else if (FFormat->start_time != AV_NOPTS_VALUE)
    FStartTime = FFormat->start_time;
  else
    FNoTimestamps = true;

  if (!OpenCodec()) {
    Close();  // keeps LastError
    return false;
  }
  if (FCodec->pix_fmt != AV_PIX_FMT_NONE) av_pix_fmt_get_chroma_sub_sample(FCodec->pix_fmt, &FHSub, &FVSub);
  FAtStart = true;
  FNextTime = FStartTime;
  return true;
}

void TPreviewDecoder::Impl::Close() {
  FSws.reset();
  FSwsSetup = SwsSetup{};
  FFrame.reset();
  FScratch.reset();
  FPacket.reset();
  FCodec.reset();
  FFormat.reset();
  FIO.reset();
  FVideoStream = -1;
  FHasPicture = false;
  FDraining = false;
  FAtStart = false;
  FPending = false;
  FNoTimestamps = false;
  FPictureTime = FScratchTime = FNextTime = AV_NOPTS_VALUE;
  FStartTime = 0;
  FDuration = 0;
  FFrameRate = 0;
  FHSub = FVSub = 0;
}

int64_t TPreviewDecoder::Impl::FrameTimeUs(const AVFrame* f) {
  const AVStream* st = FFormat->streams[FVideoStream];
  const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
  // Pictures without a time of their own (raw streams) are counted from the
  // last one that had one, or from the start.
  const int64_t t = ts != AV_NOPTS_VALUE ? av_rescale_q(ts, st->time_base, AV_TIME_BASE_Q) : FNextTime;
  if (t == AV_NOPTS_VALUE) return t;
  int64_t duration = f->pkt_duration > 0 ? av_rescale_q(f->pkt_duration, st->time_base, AV_TIME_BASE_Q) : 0;
  if (duration <= 0 && FFrameRate > 0) duration = std::llround(AV_TIME_BASE / FFrameRate);
  FNextTime = t + duration;
  return t;
}

void TPreviewDecoder::Impl::KeepPicture() {
  std::swap(FFrame, FScratch);
  av_frame_unref(FScratch.get());
  FHasPicture = true;
  FPictureTime = FScratchTime == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : FScratchTime - FStartTime;
}

bool TPreviewDecoder::Impl::OpenCodec() {
  AVStream* st = FFormat->streams[FVideoStream];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return Fail(std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id));
  FCodec.reset(avcodec_alloc_context3(codec));
  if (!FCodec) return Fail("out of memory");
  int ret = avcodec_parameters_to_context(FCodec.get(), st->codecpar);
  if (ret < 0) return Fail("cannot set up the decoder", ret);
  FCodec->pkt_timebase = st->time_base;
  FCodec->thread_count = FThreadCount;  // 0: as many as the machine has
  if ((ret = avcodec_open2(FCodec.get(), codec, nullptr)) < 0)
    return Fail(std::string("cannot open the decoder ") + codec->name, ret);
  FSizeChanged = false;
  FDraining = false;
  FPending = false;
  return true;
}

int TPreviewDecoder::Impl::SeekTo(int64_t absoluteUs) {
  const int flags = FFormat->iformat->flags;
  // Time seeks in MPEG-TS land by byte position and may miss the start;
  // streams without timestamps (raw H.264) can only start over.
  const bool startByBytes = !(flags & AVFMT_NO_BYTE_SEEK) &&
                            ((flags & AVFMT_TS_DISCONT) || FNoTimestamps) &&
                            std::string(FFormat->iformat->name) != "ogg";
  int result = -1;
  int ret = AVERROR(EPERM);
  if (startByBytes && (absoluteUs <= FStartTime || FNoTimestamps)) {
    ret = av_seek_frame(FFormat.get(), -1, 0, AVSEEK_FLAG_BYTE);
    result = 0;
  }
  if (ret < 0 && !FNoTimestamps) {
    ret = av_seek_frame(FFormat.get(), -1, absoluteUs, AVSEEK_FLAG_BACKWARD);
    result = 1;
  }
  if (ret < 0 && startByBytes) {
    ret = av_seek_frame(FFormat.get(), -1, 0, AVSEEK_FLAG_BYTE);
    result = 0;
  }
  if (ret < 0) {
    Fail("cannot seek", ret);
    return -1;
  }
  if (FSizeChanged) {
    // Parameter sets met later in the stream stay in a flushed decoder and
    // would be applied to earlier pictures: start a fresh one.
    if (!OpenCodec()) return -1;
  } else {
    avcodec_flush_buffers(FCodec.get());
    FDraining = false;
    FPending = false;
    av_frame_unref(FScratch.get());
  }
  FNextTime = result == 0 ? FStartTime : AV_NOPTS_VALUE;
  return result;
}

int TPreviewDecoder::Impl::ReceiveNext() {
  if (FPending) {
    FPending = false;
    return 1;
  }
  for (;;) {
    int ret = avcodec_receive_frame(FCodec.get(), FScratch.get());
    if (ret >= 0) {
      FScratchTime = FrameTimeUs(FScratch.get());
      const AVCodecParameters* par = FFormat->streams[FVideoStream]->codecpar;
      if (FScratch->width != par->width || FScratch->height != par->height) FSizeChanged = true;
      return 1;
    }
    if (ret == AVERROR_EOF) return 0;
    if (ret != AVERROR(EAGAIN)) return ret;
    if (FDraining) return 0;
    ret = av_read_frame(FFormat.get(), FPacket.get());
    if (ret == AVERROR_EXIT) return ret;  // interrupted: timeout or Abort
    if (ret < 0) {
      // The end of the data, or data that cannot be read further: what the
      // decoder still holds comes out with the null packet.
      FDraining = true;
      avcodec_send_packet(FCodec.get(), nullptr);
      continue;
    }
    FAtStart = false;
    if (FPacket->stream_index == FVideoStream) {
      // Before an accurate target, a picture followed by a later one that
      // still lies at or before the target is never the one shown: if no
      // other picture refers to it, the decoder may skip it.
      AVDiscard skip = AVDISCARD_DEFAULT;
      if (FSkipTarget != AV_NOPTS_VALUE && FPacket->pts != AV_NOPTS_VALUE) {
        const int64_t t = av_rescale_q(FPacket->pts, FFormat->streams[FVideoStream]->time_base, AV_TIME_BASE_Q);
        if (FLatestSent != AV_NOPTS_VALUE && t < FLatestSent && FLatestSent <= FSkipTarget) skip = AVDISCARD_NONREF;
        if (FLatestSent == AV_NOPTS_VALUE || t > FLatestSent) FLatestSent = t;
      }
      FCodec->skip_frame = skip;
      ret = avcodec_send_packet(FCodec.get(), FPacket.get());
      av_packet_unref(FPacket.get());
      // A damaged packet is skipped; the next key frame recovers.
      if (ret < 0 && ret != AVERROR_INVALIDDATA && ret != AVERROR(EAGAIN)) return ret;
    } else {
      av_packet_unref(FPacket.get());
    }
  }
}

int64_t TPreviewDecoder::Impl::EndTime() const {
  const AVFormatContext* fc = FFormat.get();
  if (fc->duration == AV_NOPTS_VALUE || fc->duration <= 0 ||
      fc->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE)
    return AV_NOPTS_VALUE;
  const int64_t start = fc->start_time != AV_NOPTS_VALUE ? fc->start_time : 0;
  int64_t end = 0;
  return __builtin_add_overflow(start, fc->duration, &end) ? AV_NOPTS_VALUE : end;
}

bool TPreviewDecoder::Impl::DecodeAt(int64_t targetUs, bool accurate) {
  if (!IsOpen()) return Fail("not open");
  StartDeadline();
  FPastEnd = false;
  int64_t target = 0;
  if (__builtin_add_overflow(FStartTime, targetUs, &target)) return Fail("the time lies outside the stream");
  int64_t from = target;
  // A target past the end is sought at the end: what lies beyond it is the
  // last picture, and a time that large may not survive the container's own
  // conversion to its time base.
  const int64_t end = EndTime();
  if (end != AV_NOPTS_VALUE && target >= end) {
    FPastEnd = true;
    from = end;
  }
  // Pictures skipped on the way hold nothing the answer needs; the guard
  // switches the skipping off again whichever way this returns.
  struct SkipGuard {
    Impl& d;
    ~SkipGuard() {
      d.FSkipTarget = d.FLatestSent = AV_NOPTS_VALUE;
      if (d.FCodec) d.FCodec->skip_frame = AVDISCARD_DEFAULT;
    }
  } skipGuard{*this};
  if (accurate && !FPastEnd) FSkipTarget = target;
  if (accurate && !FPastEnd && CanCarryOn(target)) {
    // The picture still pending may be past the target already: then the
    // one shown now is the answer.
    if (FPending && FScratchTime != AV_NOPTS_VALUE && FScratchTime > target) return true;
    const int r = DecodeUpTo(target, true, false, false, true);
    if (r >= 0) return r == 1;
  }
  int64_t backoff = AV_TIME_BASE;
  // Right after the open the read position is the start already.
  bool atStart = FAtStart && targetUs <= 0;
  for (;;) {
    FLatestSent = AV_NOPTS_VALUE;
    // Exact: the seek went to the key frame at or before the target, so the
    // first picture is the key-frame answer. Otherwise the picture is found
    // by decoding forward, remembering the last key frame up to the target.
    bool exact = true;
    if (!atStart) {
      const int sought = SeekTo(from);
      if (sought < 0) return false;
      exact = sought == 1 && from == target;
      atStart = sought == 0 || from <= FStartTime;
    }
    const int r = DecodeUpTo(target, accurate, exact, atStart);
    if (r >= 0) return r == 1;
    // Container seeks are not always exact (MPEG-TS lands by byte position):
    // a seek that gave nothing, or only pictures after the target, goes again
    // from further back.
    from = std::max(FStartTime, from - backoff);
    backoff *= 2;
  }
}

bool TPreviewDecoder::Impl::CanCarryOn(int64_t target) const {
  if (!FHasPicture || FDraining || FSizeChanged || FPictureTime == AV_NOPTS_VALUE) return false;
  const int64_t shown = FPictureTime + FStartTime;
  if (target < shown) return false;
  const int64_t position = FPending && FScratchTime != AV_NOPTS_VALUE ? FScratchTime : shown;
  AVStream* st = FFormat->streams[FVideoStream];
  const int idx = av_index_search_timestamp(st, av_rescale_q(target, AV_TIME_BASE_Q, st->time_base),
                                            AVSEEK_FLAG_BACKWARD);
  const AVIndexEntry* key = idx >= 0 ? avformat_index_get_entry(st, idx) : nullptr;
  // A seek would land on the key frame at or before the target: if that is
  // not past the current position, going on decodes no more than the seek.
  // Without an index only a short way on is worth it.
  if (key) return av_rescale_q(key->timestamp, st->time_base, AV_TIME_BASE_Q) <= position;
  return target - position <= AV_TIME_BASE / 2;
}

int TPreviewDecoder::Impl::DecodeUpTo(int64_t target, bool accurate, bool exact, bool atStart, bool carried) {
  // Carried on from the last answer: the picture shown lies at or before the
  // target and stands until a later one is found.
  bool kept = carried;
  bool first = !carried;
  for (;;) {
    const int r = ReceiveNext();
    if (kept && r <= 0) {
      // The data ended before any picture after the target: the target lies
      // at or past the end of the last one.
      if (r == 0 && FNextTime != AV_NOPTS_VALUE && target >= FNextTime) FPastEnd = true;
      return 1;
    }
    if (r < 0) {
      Fail("cannot decode", r);
      return 0;
    }
    if (r == 0) {
      if (!atStart) return -1;
      Fail("no picture");
      return 0;
    }
    const int64_t t = FScratchTime;
    const bool after = t != AV_NOPTS_VALUE && t > target;
    if (first && after && !atStart) return -1;
    first = false;
    if (!accurate && exact) {
      KeepPicture();
      return 1;
    }
    if (after) {
      // The picture on screen at the target is the one kept; a target before
      // every picture shows the first. A later picture stays for the next
      // request, which may carry on from here.
      if (!kept) KeepPicture();
      else FPending = true;
      return 1;
    }
    if (accurate || FScratch->key_frame || !kept) {
      KeepPicture();
      kept = true;
    } else {
      av_frame_unref(FScratch.get());
    }
  }
}

bool TPreviewDecoder::Impl::DecodeNext() {
  if (!IsOpen()) return Fail("not open");
  StartDeadline();
  const int r = ReceiveNext();
  if (r <= 0) return r < 0 ? Fail("cannot decode", r) : false;
  KeepPicture();
  return true;
}

bool TPreviewDecoder::Impl::ToBitmap(TBitmap& bitmap, int swsFlags) {
  const AVFrame* f = Frame();
  if (!f || f->width <= 0 || f->height <= 0) return false;
  const auto fmt = static_cast<AVPixelFormat>(f->format);
  if (fmt == AV_PIX_FMT_NONE || !sws_isSupportedInput(fmt)) return Fail("pixel format cannot be converted");
  const SwsSetup setup{f->width, f->height, fmt, swsFlags, f->colorspace, f->color_range};
  FSws.reset(sws_getCachedContext(FSws.release(), f->width, f->height, fmt, f->width, f->height,
                                  AV_PIX_FMT_RGBA, swsFlags, nullptr, nullptr, nullptr));
  if (!FSws) return Fail("no converter to RGBA");
  if (setup != FSwsSetup) {
    // The scaler takes every picture for BT.601 limited range unless told
    // otherwise; HD pictures are mostly BT.709 and would come out tinted.
    int *inv = nullptr, *table = nullptr;
    int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(FSws.get(), &inv, &srcRange, &table, &dstRange, &brightness, &contrast,
                                 &saturation) >= 0) {
      // A "J" format is full range already; the tag says so for the others.
      const int full = srcRange || f->color_range == AVCOL_RANGE_JPEG;
      sws_setColorspaceDetails(FSws.get(), sws_getCoefficients(f->colorspace), full, table, dstRange, brightness,
                               contrast, saturation);
    }
    FSwsSetup = setup;
  }
  bitmap.SetSize(f->width, f->height);
  TBitmapData d;
  if (!bitmap.Map(TMapAccess::Write, d)) return Fail("the bitmap cannot be written");
  uint8_t* dst[4] = {d.Data, nullptr, nullptr, nullptr};
  const int dstStride[4] = {d.Pitch, 0, 0, 0};
  sws_scale(FSws.get(), f->data, f->linesize, 0, f->height, dst, dstStride);
  bitmap.Unmap(d);
  return true;
}

// The public face: each call goes to the Impl.
static_assert(SWS_BICUBIC == 4, "ToBitmap's default scaler flags");

TPreviewDecoder::TPreviewDecoder() : d(std::make_unique<Impl>()) {}
TPreviewDecoder::~TPreviewDecoder() = default;
bool TPreviewDecoder::Open(const std::string& fileName) { return d->Open(fileName); }
void TPreviewDecoder::Close() { d->Close(); }
bool TPreviewDecoder::IsOpen() const { return d->IsOpen(); }
bool TPreviewDecoder::DecodeAt(int64_t targetUs, bool accurate) { return d->DecodeAt(targetUs, accurate); }
bool TPreviewDecoder::PastEnd() const { return d->PastEnd(); }
bool TPreviewDecoder::DecodeNext() { return d->DecodeNext(); }
const AVFrame* TPreviewDecoder::Frame() const { return d->Frame(); }
int64_t TPreviewDecoder::PictureTime() const { return d->PictureTime(); }
bool TPreviewDecoder::ToBitmap(TBitmap& bitmap, int swsFlags) { return d->ToBitmap(bitmap, swsFlags); }
int64_t TPreviewDecoder::StartTime() const { return d->StartTime(); }
double TPreviewDecoder::Duration() const { return d->Duration(); }
double TPreviewDecoder::FrameRate() const { return d->FrameRate(); }
int TPreviewDecoder::HSub() const { return d->HSub(); }
int TPreviewDecoder::VSub() const { return d->VSub(); }
AVFormatContext* TPreviewDecoder::FormatContext() const { return d->FormatContext(); }
AVCodecContext* TPreviewDecoder::CodecContext() const { return d->CodecContext(); }
int TPreviewDecoder::VideoStream() const { return d->VideoStream(); }
int TPreviewDecoder::TimeoutMs() const { return d->TimeoutMs(); }
void TPreviewDecoder::SetTimeoutMs(int ms) { d->SetTimeoutMs(ms); }
int TPreviewDecoder::ThreadCount() const { return d->ThreadCount(); }
void TPreviewDecoder::SetThreadCount(int threads) { d->SetThreadCount(threads); }
void TPreviewDecoder::Abort() { d->Abort(); }
void TPreviewDecoder::ResetAbort() { d->ResetAbort(); }
const std::string& TPreviewDecoder::LastError() const { return d->LastError(); }

}  // namespace kivora
