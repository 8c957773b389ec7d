// The motion detector on drawn frames: a block that moves for a while on a
// still background, still and noisy clips, the clamps, the mask painted
// where the block moved, and the frames it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kivora/preview/motiondetect.h"

extern "C" {
#include <libavutil/time.h>
}

using namespace kivora;

namespace {

constexpr int W = 320, H = 240, kBlock = 40;
constexpr int64_t kFrameUs = 40000;  // 25 frames a second

// Grey background with a white block at x; noise adds up to +-noise per
// colour byte.
TBitmap Frame(int x, int noise = 0, unsigned seed = 0) {
  TBitmap bmp(W, H);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> jitter(-noise, noise);
  for (int y = 0; y < H; ++y) {
    uint8_t* row = bmp.Image().scanLine(y);
    for (int i = 0; i < W; ++i) {
      const bool block = i >= x && i < x + kBlock && y >= 100 && y < 100 + kBlock;
      for (int k = 0; k < 3; ++k) row[4 * i + k] = static_cast<uint8_t>((block ? 230 : 90) + (noise ? jitter(rng) : 0));
      row[4 * i + 3] = 255;
    }
  }
  return bmp;
}

// Where the block is in frame n: still, moving 8 pixels a frame during
// frames 10 to 19, then still again.
int BlockX(int n) { return 20 + 8 * std::clamp(n - 9, 0, 10); }

struct Events {
  std::vector<int> begins, ends;
};

// Feeds frames 1..count-1 (frame 0 primes the detector) with their media times.
Events FeedClip(TAVMotionDetector& d, int count, int noise = 0, bool moving = true) {
  Events e;
  int n = 0;
  d.onMotionBegin = [&](TComponent*) { e.begins.push_back(n); };
  d.onMotionEnd = [&](TComponent*) { e.ends.push_back(n); };
  TBitmap first = Frame(BlockX(0), noise, 0);
  d.initialize(first, 0);
  for (n = 1; n < count; ++n) {
    TBitmap f = Frame(moving ? BlockX(n) : BlockX(0), noise, static_cast<unsigned>(n));
    EXPECT_TRUE(d.feedFrame(f, n * kFrameUs));
  }
  return e;
}

TEST(MotionDetector, AMovingBlockBeginsOnceAndEndsAfterTheHold) {
  for (int secs : {1, 2}) {
    TAVMotionDetector d;
    d.setTolerance(100);
    d.setDetectionSecs(secs);
    const Events e = FeedClip(d, 100);
    // Motion from frame 10; the hold is whole seconds of media time, and the
    // first quiet frame strictly after it ends the motion.
    EXPECT_EQ(e.begins, std::vector<int>{10}) << secs;
    EXPECT_EQ(e.ends, std::vector<int>{10 + secs * 25 + 1}) << secs;
  }
}

// Without frame times the hold is timed by the monotonic clock: quiet frames
// fed quickly (many more than a second's worth at any usual rate) do not end
// it, a quiet frame more than detectionSecs after the begin does. The checks
// hold whatever the machine's speed: each one is made only where the clock
// readings around it decide the answer.
TEST(MotionDetector, WithoutFrameTimesTheHoldIsTimedByTheClock) {
  TAVMotionDetector d;
  d.setTolerance(100);
  d.setDetectionSecs(1);
  int begins = 0, ends = 0;
  d.onMotionBegin = [&](TComponent*) { ++begins; };
  d.onMotionEnd = [&](TComponent*) { ++ends; };
  TBitmap still = Frame(20), moved = Frame(60);
  d.initialize(still);
  const int64_t beforeBegin = av_gettime_relative();
  ASSERT_TRUE(d.feedFrame(moved));
  const int64_t afterBegin = av_gettime_relative();
  ASSERT_EQ(begins, 1);
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(d.feedFrame(moved));  // quiet: nothing moves any more
  if (av_gettime_relative() - beforeBegin < 900000) {
    EXPECT_EQ(ends, 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(d.feedFrame(moved));
  if (av_gettime_relative() - beforeBegin < 900000) {
    EXPECT_EQ(ends, 0);
  }
  while (av_gettime_relative() - afterBegin < 1200000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(d.feedFrame(moved));
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(begins, 1);
}

TEST(MotionDetector, StillFramesAndCodingNoiseAreNoMotion) {
  struct {
    int noise;
  } cases[] = {{0}, {12}};
  for (const auto& c : cases) {
    TAVMotionDetector d;
    const Events e = FeedClip(d, 30, c.noise, false);
    EXPECT_TRUE(e.begins.empty() && e.ends.empty()) << c.noise;
    EXPECT_LE(d.maxDiff(), 2 * c.noise) << c.noise;
    EXPECT_EQ(d.value(), 0u);
  }
}

TEST(MotionDetector, SettingsAreClamped) {
  TAVMotionDetector d;
  EXPECT_EQ(d.tolerance(), 1000u);
  EXPECT_EQ(d.sensivity(), 32);
  EXPECT_EQ(d.detectionSecs(), 3);
  EXPECT_EQ(d.showMask(), smMotion);
  struct {
    int64_t in;
    uint32_t tolerance, sensivity, secs;
  } cases[] = {
      {0, 10, 1, 1},      {5, 10, 5, 5},           {9, 10, 9, 5},
      {300, 300, 255, 5}, {3000000000, 2147483647, 255, 5}, {-7, 10, 1, 1},
  };
  for (const auto& c : cases) {
    d.setTolerance(c.in);
    d.setSensivity(c.in);
    d.setDetectionSecs(c.in);
    EXPECT_EQ(d.tolerance(), c.tolerance) << c.in;
    EXPECT_EQ(d.sensivity(), c.sensivity) << c.in;
    EXPECT_EQ(d.detectionSecs(), c.secs) << c.in;
  }
}

// Primes with the block at x 20, feeds it at each of xs, and returns what
// getImage paints over out (by default a frame whose block is at x 0).
TBitmap MaskAfter(TShowMask mode, bool rePaint, const std::vector<int>& xs, TBitmap out = Frame(0)) {
  TAVMotionDetector d;
  d.setShowMask(mode);
  TBitmap f = Frame(20);
  d.initialize(f);
  for (int x : xs) {
    TBitmap g = Frame(x);
    d.feedFrame(g);
  }
  {
    // Memory just freed tends to come back to the next picture of its size:
    // this keeps a copy of the last frame from being what a bitmap resized
    // for the detector happens to hold.
    TBitmap poison(W, H);
    poison.Clear(0xFF00FF00u);
  }
  EXPECT_TRUE(d.getImage(out, rePaint));
  return out;
}

TEST(MotionDetector, TheMaskIsPaintedWhereTheBlockMoved) {
  // Moving to x 28, the block leaves x 20..27 and enters x 60..67 (rows
  // 100..139); each of those pixels changes by 140. Red is byte 0.
  const uint32_t grey = 0xFF5A5A5Au, white = 0xFFE6E6E6u;
  const uint32_t greyRed = 0xFFE60000u, fullRed = 0xFFFF0000u;
  struct {
    TShowMask mode;
    bool rePaint;
    std::vector<int> xs;
    uint32_t left, entered, still, block;  // at (22,110), (64,110), (200,50), (40,110)
  } cases[] = {
      {smMotion, true, {28}, greyRed, fullRed, grey, white},
      {smFullMask, true, {28}, greyRed, fullRed, 0xFF005A00u, 0xFF00E600u},
      {smNone, true, {28}, grey, white, grey, white},
      // Without rePaint the bitmap's own pixels (block at 0..39) stay under the mask.
      {smMotion, false, {28}, fullRed, greyRed, grey, grey},
      // Priming leaves no mask behind, so the first step is all new.
      {smMotionNew, true, {28}, greyRed, fullRed, grey, white},
      // Back and forth: the same pixels moved in both frames, so they are
      // not new; smMotion still paints them.
      {smMotionNew, true, {28, 20}, white, grey, grey, white},
      {smMotion, true, {28, 20}, fullRed, greyRed, grey, white},
  };
  for (const auto& c : cases) {
    const TBitmap img = MaskAfter(c.mode, c.rePaint, c.xs);
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " rePaint " << c.rePaint << " steps " << c.xs.size());
    EXPECT_EQ(img.Pixel(22, 110), c.left);
    EXPECT_EQ(img.Pixel(64, 110), c.entered);
    EXPECT_EQ(img.Pixel(200, 50), c.still);
    EXPECT_EQ(img.Pixel(40, 110), c.block);
  }
}

// Without rePaint the mask goes over the bitmap's own picture. A bitmap of
// another size (or none) has no picture of the detector's size: it gets the
// stored frame under the mask, never memory nothing was written to. One of
// the right size in another pixel format keeps its own picture.
TEST(MotionDetector, GetImageWithoutRePaintOnABitmapOfAnotherSize) {
  for (TShowMask mode : {smMotion, smFullMask, smNone}) {
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    const TBitmap overStored = MaskAfter(mode, true, {28});
    const TBitmap overOwn = MaskAfter(mode, false, {28});
    auto filled = [](int w, int h) {
      TBitmap b(w, h);
      b.Clear(0xFF123456u);
      return b;
    };
    const struct {
      const char* what;
      TBitmap out;
      const TBitmap& expected;
    } cases[] = {
        {"smaller", filled(16, 16), overStored},
        {"larger", filled(W + 8, H + 8), overStored},
        {"as wide, less high", filled(W, H - 1), overStored},
        {"empty", TBitmap(), overStored},
        {"same size, 32-bit RGB", [] {
           TBitmap b = Frame(0);
           b.Image() = b.Image().convertToFormat(QImage::Format_RGB32);
           return b;
         }(), overOwn},
    };
    for (const auto& c : cases) {
      const TBitmap img = MaskAfter(mode, false, {28}, c.out);
      ASSERT_EQ(img.Width(), W) << c.what;
      ASSERT_EQ(img.Height(), H) << c.what;
      EXPECT_TRUE(img.Image() == c.expected.Image()) << c.what;
    }
  }
}

TEST(MotionDetector, FirstFrameWithoutPrimingIsComparedWithBlack) {
  TAVMotionDetector d;
  int begins = 0, fed = 0;
  d.onMotionBegin = [&](TComponent* sender) {
    EXPECT_EQ(sender, &d);
    ++begins;
  };
  d.onFeedFrame = [&](TBitmap&) { ++fed; };
  TBitmap f = Frame(20);
  d.initialize(f);
  EXPECT_EQ(begins, 0);
  EXPECT_EQ(fed, 1);
  EXPECT_FALSE(d.hasMotion());
  TAVMotionDetector fresh;
  fresh.onMotionBegin = [&](TComponent*) { ++begins; };
  EXPECT_TRUE(fresh.feedFrame(f));
  EXPECT_EQ(begins, 1);
  EXPECT_EQ(fresh.value(), static_cast<uint32_t>(W * H));
}

TEST(MotionDetector, AHandlerThatThrowsWhilePrimingLeavesTheDetectorListening) {
  TAVMotionDetector d;
  d.onFeedFrame = [](TBitmap&) { throw std::runtime_error("handler"); };
  TBitmap f = Frame(20);
  EXPECT_THROW(d.initialize(f), std::runtime_error);
  d.onFeedFrame = nullptr;
  int begins = 0;
  d.onMotionBegin = [&](TComponent*) { ++begins; };
  TBitmap g = Frame(200);
  d.feedFrame(g);
  EXPECT_EQ(begins, 1);
}

TEST(MotionDetector, LightnessIsTheAverageByte) {
  TBitmap white(64, 64);
  white.Clear(0xFFFFFFFFu);
  for (bool on : {true, false}) {
    TAVMotionDetector d;
    d.setDetectLightness(on);
    ASSERT_TRUE(d.feedFrame(white));
    EXPECT_EQ(d.lightness(), on ? 255 : 0);
  }
}

TEST(MotionDetector, FramesItCannotCompareAreRefused) {
  TAVMotionDetector d;
  int events = 0;
  d.onFeedFrame = [&](TBitmap&) { ++events; };
  TBitmap tiny(1, 5), empty, wide(65536, 2), mapped(16, 16);
  TBitmapData data;
  ASSERT_TRUE(mapped.Map(TMapAccess::Read, data));
  for (TBitmap* b : {&mapped, &wide, &empty, &tiny}) EXPECT_FALSE(d.feedFrame(*b));
  mapped.Unmap(data);
  EXPECT_EQ(events, 0);
  TBitmap out;
  EXPECT_FALSE(d.getImage(out, true));
}

}  // namespace

namespace {

// The luma plane a decoder would hand over for Frame(x, noise, seed): each
// grey byte v in limited range, 16 + v * 219 / 255.
std::vector<uint8_t> LumaOf(TBitmap& bmp, int pitch) {
  std::vector<uint8_t> plane(static_cast<size_t>(pitch) * H, 0);
  for (int y = 0; y < H; ++y) {
    const uint8_t* row = bmp.Image().constScanLine(y);
    for (int x = 0; x < W; ++x) plane[static_cast<size_t>(y) * pitch + x] = static_cast<uint8_t>(16 + (row[4 * x] * 219 + 127) / 255);
  }
  return plane;
}

}  // namespace

// Fed the luma planes of grey pictures, the detector sees what it sees in the
// RGBA pictures: the same begins and ends, about the same moving pixels each
// frame, at several sensitivities and noise levels (so pixels near the
// threshold are counted alike), also with padded rows.
TEST(MotionDetector, LumaPlanesGiveWhatTheirRgbaPicturesGive) {
  struct Case {
    int sens, noise, pitch;
  };
  for (const Case c : {Case{32, 0, W}, Case{32, 6, W + 32}, Case{12, 4, W}, Case{60, 20, W + 1}}) {
    SCOPED_TRACE(::testing::Message() << "sensitivity " << c.sens << " noise " << c.noise << " pitch " << c.pitch);
    TAVMotionDetector rgba, luma;
    for (TAVMotionDetector* d : {&rgba, &luma}) {
      d->setTolerance(100);
      d->setSensivity(c.sens);
      d->setDetectionSecs(1);
    }
    Events er, el;
    int n = 0;
    rgba.onMotionBegin = [&](TComponent*) { er.begins.push_back(n); };
    rgba.onMotionEnd = [&](TComponent*) { er.ends.push_back(n); };
    luma.onMotionBegin = [&](TComponent*) { el.begins.push_back(n); };
    luma.onMotionEnd = [&](TComponent*) { el.ends.push_back(n); };
    for (n = 0; n < 60; ++n) {
      TBitmap f = Frame(BlockX(n), c.noise, static_cast<unsigned>(n));
      const std::vector<uint8_t> plane = LumaOf(f, c.pitch);
      if (n == 0) {
        rgba.initialize(f, 0);
        luma.initializeLuma(plane.data(), W, H, c.pitch, false, 0);
        continue;
      }
      ASSERT_TRUE(rgba.feedFrame(f, n * kFrameUs));
      ASSERT_TRUE(luma.feedLuma(plane.data(), W, H, c.pitch, false, n * kFrameUs));
      const double a = rgba.value(), b = luma.value();
      EXPECT_NEAR(b, a, std::max(20.0, a * 0.05)) << "frame " << n;
    }
    EXPECT_EQ(el.begins, er.begins);
    EXPECT_EQ(el.ends, er.ends);
    EXPECT_FALSE(er.begins.empty());
  }
}

// After luma planes, the stored picture is painted grey under the mask; a
// bitmap fed afterwards starts over as a new size does.
TEST(MotionDetector, LumaFramesAreShownGreyAndBitmapsStartOver) {
  TAVMotionDetector d;
  d.setShowMask(smMotion);
  TBitmap f = Frame(BlockX(0));
  const std::vector<uint8_t> plane = LumaOf(f, W);
  d.initializeLuma(plane.data(), W, H, W, false, 0);
  TBitmap shown;
  ASSERT_TRUE(d.getImage(shown, true));
  TBitmapData data;
  ASSERT_TRUE(shown.Map(TMapAccess::Read, data));
  const uint8_t* px = data.Data + 10 * data.Pitch + 4 * 10;  // background
  EXPECT_EQ(px[0], plane[10 * W + 10]);
  EXPECT_EQ(px[1], px[0]);
  EXPECT_EQ(px[2], px[0]);
  EXPECT_EQ(px[3], 255);
  shown.Unmap(data);
  // A bitmap after planes is compared with black, not with the luma bytes.
  ASSERT_TRUE(d.feedFrame(f, kFrameUs));
  EXPECT_EQ(d.value(), static_cast<uint32_t>(W * H));
  // Planes that cannot be compared are refused.
  EXPECT_FALSE(d.feedLuma(nullptr, W, H, W, false));
  EXPECT_FALSE(d.feedLuma(plane.data(), 1, H, W, false));
  EXPECT_FALSE(d.feedLuma(plane.data(), W, H, W - 1, false));
}
