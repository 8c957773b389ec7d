// The sample clip: drawn pictures through libx264 and a sine through the AAC
// encoder, interleaved by time into an MP4 file.
#include "sample.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include "kivora/runtime/ffmpeg.h"

namespace kivora::app {

namespace {

void Check(int err, const char* what) {
  if (err < 0) throw std::runtime_error(std::string("sample clip: ") + what + ": " + AVErrorString(err));
}

template <typename T>
T* NotNull(T* p) {
  if (!p) throw std::runtime_error("sample clip: out of memory");
  return p;
}

void Box(std::vector<uint8_t>& rgba, int width, int x0, int y0, int x1, int y1, uint8_t v) {
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
}

void DrawPicture(std::vector<uint8_t>& rgba, int w, int h, int n) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = static_cast<uint8_t>(x * 255 / w);
      p[1] = static_cast<uint8_t>(y * 255 / h);
      p[2] = 128;
      p[3] = 255;
    }
  const int barX = (n * (w / 40)) % (w - w / 20);
  Box(rgba, w, barX, h * 4 / 10, barX + w / 20, h, 255);
  Box(rgba, w, 0, 0, w * 13 / 16, h * 3 / 10, 128);
  for (int row = 0; row < 2; ++row)
    for (int i = 0; i < 12; ++i) {
      const bool bit = ((n >> (11 - i)) & 1) != (row == 1);
      const double x0 = 1.0 / 32 + i / 16.0, y0 = 0.05 + row * 0.12;
      Box(rgba, w, static_cast<int>(x0 * w), static_cast<int>(y0 * h),
          static_cast<int>((x0 + 1.0 / 16) * w), static_cast<int>((y0 + 0.1) * h), bit ? 255 : 0);
    }
}

struct Out {
  AVFormatContext* fc;
  AVCodecContext* enc;
  AVStream* st;
};

void Send(const Out& o, const AVFrame* frame) {
  Check(avcodec_send_frame(o.enc, frame), "encoding");
  AVPacketPtr pkt(NotNull(av_packet_alloc()));
  for (;;) {
    const int err = avcodec_receive_packet(o.enc, pkt.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
    Check(err, "encoding");
    // Each picture lasts one frame; the muxer needs it for the last one.
    if (pkt->duration == 0 && o.enc->codec_type == AVMEDIA_TYPE_VIDEO) pkt->duration = 1;
    av_packet_rescale_ts(pkt.get(), o.enc->time_base, o.st->time_base);
    pkt->stream_index = o.st->index;
    Check(av_interleaved_write_frame(o.fc, pkt.get()), "writing");
  }
}

AVCodecContextPtr OpenEncoder(const char* name, AVCodecID id, AVFormatContext* fc,
                              void (*setup)(AVCodecContext*, const SampleClip&),
                              const SampleClip& clip, AVDictionary** opts) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (!codec) codec = avcodec_find_encoder(id);
  if (!codec) throw std::runtime_error(std::string("sample clip: no ") + name + " encoder");
  AVCodecContextPtr enc(NotNull(avcodec_alloc_context3(codec)));
  setup(enc.get(), clip);
  if (fc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(avcodec_open2(enc.get(), codec, opts), "opening an encoder");
  return enc;
}

struct FileCloser {
  void operator()(AVFormatContext* fc) const noexcept {
    if (fc->pb) avio_closep(&fc->pb);
    avformat_free_context(fc);
  }
};

}  // namespace

