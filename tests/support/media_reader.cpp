// DecodeMedia: demux and decode every stream of a file with FFmpeg directly.
#include "support/media_reader.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>

#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"

namespace kivora::testing {

namespace {

void Check(int err, const std::string& what) {
  if (err >= 0) return;
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  throw std::runtime_error("DecodeMedia: " + what + ": " + buf);
}

struct StreamState {
  AVCodecContextPtr dec;
  SwrContextPtr swr;
  DecodedVideo* video = nullptr;
  DecodedAudio* audio = nullptr;
  bool subtitle = false;
};

// The centre pixel of an 8-bit planar YUV picture as 0xRRGGBB.
uint32_t CentreRgb(const AVFrame* f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) ||
      d->nb_components < 3 || d->comp[0].depth != 8 || d->comp[1].plane == d->comp[2].plane)
    return 0xFFFFFFFFu;
  const int x = f->width / 2, y = f->height / 2;
  const int cx = x >> d->log2_chroma_w, cy = y >> d->log2_chroma_h;
  const double Y = f->data[0][y * f->linesize[0] + x] - 16.0;
  const double U = f->data[1][cy * f->linesize[1] + cx] - 128.0;
  const double V = f->data[2][cy * f->linesize[2] + cx] - 128.0;
  auto clamp = [](double v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 255.0))); };
  const uint32_t r = clamp(1.164 * Y + 1.596 * V);
  const uint32_t g = clamp(1.164 * Y - 0.392 * U - 0.813 * V);
  const uint32_t b = clamp(1.164 * Y + 2.017 * U);
  return r << 16 | g << 8 | b;
}

void TakeVideo(StreamState& s, AVStream* st, const AVFrame* f) {
  s.video->centre_rgb.push_back(CentreRgb(f));
  if (s.video->numbers.empty() && CentreRgb(f) != 0xFFFFFFFFu) {
    s.video->first_width = f->width;
    s.video->first_luma.resize(static_cast<size_t>(f->width) * f->height);
    for (int y = 0; y < f->height; ++y)
      std::copy_n(f->data[0] + y * f->linesize[0], f->width, s.video->first_luma.data() + static_cast<size_t>(y) * f->width);
  }
  s.video->numbers.push_back(ReadFrameNumber(f));
  s.video->widths.push_back(f->width);
  s.video->heights.push_back(f->height);
  const int64_t ts = f->best_effort_timestamp;
  s.video->times.push_back(ts == AV_NOPTS_VALUE ? NAN : ts * av_q2d(st->time_base));
}

void TakeAudio(StreamState& s, const AVFrame* f) {
  DecodedAudio& a = *s.audio;
  if (!s.swr) {
    a.sample_rate = f->sample_rate;
    a.channels = f->ch_layout.nb_channels;
    SwrContext* swr = nullptr;
    // FFmpeg 5.1 takes the layouts by non-const pointer but does not change them.
    auto* layout = const_cast<AVChannelLayout*>(&f->ch_layout);
    Check(swr_alloc_set_opts2(&swr, layout, AV_SAMPLE_FMT_S16, f->sample_rate,
                              layout, static_cast<AVSampleFormat>(f->format),
                              f->sample_rate, 0, nullptr),
          "audio converter");
    s.swr.reset(swr);
    Check(swr_init(swr), "audio converter");
  }
  const size_t at = a.samples.size();
  a.samples.resize(at + static_cast<size_t>(f->nb_samples) * a.channels);
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(a.samples.data() + at)};
  const int got = swr_convert(s.swr.get(), out, f->nb_samples,
                              const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  Check(got, "converting audio");
  a.samples.resize(at + static_cast<size_t>(got) * a.channels);
}

