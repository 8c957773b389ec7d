// kivora preview and kivora motion, run as a user would: the pictures they
// write and the times they report, read back.
#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

// Many times, out of order and repeated, are shared out between decoders
// working side by side: each picture is still the one on screen at its own
// time, written under its own place in the list.
TEST(PreviewCommand, TimesSharedBetweenDecodersKeepTheirPictureAndPlace) {
  TempDir dir;
  MediaSpec m;
  m.frames = 100;
  const std::string clip = MakeMedia(dir.Path("clip.mp4"), m);
  const std::vector<double> times = {3.5, 0.3, 0.31, 2.0, 1.99, 3.9, 0.0, 1.0, 2.5, 0.7, 3.5};
  std::vector<std::string> args = {"preview", clip, "--accurate", "--out", dir.Path("p%d.png"), "--json"};
  for (double t : times) {
    args.push_back("--at");
    args.push_back(std::to_string(t));
  }
  const QJsonArray list = JsonList(RunKivora(args));
  ASSERT_EQ(list.size(), static_cast<int>(times.size()));
  for (size_t i = 0; i < times.size(); ++i) {
    const int frame = static_cast<int>(std::floor(times[i] * 25 + 1e-6));
    const QJsonObject o = list[static_cast<int>(i)].toObject();
    EXPECT_NEAR(o["at"].toDouble(), times[i], 1e-9);
    EXPECT_NEAR(o["time"].toDouble(), frame * 0.04, 1e-3) << "time " << times[i];
    const std::string png = dir.Path("p" + std::to_string(i + 1) + ".png");
    EXPECT_EQ(o["file"].toString().toStdString(), png);
    EXPECT_EQ(FrameInPng(png), frame) << "time " << times[i];
  }
}

// Picture names are padded to whatever width the pattern asks for, times
// whose microseconds do not fit are refused, and a time at or past the end
// of the file is flagged in both the JSON and the text.
TEST(PreviewCommand, WideNumbersTimesTooLargeAndTimesPastTheEnd) {
  TempDir dir;
  MediaSpec m;
  m.frames = 50;  // 2 s at 25 fps, key frames every 12
  m.audio_codec = AV_CODEC_ID_NONE;  // the file ends with its last picture
  const std::string clip = MakeMedia(dir.Path("clip.mp4"), m);

  const QJsonArray wide = JsonList(RunKivora({"preview", clip, "--at", "0.5", "--at", "1.5", "--out",
                                              dir.Path("z%040d.png"), "--json"}));
  ASSERT_EQ(wide.size(), 2);
  for (int i = 0; i < 2; ++i) {
    const std::string name = dir.Path("z" + std::string(39, '0') + std::to_string(i + 1) + ".png");
    EXPECT_EQ(wide[i].toObject()["file"].toString().toStdString(), name);
    EXPECT_EQ(FrameInPng(name), i == 0 ? 12 : 36);
  }

  // Each mode: the last key frame or the last picture, flagged past the end
  // from the end of the file on, however far past it.
  struct {
    bool accurate;
    int last;
  } modes[] = {{false, 48}, {true, 49}};
  for (const auto& mode : modes) {
    SCOPED_TRACE(mode.accurate ? "accurate" : "key frames");
    std::vector<std::string> args = {"preview", clip, "--at", "1.99", "--at", "2.0",
                                     "--at", "60", "--at", "9223372036854", "--json"};
    if (mode.accurate) args.push_back("--accurate");
    const QJsonArray list = JsonList(RunKivora(args));
    ASSERT_EQ(list.size(), 4);
    for (int i = 0; i < 4; ++i) {
      const QJsonObject o = list[i].toObject();
      EXPECT_EQ(o["past_end"].toBool(true), i != 0) << i;
      EXPECT_EQ(o["past_end"].isBool(), true) << i;
      EXPECT_NEAR(o["time"].toDouble(), (i == 0 && !mode.accurate ? 48 : mode.last) * 0.04, 1e-3) << i;
    }
    args.erase(std::find(args.begin(), args.end(), "--json"));
    const RunResult text = RunKivora(args);
    EXPECT_EQ(text.exit_code, 0) << text.err;
    EXPECT_FALSE(Contains(text.out, "at 1.990 s (past the end)")) << text.out;
    EXPECT_TRUE(Contains(text.out, "picture 3: at 60.000 s (past the end) shows")) << text.out;
  }

  const struct {
    std::vector<std::string> args;
    const char* err;
  } bad[] = {
      {{"preview", clip, "--at", "9.3e12"}, "--at"},
      {{"preview", clip, "--at", "1", "--at", "1e300"}, "--at"},
      {{"preview", clip, "--at", "1", "--out", dir.Path("y%0256d.png")}, "--out"},
      {{"preview", clip, "--at", "1", "--out", dir.Path("y%099999999999999999999d.png")}, "--out"},
  };
  for (const auto& b : bad) {
    const RunResult r = RunKivora(b.args);
    EXPECT_EQ(r.exit_code, 2) << b.args.back() << ": " << r.err;
    EXPECT_TRUE(Contains(r.err, b.err)) << r.err;
    EXPECT_EQ(r.out, "");
  }
  for (const auto& e : std::filesystem::directory_iterator(dir.Dir()))
    EXPECT_NE(e.path().filename().string()[0], 'y') << "written before the refusal: " << e.path();
}

