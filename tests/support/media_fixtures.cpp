// MakeMedia: writes a media file with FFmpeg's encoders and muxers, feeding
// all streams in time order so the muxer interleaves them as a real file.
#include "support/media_fixtures.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivora/runtime/ffmpeg.h"

namespace kivora::testing {

namespace {

[[noreturn]] void Fail(const std::string& what, int err = 0) {
  std::string text = "MakeMedia: " + what;
  if (err < 0) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    text += ": ";
    text += buf;
  }
  throw std::runtime_error(text);
}

void Check(int err, const std::string& what) {
  if (err < 0) Fail(what, err);
}

// Owns the muxer and its file; closes the file even when writing failed.
struct OutputDeleter {
  void operator()(AVFormatContext* fc) const noexcept {
    if (!fc) return;
    if (fc->pb && !(fc->oformat->flags & AVFMT_NOFILE)) avio_closep(&fc->pb);
    avformat_free_context(fc);
  }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

struct SubtitleDeleter {
  void operator()(AVSubtitle* s) const noexcept {
    avsubtitle_free(s);
    delete s;
  }
};

const AVCodec* FindEncoder(AVCodecID id) {
  // Prefer the software encoders that are always there over hardware ones.
  const char* preferred = nullptr;
  if (id == AV_CODEC_ID_H264) preferred = "libx264";
  if (id == AV_CODEC_ID_MP3) preferred = "libmp3lame";
  if (id == AV_CODEC_ID_VORBIS) preferred = "libvorbis";
  if (id == AV_CODEC_ID_OPUS) preferred = "libopus";
  const AVCodec* codec = preferred ? avcodec_find_encoder_by_name(preferred) : nullptr;
  if (!codec) codec = avcodec_find_encoder(id);
  if (!codec) Fail(std::string("no encoder for ") + avcodec_get_name(id));
  return codec;
}

AVPixelFormat ChoosePixFmt(const AVCodec* codec, AVPixelFormat wanted) {
  if (codec->id == AV_CODEC_ID_MJPEG) return AV_PIX_FMT_YUVJ420P;
  if (!codec->pix_fmts) return wanted;
  for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
    if (*p == wanted) return wanted;
  return avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, AV_PIX_FMT_RGBA, 0, nullptr);
}

// Writes every packet the encoder has ready.
void Drain(AVFormatContext* fc, AVCodecContext* enc, AVStream* st) {
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) Fail("out of memory");
  for (;;) {
    const int err = avcodec_receive_packet(enc, pkt.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
    Check(err, "encoding");
    // Video encoders leave the duration empty; a picture lasts one frame
    // (the encoder's time base is 1/fps), which muxers need for the last one.
    if (pkt->duration == 0 && enc->codec_type == AVMEDIA_TYPE_VIDEO) pkt->duration = 1;
    av_packet_rescale_ts(pkt.get(), enc->time_base, st->time_base);
    pkt->stream_index = st->index;
    Check(av_interleaved_write_frame(fc, pkt.get()), "writing a packet");
  }
}

struct VideoOut {
  AVStream* st = nullptr;
  AVCodecContextPtr enc;
  SwsContextPtr sws;
  std::vector<uint8_t> rgba;
  int width = 0, height = 0;
  int next = 0;
};

AVCodecContextPtr OpenVideoEncoder(const MediaSpec& media, const AVCodec* codec, int width,
                                   int height, bool globalHeader, bool bFrames) {
  AVCodecContextPtr enc(avcodec_alloc_context3(codec));
  if (!enc) Fail("out of memory");
  enc->width = width;
  enc->height = height;
  enc->time_base = av_inv_q(media.fps);
  enc->framerate = media.fps;
  enc->pix_fmt = ChoosePixFmt(codec, media.pix_fmt);
  enc->colorspace = media.colorspace;
  enc->color_range = media.color_range;
  enc->gop_size = media.gop;
  enc->thread_count = 1;
  enc->sample_aspect_ratio = {1, 1};
  const bool hasBFrames = codec->id == AV_CODEC_ID_H264 || codec->id == AV_CODEC_ID_MPEG4 ||
                          codec->id == AV_CODEC_ID_MPEG2VIDEO ||
                          codec->id == AV_CODEC_ID_MPEG1VIDEO;
  enc->max_b_frames = hasBFrames && bFrames ? media.max_b_frames : 0;
  if (globalHeader) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionaryHolder opts;
  if (std::string(codec->name) == "libx264") {
    // Good enough quality that the frame-number cells read back exactly.
    av_dict_set(&opts, "preset", "veryfast", 0);
    av_dict_set(&opts, "crf", "18", 0);
    av_dict_set_int(&opts, "bf", enc->max_b_frames, 0);
    av_dict_set(&opts, "x264-params", "log=-1", 0);  // no statistics on stderr
  } else {
    enc->flags |= AV_CODEC_FLAG_QSCALE;
    enc->global_quality = FF_QP2LAMBDA * 3;
    enc->bit_rate = 4000000;
  }
  Check(avcodec_open2(enc.get(), codec, &opts), std::string("opening encoder ") + codec->name);
  return enc;
}

void SetupScaler(VideoOut& v) {
  v.sws.reset(sws_getContext(v.width, v.height, AV_PIX_FMT_RGBA, v.width, v.height,
                             v.enc->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!v.sws) Fail("no converter to the encoder's pixel format");
  if (v.enc->colorspace != AVCOL_SPC_UNSPECIFIED || v.enc->color_range != AVCOL_RANGE_UNSPECIFIED) {
    int *inv = nullptr, *table = nullptr;
    int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(v.sws.get(), &inv, &srcRange, &table, &dstRange, &brightness, &contrast,
                                 &saturation) < 0)
      Fail("the converter to the encoder's pixel format takes no colour details");
    const int* matrix = v.enc->colorspace != AVCOL_SPC_UNSPECIFIED ? sws_getCoefficients(v.enc->colorspace) : table;
    if (v.enc->color_range != AVCOL_RANGE_UNSPECIFIED) dstRange = v.enc->color_range == AVCOL_RANGE_JPEG;
    sws_setColorspaceDetails(v.sws.get(), inv, srcRange, matrix, dstRange, brightness, contrast, saturation);
  }
  v.rgba.assign(static_cast<size_t>(v.width) * v.height * 4, 0);
}

// A picture of frame n in the encoder's format.
AVFramePtr MakePicture(VideoOut& v, int n) {
  DrawTestPicture(v.rgba.data(), v.width, v.height, v.width * 4, n);
  AVFramePtr f(av_frame_alloc());
  if (!f) Fail("out of memory");
  f->format = v.enc->pix_fmt;
  f->width = v.width;
  f->height = v.height;
  Check(av_frame_get_buffer(f.get(), 0), "allocating a picture");
  const uint8_t* src[4] = {v.rgba.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {v.width * 4, 0, 0, 0};
  sws_scale(v.sws.get(), src, srcStride, 0, v.height, f->data, f->linesize);
  f->pts = n;
  return f;
}

struct AudioOut {
  AVStream* st = nullptr;
  AVCodecContextPtr enc;
  double tone = 440;
  int64_t next = 0;   // next sample to write
  int64_t total = 0;  // samples in the stream
};

AVCodecContextPtr OpenAudioEncoder(const MediaSpec& media, bool globalHeader) {
  const AVCodec* codec = FindEncoder(media.audio_codec);
  AVCodecContextPtr enc(avcodec_alloc_context3(codec));
  if (!enc) Fail("out of memory");
  enc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  enc->sample_rate = media.sample_rate;
  av_channel_layout_default(&enc->ch_layout, media.channels);
  enc->time_base = {1, media.sample_rate};
  enc->bit_rate = 64000 * media.channels;
  enc->thread_count = 1;
  if (globalHeader) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(avcodec_open2(enc.get(), codec, nullptr), std::string("opening encoder ") + codec->name);
  return enc;
}

void PutSample(AVFrame* f, int i, int ch, int channels, double v) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(fmt);
  const int idx = planar ? i : i * channels + ch;
  uint8_t* base = f->extended_data[planar ? ch : 0];
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8: base[idx] = static_cast<uint8_t>(128 + std::lround(v * 127)); break;
    case AV_SAMPLE_FMT_S16:
      reinterpret_cast<int16_t*>(base)[idx] = static_cast<int16_t>(std::lround(v * 32767));
      break;
    case AV_SAMPLE_FMT_S32:
      reinterpret_cast<int32_t*>(base)[idx] = static_cast<int32_t>(std::lround(v * 2147483647.0));
      break;
    case AV_SAMPLE_FMT_FLT: reinterpret_cast<float*>(base)[idx] = static_cast<float>(v); break;
    case AV_SAMPLE_FMT_DBL: reinterpret_cast<double*>(base)[idx] = v; break;
    default: Fail("unsupported sample format");
  }
}

