#include "kivora/runtime/cmdutils.h"

#include <gtest/gtest.h>

#include <string>

#include "kivora/platform/exception.h"
#include "kivora/runtime/avlib.h"

namespace kivora {
namespace {

std::string Get(const AVDictionary* d, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(d, key, nullptr, 0);
  return e ? e->value : "<missing>";
}

struct Opts {
  AVDictionaryHolder d;
  Opts() {
    av_dict_set(&d, "threads", "3", 0);     // generic, video and audio, both directions
    av_dict_set(&d, "b", "1000000", 0);     // generic, encoders only
    av_dict_set(&d, "skip_loop_filter", "all", 0);  // generic, video decoders only
    av_dict_set(&d, "is_avc", "1", 0);      // the H.264 decoder's private option
    av_dict_set(&d, "thread", "1", 0);      // a prefix of a real option, not an option
    av_dict_set(&d, "no_such_option", "1", 0);
  }
};

TEST(FilterCodecOpts, KeepsWhatTheDecoderUnderstands) {
  Opts o;
  AVDictionaryHolder h264(filter_codec_opts(o.d.get(), AV_CODEC_ID_H264, 0));
  ASSERT_TRUE(h264.get());
  EXPECT_EQ(av_dict_count(h264.get()), 3);
  EXPECT_EQ(Get(h264.get(), "threads"), "3");
  EXPECT_EQ(Get(h264.get(), "skip_loop_filter"), "all");
  EXPECT_EQ(Get(h264.get(), "is_avc"), "1");

  // An audio decoder takes neither the video-only nor H.264's private option.
  AVDictionaryHolder mp2(filter_codec_opts(o.d.get(), AV_CODEC_ID_MP2, 0));
  ASSERT_TRUE(mp2.get());
  EXPECT_EQ(av_dict_count(mp2.get()), 1);
  EXPECT_EQ(Get(mp2.get(), "threads"), "3");
}

TEST(FilterCodecOpts, EncoderSideAndMissingCodec) {
  Opts o;
  AVDictionaryHolder enc(filter_codec_opts(o.d.get(), AV_CODEC_ID_MPEG4, 1));
  ASSERT_TRUE(enc.get());
  EXPECT_EQ(Get(enc.get(), "b"), "1000000");
  EXPECT_EQ(Get(enc.get(), "threads"), "3");
  EXPECT_EQ(Get(enc.get(), "skip_loop_filter"), "<missing>");
  EXPECT_EQ(Get(enc.get(), "is_avc"), "<missing>");

  EXPECT_EQ(filter_codec_opts(o.d.get(), AV_CODEC_ID_NONE, 0), nullptr);
  // Nothing applies: no dictionary either.
  AVDictionaryHolder only;
  av_dict_set(&only, "no_such_option", "1", 0);
  EXPECT_EQ(filter_codec_opts(only.get(), AV_CODEC_ID_H264, 0), nullptr);
  EXPECT_EQ(filter_codec_opts(nullptr, AV_CODEC_ID_H264, 0), nullptr);
}

TEST(StreamInfoOpts, OnePerStreamFilteredByItsCodec) {
  Opts o;
  AVFormatContextPtr fc(avformat_alloc_context());
  ASSERT_TRUE(fc);
  EXPECT_TRUE(setup_find_stream_info_opts(fc.get(), o.d.get()).empty());
  EXPECT_EQ(setup_find_stream_info_opts(fc.get(), o.d.get()).data(), nullptr);

  AVStream* v = avformat_new_stream(fc.get(), nullptr);
  AVStream* a = avformat_new_stream(fc.get(), nullptr);
  ASSERT_TRUE(v && a);
  v->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  v->codecpar->codec_id = AV_CODEC_ID_H264;
  a->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  a->codecpar->codec_id = AV_CODEC_ID_MP2;
  TStreamOptions opts = setup_find_stream_info_opts(fc.get(), o.d.get());
  ASSERT_EQ(opts.size(), 2u);
  ASSERT_NE(opts.data(), nullptr);
  EXPECT_EQ(av_dict_count(opts[0]), 3);
  EXPECT_EQ(av_dict_count(opts[1]), 1);

  TStreamOptions moved = std::move(opts);
  EXPECT_EQ(moved.size(), 2u);
  EXPECT_TRUE(opts.empty());

  EXPECT_GT(check_stream_specifier(fc.get(), v, "v"), 0);
  EXPECT_EQ(check_stream_specifier(fc.get(), a, "v"), 0);
  EXPECT_GT(check_stream_specifier(fc.get(), a, "1"), 0);
  EXPECT_LT(check_stream_specifier(fc.get(), a, "v:x:bogus"), 0);
}

TEST(GetFormat, PicksFirstSoftwareFormat) {
  EXPECT_EQ(get_hwaccel(AV_PIX_FMT_VAAPI), nullptr);
  AVCodecContextPtr ctx(avcodec_alloc_context3(nullptr));
  HWAccelInputStream ist;
  ist.hwaccel_id = HWACCEL_AUTO;
  ctx->opaque = &ist;
  const AVPixelFormat mixed[] = {AV_PIX_FMT_VAAPI, AV_PIX_FMT_CUDA, AV_PIX_FMT_NV12,
                                 AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
  EXPECT_EQ(get_format(ctx.get(), mixed), AV_PIX_FMT_NV12);
  EXPECT_EQ(ist.active_hwaccel_id, HWACCEL_NONE);
  const AVPixelFormat hwOnly[] = {AV_PIX_FMT_VAAPI, AV_PIX_FMT_VDPAU, AV_PIX_FMT_NONE};
  EXPECT_EQ(get_format(ctx.get(), hwOnly), AV_PIX_FMT_NONE);
  ctx->opaque = nullptr;
  EXPECT_EQ(get_format(ctx.get(), mixed), AV_PIX_FMT_NV12);
}

int GDelegatedCalls = 0;
int CountingGetBuffer(AVCodecContext*, AVFrame*, int) {
  ++GDelegatedCalls;
  return AVERROR(ENOMEM);
}

TEST(GetBuffer, DelegatesOnlyForTheAcceleratorsFormat) {
  const AVCodec* raw = avcodec_find_decoder(AV_CODEC_ID_RAWVIDEO);
  ASSERT_TRUE(raw);
  AVCodecContextPtr ctx(avcodec_alloc_context3(raw));
  ctx->width = 32;
  ctx->height = 16;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ASSERT_EQ(avcodec_open2(ctx.get(), raw, nullptr), 0);
  HWAccelInputStream ist;
  ist.hwaccel_get_buffer = CountingGetBuffer;
  ist.hwaccel_pix_fmt = AV_PIX_FMT_VAAPI;
  ctx->opaque = &ist;

  AVFramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_VAAPI;
  frame->width = 32;
  frame->height = 16;
  GDelegatedCalls = 0;
  EXPECT_EQ(get_buffer(ctx.get(), frame.get(), 0), AVERROR(ENOMEM));
  EXPECT_EQ(GDelegatedCalls, 1);

  frame->format = AV_PIX_FMT_YUV420P;
  EXPECT_EQ(get_buffer(ctx.get(), frame.get(), 0), 0);
  EXPECT_EQ(GDelegatedCalls, 1);
  EXPECT_NE(frame->data[0], nullptr);
}

}  // namespace
}  // namespace kivora
