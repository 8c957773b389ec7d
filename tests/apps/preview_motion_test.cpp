// kivora preview and kivora motion, run as a user would: the pictures they
// write and the times they report, read back.
#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <string>

#include "kivora/runtime/ffmpeg.h"
#include "run_kivora.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

QJsonArray JsonList(const RunResult& r) {
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out));
  EXPECT_TRUE(doc.isArray()) << r.out;
  return doc.array();
}

int FrameInPng(const std::string& path) {
  const QImage img = QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGBA8888);
  if (img.isNull()) return -2;
  return ReadFrameNumber(img.constBits(), img.width(), img.height(), static_cast<int>(img.bytesPerLine()));
}

TEST(PreviewCommand, WritesThePictureOfEachTimeAndReportsItsOwnTime) {
  TempDir dir;
  MediaSpec m;
  m.frames = 50;  // 25 fps, a key frame every 12
  const std::string clip = MakeMedia(dir.Path("clip.mp4"), m);
  struct {
    bool accurate;
    int first, second;  // pictures for 0.7 s and 1.5 s
  } cases[] = {{false, 12, 36}, {true, 17, 37}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"preview", clip, "--at", "0.7", "--at", "1.5", "--out",
                                     dir.Path("p-%02d.png"), "--json"};
    if (c.accurate) args.push_back("--accurate");
    const QJsonArray list = JsonList(RunKivora(args));
    ASSERT_EQ(list.size(), 2);
    const int frames[] = {c.first, c.second};
    for (int i = 0; i < 2; ++i) {
      const QJsonObject o = list[i].toObject();
      EXPECT_DOUBLE_EQ(o["at"].toDouble(), i == 0 ? 0.7 : 1.5);
      EXPECT_NEAR(o["time"].toDouble(), frames[i] * 0.04, 1e-3);
      EXPECT_GE(o["ms"].toDouble(), 0.0);
      EXPECT_EQ(o["file"].toString().toStdString(), dir.Path(i == 0 ? "p-01.png" : "p-02.png"));
      EXPECT_EQ(FrameInPng(dir.Path(i == 0 ? "p-01.png" : "p-02.png")), frames[i]) << c.accurate;
    }
  }
  struct {
    std::vector<std::string> args;
    int code;
    std::string err;
  } bad[] = {
      {{"preview", clip, "--at", "-1"}, 2, "0 seconds or more"},
      {{"preview", clip, "--at", "1", "--at", "2", "--out", dir.Path("x.png")}, 2, "needs %d"},
      {{"preview", dir.Path("missing.mp4"), "--at", "1"}, 1, "missing.mp4"},
      {{"preview", clip}, 2, "--at"},
  };
  for (const auto& b : bad) {
    const RunResult r = RunKivora(b.args);
    EXPECT_EQ(r.exit_code, b.code) << r.err;
    EXPECT_TRUE(Contains(r.err, b.err)) << r.err;
  }
}

// 25 frames a second of RGBA: a grey picture with a white block that moves
// 8 pixels a frame during frames 25 to 34 and stands still otherwise.
std::string MovingBlockClip(const std::string& path) {
  constexpr int W = 160, H = 120, kFrames = 100;
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "nut", path.c_str()) < 0) return "";
  AVFormatContextPtr fc(raw);
  AVStream* st = avformat_new_stream(fc.get(), nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
  st->codecpar->format = AV_PIX_FMT_RGBA;
  // The tag, or NUT stores the pictures as 15-bit RGB.
  st->codecpar->codec_tag = avcodec_pix_fmt_to_codec_tag(AV_PIX_FMT_RGBA);
  st->codecpar->bits_per_coded_sample = 32;
  st->codecpar->width = W;
  st->codecpar->height = H;
  st->time_base = {1, 25};
  if (avio_open(&fc->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(fc.get(), nullptr) < 0)
    return "";
  for (int n = 0; n < kFrames; ++n) {
    AVPacketPtr pkt(av_packet_alloc());
    av_new_packet(pkt.get(), W * H * 4);
    const int x0 = 10 + 8 * std::clamp(n - 24, 0, 10);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        uint8_t* p = pkt->data + (y * W + x) * 4;
        const bool block = x >= x0 && x < x0 + 30 && y >= 40 && y < 70;
        p[0] = p[1] = p[2] = block ? 230 : 90;
        p[3] = 255;
      }
    pkt->pts = pkt->dts = n;
    pkt->duration = 1;
    pkt->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(pkt.get(), {1, 25}, st->time_base);
    if (av_interleaved_write_frame(fc.get(), pkt.get()) < 0) return "";
  }
  av_write_trailer(fc.get());
  avio_closep(&fc->pb);
  return path;
}

TEST(MotionCommand, ReportsBeginAndEndByMediaTimeAndWritesTheMask) {
  TempDir dir;
  const std::string clip = MovingBlockClip(dir.Path("block.nut"));
  ASSERT_FALSE(clip.empty());
  const QJsonArray list = JsonList(
      RunKivora({"motion", clip, "--json", "--tolerance", "100", "--hold", "1", "--mask", dir.Path("masks")}));
  ASSERT_EQ(list.size(), 2);
  // Motion from frame 25 (1.0 s); the first quiet frame after 1 s of hold
  // is frame 51.
  EXPECT_EQ(list[0].toObject()["event"].toString(), "begin");
  EXPECT_NEAR(list[0].toObject()["time"].toDouble(), 1.0, 1e-6);
  EXPECT_EQ(list[1].toObject()["event"].toString(), "end");
  EXPECT_NEAR(list[1].toObject()["time"].toDouble(), 2.04, 1e-6);
  const QImage mask(QString::fromStdString(dir.Path("masks/motion-1.png")));
  ASSERT_FALSE(mask.isNull());
  // Frame 25 moved the block from x 10 to 18: its left edge became grey.
  EXPECT_EQ(mask.pixel(12, 50), 0xFFE60000u);
  EXPECT_EQ(mask.pixel(44, 50), 0xFFFF0000u);  // and its right edge white
  EXPECT_EQ(mask.pixel(100, 10), 0xFF5A5A5Au);

  const RunResult text = RunKivora({"motion", clip, "--tolerance", "100", "--hold", "1"});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_TRUE(Contains(text.out, "begin 1.000 s")) << text.out;
  EXPECT_TRUE(Contains(text.out, "end   2.040 s")) << text.out;
}

}  // namespace