void WriteAudioFrame(AVFormatContext* fc, AudioOut& a) {
  AVCodecContext* enc = a.enc.get();
  int size = enc->frame_size > 0 ? enc->frame_size : 1024;
  const bool shortLast = enc->codec->capabilities &
                         (AV_CODEC_CAP_VARIABLE_FRAME_SIZE | AV_CODEC_CAP_SMALL_LAST_FRAME);
  const int64_t left = a.total - a.next;
  const int tone = static_cast<int>(std::min<int64_t>(left, size));
  if (shortLast || enc->frame_size == 0) size = tone;
  AVFramePtr f(av_frame_alloc());
  if (!f) Fail("out of memory");
  f->format = enc->sample_fmt;
  f->nb_samples = size;
  f->sample_rate = enc->sample_rate;
  Check(av_channel_layout_copy(&f->ch_layout, &enc->ch_layout), "channel layout");
  Check(av_frame_get_buffer(f.get(), 0), "allocating samples");
  const int channels = enc->ch_layout.nb_channels;
  for (int i = 0; i < size; ++i) {
    const double t = static_cast<double>(a.next + i) / enc->sample_rate;
    const double v = i < tone ? 0.5 * std::sin(2 * M_PI * a.tone * t) : 0.0;
    for (int c = 0; c < channels; ++c) PutSample(f.get(), i, c, channels, v);
  }
  f->pts = a.next;
  a.next += tone;
  Check(avcodec_send_frame(enc, f.get()), "encoding audio");
  Drain(fc, enc, a.st);
}

