// The "bmpcap" input: a live TBitmap read as raw RGBA video through the
// resolver, checked packet by packet (size, colour, tearing, resizing, the
// end when the bitmap goes) and for leaks over many opens.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "kivora/io/url.h"
#include "kivora/platform/bitmap.h"
#include "kivora/platform/stream.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"

namespace kivora::testing {
namespace {

constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kBlue = 0xFF0000FF;
constexpr uint32_t kGreen = 0xFF00FF00;

// One opened "bmpcap" input.
struct Capture {
  int open = 0;
  AVInputContextPtr ic;
  TUrlIOPtr io;
  AVPacketPtr pkt{av_packet_alloc()};
  explicit Capture(const std::string& name) {
    AVFormatContext* raw = nullptr;
    open = OpenInputUrl(&raw, name, FindInputFormat("bmpcap"), nullptr, io);
    if (open == 0) {
      ic.reset(raw);
    } else {
      EXPECT_EQ(raw, nullptr);
    }
  }
  explicit Capture(const TBitmap& b) : Capture(BmpCaptureName(b)) {}
  // The next packet's code; its bytes are in pkt until the next call.
  int Next() {
    av_packet_unref(pkt.get());
    return ReadInputFrame(ic.get(), io.get(), pkt.get());
  }
  uint32_t PixelAt(int x, int y) const {
    const int w = ic->streams[0]->codecpar->width;
    const uint8_t* p = pkt->data + (static_cast<size_t>(y) * w + x) * 4;
    return (uint32_t(p[3]) << 24) | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
  }
  // The colour every pixel of the packet has, or 0 when they differ.
  uint32_t Uniform() const {
    const uint32_t first = PixelAt(0, 0);
    for (int i = 0; i + 4 <= pkt->size; i += 4)
      if (std::memcmp(pkt->data, pkt->data + i, 4) != 0) return 0;
    return first;
  }
};

// Fills the whole bitmap with one colour as an application draws: mapped,
// under the capture lock.
void Paint(TBitmap& b, uint32_t argb) {
  TBmpCaptureLock lock;
  TBitmapData d;
  ASSERT_TRUE(b.Map(TMapAccess::Write, d));
  const uint8_t px[4] = {uint8_t(argb >> 16), uint8_t(argb >> 8), uint8_t(argb), uint8_t(argb >> 24)};
  for (int y = 0; y < d.Height; ++y)
    for (int x = 0; x < d.Width; ++x) std::memcpy(d.Data + static_cast<size_t>(y) * d.Pitch + 4 * x, px, 4);
  b.Unmap(d);
}

TEST(BitmapCapture, GivesWholeRgbaFramesAtTheNtscRateWithRisingTimes) {
  TBitmap b(640, 480);
  b.Clear(kRed);
  Capture c(b);
  ASSERT_EQ(c.open, 0);
  ASSERT_GE(avformat_find_stream_info(c.ic.get(), nullptr), 0);
  ASSERT_EQ(c.ic->nb_streams, 1u);
  AVStream* st = c.ic->streams[0];
  EXPECT_EQ(st->codecpar->codec_id, AV_CODEC_ID_RAWVIDEO);
  EXPECT_EQ(st->codecpar->format, AV_PIX_FMT_RGBA);
  EXPECT_EQ(st->codecpar->width, 640);
  EXPECT_EQ(st->codecpar->height, 480);
  EXPECT_EQ(av_cmp_q(st->avg_frame_rate, AVRational{30000, 1001}), 0)
      << st->avg_frame_rate.num << "/" << st->avg_frame_rate.den;

  // Decoded by FFmpeg's own raw decoder, red stays red.
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  ASSERT_NE(codec, nullptr);
  AVCodecContextPtr dec(avcodec_alloc_context3(codec));
  ASSERT_GE(avcodec_parameters_to_context(dec.get(), st->codecpar), 0);
  ASSERT_GE(avcodec_open2(dec.get(), codec, nullptr), 0);
  AVFramePtr frame(av_frame_alloc());
  int64_t last = AV_NOPTS_VALUE;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(c.Next(), 0);
    EXPECT_EQ(c.pkt->size, 1228800);
    ASSERT_NE(c.pkt->pts, AV_NOPTS_VALUE);
    if (last != AV_NOPTS_VALUE) {
      EXPECT_GT(c.pkt->pts, last);
    }
    last = c.pkt->pts;
    EXPECT_GT(c.pkt->duration, 0);
    ASSERT_GE(avcodec_send_packet(dec.get(), c.pkt.get()), 0);
    ASSERT_GE(avcodec_receive_frame(dec.get(), frame.get()), 0);
    ASSERT_EQ(frame->format, AV_PIX_FMT_RGBA);
    const uint8_t* p = frame->data[0] + 100 * frame->linesize[0] + 4 * 200;
    EXPECT_EQ(p[0], 255);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 0);
    EXPECT_EQ(p[3], 255);
  }
  // The capture clock starts near the wall-clock time of the open.
  const int64_t now = av_gettime();
  EXPECT_LT(std::llabs(av_rescale_q(last, st->time_base, {1, 1000000}) - now), 10 * 1000000LL);
}