void MakeSampleClip(const std::string& path, const SampleClip& clip) {
  AVFormatContext* raw = nullptr;
  Check(avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()), "mp4 muxer");
  std::unique_ptr<AVFormatContext, FileCloser> fc(raw);

  AVDictionaryHolder vopts;
  av_dict_set(&vopts, "preset", "veryfast", 0);
  av_dict_set(&vopts, "crf", "18", 0);
  av_dict_set(&vopts, "x264-params", "log=-1", 0);
  AVCodecContextPtr venc = OpenEncoder(
      "libx264", AV_CODEC_ID_H264, fc.get(),
      [](AVCodecContext* c, const SampleClip& s) {
        c->width = s.width;
        c->height = s.height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = {1, s.fps};
        c->framerate = {s.fps, 1};
        c->gop_size = s.fps;
        c->max_b_frames = 2;
      },
      clip, &vopts);
  AVCodecContextPtr aenc = OpenEncoder(
      "aac", AV_CODEC_ID_AAC, fc.get(),
      [](AVCodecContext* c, const SampleClip&) {
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        c->sample_rate = 44100;
        av_channel_layout_default(&c->ch_layout, 2);
        c->time_base = {1, 44100};
        c->bit_rate = 128000;
      },
      clip, nullptr);

  Out video{fc.get(), venc.get(), NotNull(avformat_new_stream(fc.get(), nullptr))};
  Out audio{fc.get(), aenc.get(), NotNull(avformat_new_stream(fc.get(), nullptr))};
  video.st->time_base = venc->time_base;
  audio.st->time_base = aenc->time_base;
  Check(avcodec_parameters_from_context(video.st->codecpar, venc.get()), "video parameters");
  Check(avcodec_parameters_from_context(audio.st->codecpar, aenc.get()), "audio parameters");
  av_dict_set(&fc->metadata, "title", "Kivora sample clip", 0);
  av_dict_set(&fc->metadata, "comment", "frame numbers in the top-left cells; 440 Hz tone", 0);
  Check(avio_open(&fc->pb, path.c_str(), AVIO_FLAG_WRITE), ("cannot write '" + path + "'").c_str());
  Check(avformat_write_header(fc.get(), nullptr), "writing the header");

  SwsContextPtr sws(NotNull(sws_getContext(clip.width, clip.height, AV_PIX_FMT_RGBA, clip.width,
                                           clip.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                           nullptr, nullptr)));
  std::vector<uint8_t> rgba(static_cast<size_t>(clip.width) * clip.height * 4);
  const int frames = static_cast<int>(std::lround(clip.seconds * clip.fps));
  const int64_t samples = std::llround(clip.seconds * 44100);
  int n = 0;
  int64_t s = 0;
  while (n < frames || s < samples) {
    // Feed whichever stream is behind in time.
    if (n < frames && (s >= samples || n * 44100LL < s * clip.fps)) {
      DrawPicture(rgba, clip.width, clip.height, n);
      AVFramePtr f(NotNull(av_frame_alloc()));
      f->format = AV_PIX_FMT_YUV420P;
      f->width = clip.width;
      f->height = clip.height;
      Check(av_frame_get_buffer(f.get(), 0), "picture");
      const uint8_t* src[4] = {rgba.data()};
      const int stride[4] = {clip.width * 4};
      sws_scale(sws.get(), src, stride, 0, clip.height, f->data, f->linesize);
      f->pts = n++;
      Send(video, f.get());
    } else {
      const int count = static_cast<int>(std::min<int64_t>(aenc->frame_size, samples - s));
      AVFramePtr f(NotNull(av_frame_alloc()));
      f->format = aenc->sample_fmt;
      f->nb_samples = count;
      f->sample_rate = 44100;
      Check(av_channel_layout_copy(&f->ch_layout, &aenc->ch_layout), "channel layout");
      Check(av_frame_get_buffer(f.get(), 0), "samples");
      for (int i = 0; i < count; ++i) {
        const float v = static_cast<float>(0.5 * std::sin(2 * M_PI * clip.tone_hz * (s + i) / 44100));
        for (int c = 0; c < 2; ++c) reinterpret_cast<float*>(f->extended_data[c])[i] = v;
      }
      f->pts = s;
      s += count;
      Send(audio, f.get());
    }
  }
  Send(video, nullptr);
  Send(audio, nullptr);
  Check(av_write_trailer(fc.get()), "finishing the file");
}

}  // namespace kivora::app