struct SubtitleOut {
  AVStream* st = nullptr;
  AVCodecContextPtr enc;
  // Show and clear moments in time order: (seconds, event index or -1).
  std::vector<std::pair<double, int>> items;
  size_t next = 0;
};

void WriteSubtitle(AVFormatContext* fc, const MediaSpec& media, SubtitleOut& s) {
  const auto [time, index] = s.items[s.next++];
  std::unique_ptr<AVSubtitle, SubtitleDeleter> sub(new AVSubtitle{});
  sub->format = 0;
  sub->pts = std::llround(time * AV_TIME_BASE);
  int64_t duration = 0;
  if (index >= 0) {
    // One rectangle of palette entry 1 on a transparent entry 0.
    const SubtitleEvent& e = media.subtitle_events[static_cast<size_t>(index)];
    sub->end_display_time = static_cast<uint32_t>(std::lround((e.end_s - e.start_s) * 1000));
    duration = sub->end_display_time;
    sub->rects = static_cast<AVSubtitleRect**>(av_mallocz(sizeof(AVSubtitleRect*)));
    if (!sub->rects) Fail("out of memory");
    AVSubtitleRect* r = static_cast<AVSubtitleRect*>(av_mallocz(sizeof(AVSubtitleRect)));
    if (!r) Fail("out of memory");
    sub->rects[0] = r;
    sub->num_rects = 1;
    r->type = SUBTITLE_BITMAP;
    r->x = e.x;
    r->y = e.y;
    r->w = e.w;
    r->h = e.h;
    r->nb_colors = 4;
    r->data[0] = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(e.w) * e.h));
    r->data[1] = static_cast<uint8_t*>(av_mallocz(4 * sizeof(uint32_t)));
    if (!r->data[0] || !r->data[1]) Fail("out of memory");
    std::fill_n(r->data[0], static_cast<size_t>(e.w) * e.h, uint8_t{1});
    r->linesize[0] = e.w;
    reinterpret_cast<uint32_t*>(r->data[1])[1] = e.argb;
  }
  // An empty page clears what is shown (DVB pages stay until replaced).
  std::vector<uint8_t> buf(1 << 20);
  const int size = avcodec_encode_subtitle(s.enc.get(), buf.data(), static_cast<int>(buf.size()),
                                           sub.get());
  Check(size, "encoding a subtitle");
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) Fail("out of memory");
  Check(av_new_packet(pkt.get(), size), "allocating a packet");
  std::copy_n(buf.data(), size, pkt->data);
  pkt->pts = pkt->dts = av_rescale_q(sub->pts, AV_TIME_BASE_Q, s.st->time_base);
  pkt->duration = av_rescale_q(duration, {1, 1000}, s.st->time_base);
  pkt->stream_index = s.st->index;
  pkt->flags |= AV_PKT_FLAG_KEY;
  Check(av_interleaved_write_frame(fc, pkt.get()), "writing a subtitle");
}

