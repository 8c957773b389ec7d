// `kivora play --gpu` on screen: solid-colour clips tagged with different
// colour matrices and ranges, played in the window under Xvfb and grabbed,
// against what FFmpeg's own scaler makes of the same frames.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <QImage>
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "gl/gl_test_util.h"  // before run_kivora.h, which uses gtest
#include "apps/run_kivora.h"
#include "kivora/runtime/ffmpeg.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 180;
constexpr int kFrames = 50;  // two seconds at 25 fps: still playing when the window is grabbed
constexpr int kTolerance = 6;
// A clip read with the wrong matrix or range must come out at least this far
// from the right colour, or the comparison could not tell them apart.
constexpr int kWrongAtLeast = 15;

void Check(int err, const std::string& what) {
  if (err >= 0) return;
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  throw std::runtime_error(what + ": " + buf);
}

struct OutputCloser {
  void operator()(AVFormatContext* fc) const noexcept {
    if (!fc) return;
    if (fc->pb) avio_closep(&fc->pb);
    avformat_free_context(fc);
  }
};

// Writes kFrames frames of one YUV colour, losslessly (FFV1 in Matroska),
// tagged with the given matrix and range.
void MakeSolidClip(const std::string& path, int y, int u, int v, AVColorSpace space, AVColorRange range) {
  AVFormatContext* raw = nullptr;
  Check(avformat_alloc_output_context2(&raw, nullptr, "matroska", path.c_str()), "output");
  std::unique_ptr<AVFormatContext, OutputCloser> out(raw);
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
  if (!codec) throw std::runtime_error("no FFV1 encoder");
  AVCodecContextPtr enc(avcodec_alloc_context3(codec));
  enc->width = kWidth;
  enc->height = kHeight;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = {1, 25};
  enc->framerate = {25, 1};
  enc->colorspace = space;
  enc->color_range = range;
  enc->color_primaries = space == AVCOL_SPC_BT709 ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
  enc->color_trc = space == AVCOL_SPC_BT709 ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
  if (out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(avcodec_open2(enc.get(), codec, nullptr), "open FFV1");
  AVStream* st = avformat_new_stream(out.get(), nullptr);
  if (!st) throw std::runtime_error("new stream");
  Check(avcodec_parameters_from_context(st->codecpar, enc.get()), "parameters");
  st->time_base = enc->time_base;
  Check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), "open " + path);
  Check(avformat_write_header(out.get(), nullptr), "header");

  AVFramePtr frame(av_frame_alloc());
  frame->format = enc->pix_fmt;
  frame->width = kWidth;
  frame->height = kHeight;
  frame->colorspace = space;
  frame->color_range = range;
  Check(av_frame_get_buffer(frame.get(), 0), "frame");
  AVPacketPtr pkt(av_packet_alloc());
  auto drain = [&] {
    for (;;) {
      const int r = avcodec_receive_packet(enc.get(), pkt.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      Check(r, "encode");
      av_packet_rescale_ts(pkt.get(), enc->time_base, st->time_base);
      pkt->stream_index = st->index;
      Check(av_interleaved_write_frame(out.get(), pkt.get()), "write");
    }
  };
  for (int n = 0; n < kFrames; ++n) {
    Check(av_frame_make_writable(frame.get()), "writable");
    const int values[3] = {y, u, v};
    for (int p = 0; p < 3; ++p) {
      const int w = p ? kWidth / 2 : kWidth, h = p ? kHeight / 2 : kHeight;
      for (int row = 0; row < h; ++row)
        std::memset(frame->data[p] + static_cast<ptrdiff_t>(row) * frame->linesize[p], values[p], w);
    }
    frame->pts = n;
    Check(avcodec_send_frame(enc.get(), frame.get()), "send");
    drain();
  }
  Check(avcodec_send_frame(enc.get(), nullptr), "flush");
  drain();
  Check(av_write_trailer(out.get()), "trailer");
}

struct Conversion {
  AVColorSpace space = AVCOL_SPC_UNSPECIFIED;  // unspecified: the frame's own
  int full = -1;                               // -1: the frame's own range
};

