// TWidgetCapture: a widget's own drawing, captured on the GUI thread's timer,
// recorded through "bmpcap" by the converter and read back from the MP4.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QPainter>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "kivora/converter/converter.h"
#include "kivora/io/url.h"
#include "kivora/platform/bitmap.h"
#include "kivora/presentation/widget_capture.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

using namespace kivora;
using kivora::testing::EnsureApp;
using kivora::testing::PumpUntil;
using kivora::testing::TempDir;

namespace {

// Paints itself in one colour and counts how often it was asked to.
class ColourWidget : public QWidget {
public:
  QColor colour{30, 160, 220};
  int paints = 0;

protected:
  void paintEvent(QPaintEvent*) override {
    ++paints;
    QPainter(this).fillRect(rect(), colour);
  }
};

struct ReadBack {
  int pictures = 0;
  int width = 0, height = 0;
  std::vector<QRgb> centres;  // per decoded picture
  std::vector<double> times;  // seconds
};

// Decodes the first video stream of path with FFmpeg alone and reads the
// centre pixel of every picture as RGB.
ReadBack Decode(const std::string& path) {
  ReadBack r;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return r;
  AVInputContextPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) return r;
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (si < 0 || !codec) return r;
  AVStream* st = ic->streams[si];
  AVCodecContextPtr dec(avcodec_alloc_context3(codec));
  if (!dec || avcodec_parameters_to_context(dec.get(), st->codecpar) < 0 ||
      avcodec_open2(dec.get(), codec, nullptr) < 0)
    return r;
  AVPacketPtr pkt(av_packet_alloc());
  AVFramePtr frame(av_frame_alloc());
  SwsContextPtr sws;
  auto take = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      r.width = frame->width;
      r.height = frame->height;
      sws.reset(sws_getCachedContext(sws.release(), frame->width, frame->height,
                                     static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                                     AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
      std::vector<uint8_t> rgb(static_cast<size_t>(frame->width) * frame->height * 3);
      uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
      int pitch[4] = {frame->width * 3, 0, 0, 0};
      sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, pitch);
      const uint8_t* c = rgb.data() + (static_cast<size_t>(frame->height / 2) * frame->width + frame->width / 2) * 3;
      r.centres.push_back(qRgb(c[0], c[1], c[2]));
      const int64_t t = frame->best_effort_timestamp;
      r.times.push_back(t == AV_NOPTS_VALUE ? -1.0 : static_cast<double>(t) * av_q2d(st->time_base));
      ++r.pictures;
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(ic.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == si && avcodec_send_packet(dec.get(), pkt.get()) >= 0) take();
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(dec.get(), nullptr);
  take();
  return r;
}

bool Near(QRgb a, QRgb b, int tolerance) {
  return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
         std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

class WidgetCaptureTest : public ::testing::Test {
protected:
  QApplication* app = EnsureApp();
  TempDir dir;
};

TEST_F(WidgetCaptureTest, ARecordedWidgetBecomesAnMp4OfWhatItPainted) {
  ColourWidget widget;
  widget.resize(320, 240);
  TBitmap canvas;
  TWidgetCapture capture(&widget, canvas);
  capture.SetRate(30);
  capture.Start();
  ASSERT_TRUE(capture.Active());
  ASSERT_EQ(canvas.Width(), 320);
  ASSERT_EQ(canvas.Height(), 240);
  EXPECT_EQ(capture.Captured(), 1);
  EXPECT_EQ(canvas.Pixel(160, 120), widget.colour.rgba());

  TAVConverter c;
  c.ConvertOptions().SetSynchronous(true);
  c.ConvertOptions().SetRateEmu(true);
  c.ConvertOptions().SetRecordingTime(1000000);
  c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  c.ConvertOptions().VideoOptions().SetVideoQscale(2);
  TStringList formats, in, out;
  formats.Add("bmpcap");
  c.ConvertOptions().SetInputFormats(formats);
  const std::string file = dir.Path("widget.mp4");
  in.Add(BmpCaptureName(canvas));
  out.Add(file);
  c.SetInputFiles(in);
  c.SetOutputFiles(out);
  std::string error;
  std::atomic<bool> done{false};
  c.OnError = [&](TComponent*, const std::string& msg, const std::string&, bool& handled) {
    error = msg;
    handled = true;
    done = true;
  };
  c.OnComplete = [&](TComponent*) { done = true; };
  c.Convert();
  // Half way through, the widget changes colour: the recording must follow.
  const QColor second(230, 90, 20);
  const auto start = std::chrono::steady_clock::now();
  PumpUntil([&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500); }, 5000);
  widget.colour = second;
  ASSERT_TRUE(PumpUntil([&] { return done.load() && c.State() == csNone; }, 60000));
  capture.Stop();
  EXPECT_FALSE(capture.Active());
  ASSERT_EQ(error, "");
  // The timer, not only Start, drove the rendering.
  EXPECT_GE(capture.Captured(), 20);
  EXPECT_GE(widget.paints, capture.Captured());

  const ReadBack r = Decode(file);
  EXPECT_EQ(r.width, 320);
  EXPECT_EQ(r.height, 240);
  // About 30 pictures in one second.
  EXPECT_GE(r.pictures, 20);
  EXPECT_LE(r.pictures, 40);
  ASSERT_FALSE(r.centres.empty());
  for (size_t i = 1; i < r.times.size(); ++i) EXPECT_GT(r.times[i], r.times[i - 1]) << i;
  constexpr int kTolerance = 12;  // 4:2:0 MPEG-4 at qscale 2 on a flat colour
  EXPECT_TRUE(Near(r.centres.front(), QColor(30, 160, 220).rgb(), kTolerance)) << std::hex << r.centres.front();
  EXPECT_TRUE(Near(r.centres.back(), second.rgb(), kTolerance)) << std::hex << r.centres.back();
  int other = 0;  // pictures of neither colour
  for (QRgb p : r.centres) other += !Near(p, QColor(30, 160, 220).rgb(), kTolerance) && !Near(p, second.rgb(), kTolerance);
  EXPECT_EQ(other, 0);
}

TEST_F(WidgetCaptureTest, RendersAtTheBitmapsSizeAndStopsWhenTheWidgetGoes) {
  auto* widget = new ColourWidget;
  widget->resize(100, 50);
  widget->colour = QColor(0, 255, 0);
  TBitmap canvas(40, 20);  // kept: a capture input fixes its size at open
  TWidgetCapture capture(widget, canvas);
  capture.SetRate(100);
  EXPECT_EQ(capture.Rate(), 100);
  capture.Start();
  EXPECT_EQ(canvas.Width(), 40);
  EXPECT_EQ(canvas.Height(), 20);
  EXPECT_EQ(canvas.Pixel(0, 0), 0xFF00FF00u);
  EXPECT_EQ(canvas.Pixel(39, 19), 0xFF00FF00u);
  ASSERT_TRUE(PumpUntil([&] { return capture.Captured() >= 3; }, 10000));
  delete widget;
  EXPECT_FALSE(capture.CaptureNow());
  PumpUntil([&] { return !capture.Active(); }, 2000);
  EXPECT_FALSE(capture.Active());

  // An odd-sized widget gives an even-sized bitmap.
  ColourWidget odd;
  odd.resize(33, 17);
  TBitmap empty;
  TWidgetCapture second(&odd, empty);
  second.Start();
  EXPECT_EQ(empty.Width(), 32);
  EXPECT_EQ(empty.Height(), 16);
  EXPECT_EQ(empty.Pixel(16, 8), odd.colour.rgba());
}

}  // namespace