// Encodes the cover picture and fills the stream's parameters; the packet is
// written after the header.
AVPacketPtr EncodeCover(AVStream* st, const MediaSpec& media) {
  const AVCodec* codec = FindEncoder(AV_CODEC_ID_MJPEG);
  VideoOut v;
  v.width = media.width;
  v.height = media.height;
  v.enc.reset(avcodec_alloc_context3(codec));
  if (!v.enc) Fail("out of memory");
  v.enc->width = v.width;
  v.enc->height = v.height;
  v.enc->pix_fmt = AV_PIX_FMT_YUVJ420P;
  v.enc->time_base = {1, 25};
  v.enc->flags |= AV_CODEC_FLAG_QSCALE;
  v.enc->global_quality = FF_QP2LAMBDA * 2;
  Check(avcodec_open2(v.enc.get(), codec, nullptr), "opening the cover encoder");
  Check(avcodec_parameters_from_context(st->codecpar, v.enc.get()), "cover parameters");
  SetupScaler(v);
  AVFramePtr f = MakePicture(v, media.cover_number);
  f->pts = 0;
  Check(avcodec_send_frame(v.enc.get(), f.get()), "encoding the cover");
  Check(avcodec_send_frame(v.enc.get(), nullptr), "encoding the cover");
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) Fail("out of memory");
  Check(avcodec_receive_packet(v.enc.get(), pkt.get()), "encoding the cover");
  pkt->stream_index = st->index;
  pkt->pts = pkt->dts = 0;
  pkt->flags |= AV_PKT_FLAG_KEY;
  return pkt;
}

}  // namespace

double MediaSpec::DurationSeconds() const {
  if (video_codec != AV_CODEC_ID_NONE) return frames * av_q2d(av_inv_q(fps));
  return audio_seconds;
}