void TakeSubtitle(DecodedMedia& m, const AVSubtitle& sub, const AVPacket* pkt, AVStream* st) {
  DecodedSubtitle out;
  const double base = sub.pts != AV_NOPTS_VALUE ? sub.pts / static_cast<double>(AV_TIME_BASE)
                                                : pkt->pts * av_q2d(st->time_base);
  out.start_s = base + sub.start_display_time / 1000.0;
  out.end_s = sub.end_display_time > sub.start_display_time ? base + sub.end_display_time / 1000.0
                                                            : out.start_s;
  for (unsigned i = 0; i < sub.num_rects; ++i) {
    const AVSubtitleRect* r = sub.rects[i];
    DecodedSubtitleRect d{r->x, r->y, r->w, r->h, 0};
    if (r->type == SUBTITLE_BITMAP && r->data[0] && r->data[1] && r->w > 0 && r->h > 0) {
      // The colour in the middle of the rectangle.
      const uint8_t idx = r->data[0][(r->h / 2) * r->linesize[0] + r->w / 2];
      d.argb = reinterpret_cast<const uint32_t*>(r->data[1])[idx];
    }
    out.rects.push_back(d);
  }
  m.subtitles.push_back(std::move(out));
}

void Receive(StreamState& s, AVStream* st, AVFrame* f) {
  for (;;) {
    const int err = avcodec_receive_frame(s.dec.get(), f);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
    Check(err, "decoding");
    if (s.video) TakeVideo(s, st, f);
    if (s.audio) TakeAudio(s, f);
    av_frame_unref(f);
  }
}

}  // namespace

DecodedMedia DecodeMedia(const std::string& path) {
  AVFormatContext* raw = nullptr;
  Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "cannot open '" + path + "'");
  AVInputContextPtr in(raw);
  Check(avformat_find_stream_info(in.get(), nullptr), "reading stream info");

  DecodedMedia m;
  // Reserve so that the pointers into the vectors stay valid.
  m.video.reserve(in->nb_streams);
  m.attached_pictures.reserve(in->nb_streams);
  m.audio.reserve(in->nb_streams);
  std::map<int, StreamState> states;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* st = in->streams[i];
    const AVMediaType type = st->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE)
      continue;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) throw std::runtime_error("DecodeMedia: no decoder for stream " + std::to_string(i));
    StreamState s;
    s.dec.reset(avcodec_alloc_context3(codec));
    Check(avcodec_parameters_to_context(s.dec.get(), st->codecpar), "decoder parameters");
    s.dec->pkt_timebase = st->time_base;
    s.dec->thread_count = 1;
    Check(avcodec_open2(s.dec.get(), codec, nullptr), "opening decoder");
    if (type == AVMEDIA_TYPE_VIDEO) {
      auto& list = (st->disposition & AV_DISPOSITION_ATTACHED_PIC) ? m.attached_pictures : m.video;
      list.push_back({});
      list.back().stream_index = static_cast<int>(i);
      s.video = &list.back();
    } else if (type == AVMEDIA_TYPE_AUDIO) {
      m.audio.push_back({});
      m.audio.back().stream_index = static_cast<int>(i);
      s.audio = &m.audio.back();
    } else {
      s.subtitle = true;
    }
    states.emplace(static_cast<int>(i), std::move(s));
  }

  AVPacketPtr pkt(av_packet_alloc());
  AVFramePtr frame(av_frame_alloc());
  for (;;) {
    const int err = av_read_frame(in.get(), pkt.get());
    if (err == AVERROR_EOF) break;
    Check(err, "reading");
    auto it = states.find(pkt->stream_index);
    if (it != states.end()) {
      StreamState& s = it->second;
      AVStream* st = in->streams[pkt->stream_index];
      if (s.subtitle) {
        AVSubtitle sub{};
        int got = 0;
        Check(avcodec_decode_subtitle2(s.dec.get(), &sub, &got, pkt.get()), "decoding subtitles");
        if (got) TakeSubtitle(m, sub, pkt.get(), st);
        avsubtitle_free(&sub);
      } else {
        Check(avcodec_send_packet(s.dec.get(), pkt.get()), "decoding");
        Receive(s, st, frame.get());
      }
    }
    av_packet_unref(pkt.get());
  }
  for (auto& [index, s] : states) {
    if (s.subtitle) continue;
    Check(avcodec_send_packet(s.dec.get(), nullptr), "draining");
    Receive(s, in->streams[index], frame.get());
  }
  return m;
}

}  // namespace kivora::testing