TEST(BitmapCapture, NumbersThatNameNoLiveBitmapFailTheOpen) {
  TBitmap empty;
  std::string gone;
  {
    TBitmap b(16, 16);
    gone = BmpCaptureName(b);
  }
  TBitmap live(16, 16);
  const std::string live_name = BmpCaptureName(live);
  const std::string names[] = {"12345", gone, "", "abc", live_name + "x", "-" + live_name,
                               "99999999999999999999999", BmpCaptureName(empty)};
  for (const std::string& name : names) {
    Capture c(name);
    EXPECT_EQ(c.open, AVERROR(EINVAL)) << '"' << name << '"';
  }
  EXPECT_EQ(Capture(live).open, 0);
}

TEST(BitmapCapture, APictureDrawnUnderTheLockIsNeverTorn) {
  TBitmap b(320, 240);
  Paint(b, kRed);
  Capture c(b);
  ASSERT_EQ(c.open, 0);
  std::atomic<bool> stop{false};
  std::thread painter([&] {
    // A short pause between pictures, as a real painter has: a mutex is not
    // fair, and a loop that takes it again at once can starve the reader
    // for minutes under a sanitizer.
    for (int i = 0; !stop; ++i) {
      Paint(b, i % 2 ? kRed : kBlue);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  int red = 0, blue = 0, torn = 0;
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(c.Next(), 0);
    const uint32_t colour = c.Uniform();
    red += colour == kRed;
    blue += colour == kBlue;
    torn += colour != kRed && colour != kBlue;
  }
  stop = true;
  painter.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(red + blue, 300);
}

TEST(BitmapCapture, AResizedBitmapKeepsThePacketAndFillsTheRestBlack) {
  TBitmap b(64, 48);
  b.Clear(kGreen);
  Capture c(b);
  ASSERT_EQ(c.open, 0);
  const int frame = 64 * 48 * 4;

  // Larger: the part that overlaps the open-time size.
  b.SetSize(128, 96);
  b.Clear(kGreen);
  ASSERT_EQ(c.Next(), 0);
  EXPECT_EQ(c.pkt->size, frame);
  EXPECT_EQ(c.Uniform(), kGreen);

  // Smaller: the picture in the corner, opaque black around it.
  b.SetSize(32, 24);
  b.Clear(kGreen);
  ASSERT_EQ(c.Next(), 0);
  ASSERT_EQ(c.pkt->size, frame);
  int wrong = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) wrong += c.PixelAt(x, y) != (x < 32 && y < 24 ? kGreen : 0xFF000000);
  EXPECT_EQ(wrong, 0);

  // Emptied: all black, and the input goes on.
  b.SetSize(0, 0);
  ASSERT_EQ(c.Next(), 0);
  EXPECT_EQ(c.pkt->size, frame);
  EXPECT_EQ(c.Uniform(), 0xFF000000);

  // Sizes changing while the reader copies (the sanitizer build checks the
  // copies); every packet keeps the open-time size, and every pixel is one
  // the bitmap really held: blue, the black fill past a smaller size, or
  // the transparent black a new size starts with.
  std::atomic<bool> stop{false};
  std::thread resizer([&] {
    const int sizes[][2] = {{200, 150}, {10, 8}, {64, 48}, {0, 0}, {65, 47}};
    for (int i = 0; !stop; ++i) {
      b.SetSize(sizes[i % 5][0], sizes[i % 5][1]);
      b.Clear(kBlue);
    }
  });
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(c.Next(), 0);
    ASSERT_EQ(c.pkt->size, frame);
    const uint32_t corner = c.PixelAt(63, 47);  // outside the smallest sizes
    EXPECT_TRUE(corner == kBlue || corner == 0xFF000000 || corner == 0) << std::hex << corner;
  }
  stop = true;
  resizer.join();
}