std::string MakeMedia(const std::string& path, const MediaSpec& media) {
  const bool hasVideo = media.video_codec != AV_CODEC_ID_NONE;
  const bool hasAudio = media.audio_codec != AV_CODEC_ID_NONE && !media.tones.empty();
  if (hasVideo && (media.width <= 0 || media.height <= 0 || media.frames <= 0 || media.fps.num <= 0 ||
                   media.fps.den <= 0))
    Fail("bad video size, frame count or rate");
  if (media.resize_at_frame >= 0 && (media.width2 <= 0 || media.height2 <= 0))
    Fail("a resolution change needs width2 and height2");

  AVFormatContext* raw = nullptr;
  Check(avformat_alloc_output_context2(&raw, nullptr, media.container.c_str(), path.c_str()),
        "no muxer '" + media.container + "'");
  OutputPtr fc(raw);
  const bool globalHeader = fc->oformat->flags & AVFMT_GLOBALHEADER;

  VideoOut video;
  if (hasVideo) {
    const AVCodec* codec = FindEncoder(media.video_codec);
    video.width = media.width;
    video.height = media.height;
    video.enc = OpenVideoEncoder(media, codec, video.width, video.height, globalHeader,
                                 media.resize_at_frame < 0);
    video.st = avformat_new_stream(fc.get(), nullptr);
    if (!video.st) Fail("out of memory");
    video.st->time_base = video.enc->time_base;
    video.st->avg_frame_rate = media.fps;
    Check(avcodec_parameters_from_context(video.st->codecpar, video.enc.get()),
          "video parameters");
    SetupScaler(video);
  }

  std::vector<AudioOut> audio(hasAudio ? media.tones.size() : 0);
  for (size_t i = 0; i < audio.size(); ++i) {
    audio[i].enc = OpenAudioEncoder(media, globalHeader);
    audio[i].tone = media.tones[i];
    const double seconds = hasVideo && media.audio_cut_seconds > 0
                               ? std::min(media.audio_cut_seconds, media.DurationSeconds())
                               : media.DurationSeconds();
    audio[i].total = std::llround(seconds * media.sample_rate);
    audio[i].st = avformat_new_stream(fc.get(), nullptr);
    if (!audio[i].st) Fail("out of memory");
    audio[i].st->time_base = audio[i].enc->time_base;
    Check(avcodec_parameters_from_context(audio[i].st->codecpar, audio[i].enc.get()),
          "audio parameters");
  }

  SubtitleOut subs;
  if (media.subtitles) {
    const AVCodec* codec = FindEncoder(AV_CODEC_ID_DVB_SUBTITLE);
    subs.enc.reset(avcodec_alloc_context3(codec));
    if (!subs.enc) Fail("out of memory");
    subs.enc->time_base = {1, 1000};
    subs.enc->width = media.width;
    subs.enc->height = media.height;
    Check(avcodec_open2(subs.enc.get(), codec, nullptr), "opening the subtitle encoder");
    subs.st = avformat_new_stream(fc.get(), nullptr);
    if (!subs.st) Fail("out of memory");
    subs.st->time_base = {1, 1000};
    Check(avcodec_parameters_from_context(subs.st->codecpar, subs.enc.get()),
          "subtitle parameters");
    for (size_t i = 0; i < media.subtitle_events.size(); ++i) {
      subs.items.push_back({media.subtitle_events[i].start_s, static_cast<int>(i)});
      subs.items.push_back({media.subtitle_events[i].end_s, -1});
    }
    std::stable_sort(subs.items.begin(), subs.items.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
  }

  AVPacketPtr coverPacket;
  if (media.cover_picture) {
    AVStream* cover = avformat_new_stream(fc.get(), nullptr);
    if (!cover) Fail("out of memory");
    cover->disposition |= AV_DISPOSITION_ATTACHED_PIC;
    cover->time_base = {1, 90000};
    av_dict_set(&cover->metadata, "filename", "cover.jpg", 0);
    av_dict_set(&cover->metadata, "mimetype", "image/jpeg", 0);
    av_dict_set(&cover->metadata, "comment", "Cover (front)", 0);
    coverPacket = EncodeCover(cover, media);
    const std::string muxer = fc->oformat->name;
    if (muxer == "matroska" || muxer == "webm") {
      // Matroska keeps cover art as a file attachment, which its demuxer
      // shows as an attached picture again.
      cover->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
      cover->codecpar->extradata = static_cast<uint8_t*>(
          av_mallocz(static_cast<size_t>(coverPacket->size) + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!cover->codecpar->extradata) Fail("out of memory");
      std::copy_n(coverPacket->data, coverPacket->size, cover->codecpar->extradata);
      cover->codecpar->extradata_size = coverPacket->size;
      coverPacket.reset();
    }
  }

  for (const auto& [key, value] : media.metadata)
    av_dict_set(&fc->metadata, key.c_str(), value.c_str(), 0);
  for (size_t i = 0; i < media.stream_metadata.size() && i < fc->nb_streams; ++i)
    for (const auto& [key, value] : media.stream_metadata[i])
      av_dict_set(&fc->streams[i]->metadata, key.c_str(), value.c_str(), 0);

  for (size_t i = 0; i < media.ts_programs.size(); ++i) {
    AVProgram* program = av_new_program(fc.get(), static_cast<int>(i + 1));
    if (!program) Fail("out of memory");
    for (int index : media.ts_programs[i]) {
      if (index < 0 || index >= static_cast<int>(fc->nb_streams)) Fail("program names a stream that does not exist");
      av_program_add_stream_index(fc.get(), program->id, static_cast<unsigned>(index));
    }
  }

  fc->output_ts_offset = static_cast<int64_t>(media.start_seconds * AV_TIME_BASE);
  if (!(fc->oformat->flags & AVFMT_NOFILE))
    Check(avio_open(&fc->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot write '" + path + "'");
  Check(avformat_write_header(fc.get(), nullptr), "writing the header");
  if (coverPacket)
    Check(av_interleaved_write_frame(fc.get(), coverPacket.get()), "writing the cover");

  // Feed the stream whose next moment comes first, until all are done.
  for (;;) {
    constexpr double kDone = 1e300;
    double vt = hasVideo && video.next < media.frames ? video.next * av_q2d(av_inv_q(media.fps)) : kDone;
    double at = kDone;
    AudioOut* nextAudio = nullptr;
    for (auto& a : audio) {
      const double t = a.next < a.total ? static_cast<double>(a.next) / media.sample_rate : kDone;
      if (t < at) at = t, nextAudio = &a;
    }
    const double st = subs.next < subs.items.size() ? subs.items[subs.next].first : kDone;
    if (vt == kDone && at == kDone && st == kDone) break;
    if (st <= vt && st <= at) {
      WriteSubtitle(fc.get(), media, subs);
    } else if (vt <= at) {
      if (video.next == media.resize_at_frame) {
        // Finish the first part, then go on in the same stream at the new size.
        Check(avcodec_send_frame(video.enc.get(), nullptr), "flushing video");
        Drain(fc.get(), video.enc.get(), video.st);
        video.width = media.width2;
        video.height = media.height2;
        video.enc = OpenVideoEncoder(media, video.enc->codec, video.width, video.height, false,
                                     false);
        SetupScaler(video);
      }
      AVFramePtr f = MakePicture(video, video.next++);
      Check(avcodec_send_frame(video.enc.get(), f.get()), "encoding video");
      Drain(fc.get(), video.enc.get(), video.st);
    } else {
      WriteAudioFrame(fc.get(), *nextAudio);
    }
  }
  if (hasVideo) {
    Check(avcodec_send_frame(video.enc.get(), nullptr), "flushing video");
    Drain(fc.get(), video.enc.get(), video.st);
  }
  for (auto& a : audio) {
    Check(avcodec_send_frame(a.enc.get(), nullptr), "flushing audio");
    Drain(fc.get(), a.enc.get(), a.st);
  }
  Check(av_write_trailer(fc.get()), "finishing the file");
  return path;
}

}  // namespace kivora::testing