// 25 frames a second of MJPEG in NUT, 3 s of 640x360 and then 3 s of
// 320x240, all grey; with a block, a white square moves across the first part
// from 2 s to its end.
std::string TwoSizeClip(const std::string& path, bool block) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "nut", path.c_str()) < 0) return "";
  AVFormatContextPtr fc(raw);
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (!codec) return "";
  AVStream* st = avformat_new_stream(fc.get(), nullptr);
  st->time_base = {1, 25};
  AVCodecContextPtr enc;
  auto open = [&](int w, int h) {
    enc.reset(avcodec_alloc_context3(codec));
    enc->width = w;
    enc->height = h;
    enc->pix_fmt = AV_PIX_FMT_YUVJ420P;
    enc->time_base = {1, 25};
    return avcodec_open2(enc.get(), codec, nullptr) >= 0;
  };
  if (!open(640, 360) || avcodec_parameters_from_context(st->codecpar, enc.get()) < 0) return "";
  if (avio_open(&fc->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(fc.get(), nullptr) < 0)
    return "";
  AVPacketPtr pkt(av_packet_alloc());
  for (int n = 0; n < 150; ++n) {
    if (n == 75 && !open(320, 240)) return "";
    AVFramePtr f(av_frame_alloc());
    f->width = enc->width;
    f->height = enc->height;
    f->format = enc->pix_fmt;
    if (av_frame_get_buffer(f.get(), 0) < 0) return "";
    for (int p = 0; p < 3; ++p) {
      const int h = p ? f->height / 2 : f->height;
      for (int y = 0; y < h; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, p ? f->width / 2 : f->width);
    }
    if (block && n >= 50 && n < 75)
      for (int y = 100; y < 140; ++y) std::memset(f->data[0] + y * f->linesize[0] + 20 + 8 * (n - 50), 235, 40);
    f->pts = n;
    if (avcodec_send_frame(enc.get(), f.get()) < 0) return "";
    while (avcodec_receive_packet(enc.get(), pkt.get()) >= 0) {
      pkt->stream_index = st->index;
      av_packet_rescale_ts(pkt.get(), {1, 25}, st->time_base);
      if (av_interleaved_write_frame(fc.get(), pkt.get()) < 0) return "";
    }
  }
  av_write_trailer(fc.get());
  avio_closep(&fc->pb);
  return path;
}

// The first picture of a new size is a new reference: still pictures of
// another size are no motion, and motion going on when the size changes ends
// there.
TEST(MotionCommand, ANewPictureSizeStartsANewReference) {
  TempDir dir;
  const struct {
    bool block;
    std::vector<std::string> options;
    std::vector<std::pair<std::string, double>> events;
  } cases[] = {
      {false, {}, {}},
      {false, {"--tolerance", "100", "--hold", "1"}, {}},
      {true, {"--tolerance", "100", "--hold", "1"}, {{"begin", 2.0}, {"end", 3.0}}},
  };
  for (const auto& c : cases) {
    const std::string clip = TwoSizeClip(dir.Path(c.block ? "block.nut" : "grey.nut"), c.block);
    ASSERT_FALSE(clip.empty());
    std::vector<std::string> args = {"motion", clip, "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const QJsonArray list = JsonList(RunKivora(args));
    std::vector<std::pair<std::string, double>> events;
    for (const auto& e : list)
      events.emplace_back(e.toObject()["event"].toString().toStdString(),
                          std::round(e.toObject()["time"].toDouble() * 1000) / 1000);
    EXPECT_EQ(events, c.events) << c.block << " " << c.options.size();
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