TEST(BitmapCapture, DestroyingTheBitmapEndsTheInput) {
  // Between reads.
  {
    auto b = std::make_unique<TBitmap>(32, 32);
    b->Clear(kRed);
    Capture c(*b);
    ASSERT_EQ(c.open, 0);
    ASSERT_EQ(c.Next(), 0);
    b.reset();
    EXPECT_EQ(c.Next(), AVERROR_EOF);
    EXPECT_EQ(c.Next(), AVERROR_EOF);
  }
  // While another thread reads as fast as it can.
  {
    auto b = std::make_unique<TBitmap>(256, 256);
    b->Clear(kRed);
    Capture c(*b);
    ASSERT_EQ(c.open, 0);
    std::atomic<int> packets{0};
    int last = 0;
    std::thread reader([&] {
      while ((last = c.Next()) == 0) ++packets;
    });
    while (packets < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    b.reset();
    reader.join();
    EXPECT_EQ(last, AVERROR_EOF);
  }
}

// Resident memory in bytes.
int64_t Rss() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<int64_t>(resident) * 4096;
}

TEST(BitmapCapture, ManyOpensAndClosesOfBmpcapBufferAndStreamInputsLeaveNothing) {
  TempDir dir;
  MediaSpec m;
  m.frames = 5;
  m.width = 64;
  m.height = 48;
  m.audio_codec = AV_CODEC_ID_NONE;
  const std::string file = MakeMedia(dir.Path("small.mp4"), m);
  TMemoryStream memory;
  memory.LoadFromFile(file);
  TBitmap b(160, 120);
  b.Clear(kRed);
  auto cycle = [&] {
    {
      Capture c(b);
      ASSERT_EQ(c.open, 0);
      ASSERT_EQ(c.Next(), 0);
    }
    // The buffer protocol over a file, and an application stream.
    for (const std::string& url : {"buffer:" + file, StreamUrl(memory, "mp4")}) {
      AVFormatContext* raw = nullptr;
      TUrlIOPtr io;
      ASSERT_EQ(OpenInputUrl(&raw, url, nullptr, nullptr, io), 0) << url;
      AVInputContextPtr ic(raw);
      AVPacketPtr pkt(av_packet_alloc());
      ASSERT_EQ(ReadInputFrame(ic.get(), io.get(), pkt.get()), 0) << url;
    }
  };
  // A custom I/O context makes the MP4 demuxer warn on every open.
  const int level = av_log_get_level();
  av_log_set_level(AV_LOG_ERROR);
  for (int i = 0; i < 20; ++i) cycle();
  const int64_t before = Rss();
  for (int i = 0; i < 200; ++i) cycle();
  av_log_set_level(level);
#if !defined(__SANITIZE_ADDRESS__)
  // The sanitizer build holds freed memory back on purpose; it checks leaks
  // itself at exit.
  EXPECT_LT(Rss() - before, 2 * 1024 * 1024);
#else
  (void)before;
#endif
}

}  // namespace
}  // namespace kivora::testing