// The centre pixel of the first frame of the file, decoded by FFmpeg and
// turned into rgb24 by swscale with the frame's (or the given) matrix and range.
std::array<int, 3> FfmpegCentreRgb(const std::string& path, Conversion c = {}) {
  AVFormatContext* raw = nullptr;
  Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "open " + path);
  AVInputContextPtr in(raw);
  Check(avformat_find_stream_info(in.get(), nullptr), "stream info");
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  Check(index, "video stream");
  AVCodecContextPtr dec(avcodec_alloc_context3(codec));
  Check(avcodec_parameters_to_context(dec.get(), in->streams[index]->codecpar), "parameters");
  Check(avcodec_open2(dec.get(), codec, nullptr), "open decoder");
  AVPacketPtr pkt(av_packet_alloc());
  AVFramePtr frame(av_frame_alloc());
  bool got = false;
  while (!got && av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == index) {
      Check(avcodec_send_packet(dec.get(), pkt.get()), "decode");
      got = avcodec_receive_frame(dec.get(), frame.get()) >= 0;
    }
    av_packet_unref(pkt.get());
  }
  if (!got) {
    Check(avcodec_send_packet(dec.get(), nullptr), "drain");
    Check(avcodec_receive_frame(dec.get(), frame.get()), "no frame");
  }
  const AVColorSpace space = c.space != AVCOL_SPC_UNSPECIFIED ? c.space : frame->colorspace;
  const int full = c.full >= 0 ? c.full : frame->color_range == AVCOL_RANGE_JPEG;
  SwsContextPtr sws(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                   frame->width, frame->height, AV_PIX_FMT_RGB24,
                                   SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT, nullptr,
                                   nullptr, nullptr));
  if (!sws) throw std::runtime_error("no scaler");
  Check(sws_setColorspaceDetails(sws.get(), sws_getCoefficients(space), full, sws_getCoefficients(SWS_CS_DEFAULT),
                                 1, 0, 1 << 16, 1 << 16),
        "colour details");
  std::vector<uint8_t> rgb(static_cast<size_t>(frame->width) * frame->height * 3);
  uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {frame->width * 3, 0, 0, 0};
  sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride);
  const uint8_t* px = rgb.data() + (static_cast<size_t>(frame->height / 2) * frame->width + frame->width / 2) * 3;
  return {px[0], px[1], px[2]};
}

int Distance(const std::array<int, 3>& a, const std::array<int, 3>& b) {
  int d = 0;
  for (int i = 0; i < 3; ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}

std::string Text(const std::array<int, 3>& c) {
  return "(" + std::to_string(c[0]) + ", " + std::to_string(c[1]) + ", " + std::to_string(c[2]) + ")";
}

struct ScreenCase {
  const char* name;
  int y, u, v;
  AVColorSpace space;
  AVColorRange range;
};
void PrintTo(const ScreenCase& c, std::ostream* os) { *os << c.name; }

// Colours chosen so that the other matrix and the other range each move some
// channel by more than kWrongAtLeast.
const ScreenCase kCases[] = {
    {"bt709_limited", 188, 148, 52, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG},
    {"bt601_full", 188, 64, 92, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_JPEG},
};

class PlayGpuScreen : public ::testing::TestWithParam<ScreenCase> {
protected:
  void SetUp() override { KIVORA_NEED_GL(gl); }
  GLFixture gl;
  TempDir dir;
};

TEST_P(PlayGpuScreen, TheWindowShowsTheColoursFfmpegDecodes) {
  const ScreenCase& c = GetParam();
  const std::string clip = dir.Path(std::string(c.name) + ".mkv");
  const std::string png = dir.Path(std::string(c.name) + ".png");
  MakeSolidClip(clip, c.y, c.u, c.v, c.space, c.range);

  const std::array<int, 3> want = FfmpegCentreRgb(clip);
  const AVColorSpace other = c.space == AVCOL_SPC_BT709 ? AVCOL_SPC_SMPTE170M : AVCOL_SPC_BT709;
  const int full = c.range == AVCOL_RANGE_JPEG;
  const std::array<int, 3> wrongMatrix = FfmpegCentreRgb(clip, {other, full});
  const std::array<int, 3> wrongRange = FfmpegCentreRgb(clip, {c.space, 1 - full});
  ASSERT_GE(Distance(want, wrongMatrix), kWrongAtLeast) << Text(want) << " vs " << Text(wrongMatrix);
  ASSERT_GE(Distance(want, wrongRange), kWrongAtLeast) << Text(want) << " vs " << Text(wrongRange);

  const RunResult r = RunKivora({"play", "--gpu", "--seconds", "1.2", "--grab", png, clip}, "/dev/null", 60);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  QImage shot(QString::fromStdString(png));
  ASSERT_FALSE(shot.isNull()) << "no picture saved at " << png << "\n" << r.err;
  ASSERT_GE(shot.width(), 16);
  ASSERT_GE(shot.height(), 16);
  const QRgb centre = shot.pixel(shot.width() / 2, shot.height() / 2);
  const std::array<int, 3> got = {qRed(centre), qGreen(centre), qBlue(centre)};
  EXPECT_LE(Distance(got, want), kTolerance)
      << "shown " << Text(got) << ", FFmpeg " << Text(want) << " (wrong matrix " << Text(wrongMatrix)
      << ", wrong range " << Text(wrongRange) << ")";
  // Not merely close: nearer the right conversion than either wrong one.
  EXPECT_LT(Distance(got, want), Distance(got, wrongMatrix));
  EXPECT_LT(Distance(got, want), Distance(got, wrongRange));
}

INSTANTIATE_TEST_SUITE_P(Clips, PlayGpuScreen, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.name); });

}  // namespace
