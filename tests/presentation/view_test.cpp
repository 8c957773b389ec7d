// TAVView on its own: the fit geometry, what each wrap mode puts on screen,
// nine slices, the designer border and the copy of pictures into the bitmap.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPalette>
#include <cstring>
#include <initializer_list>
#include <tuple>
#include <vector>

#include "kivora/platform/exception.h"
#include "kivora/presentation/view.h"
#include "support/event_pump.h"

using namespace kivora;
using kivora::testing::EnsureApp;

namespace {

constexpr QRgb kBackground = 0xFF0000FFu;  // the widget's own background: blue
constexpr QRgb kRed = 0xFFFF0000u, kGreen = 0xFF00FF00u, kBlack = 0xFF000000u;

class ViewTest : public ::testing::Test {
protected:
  void SetUp() override {
    QPalette pal = view.palette();
    pal.setColor(QPalette::Window, QColor::fromRgba(kBackground));
    view.setPalette(pal);
    view.setAutoFillBackground(true);
  }

  // Sizes the bitmap and fills it from colour(x, y).
  template <typename F>
  void SetPicture(int w, int h, F colour) {
    view.SetViewSize(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) view.Bitmap().Image().setPixel(x, y, colour(x, y));
  }

  // What the widget shows at the given size.
  QImage Shown(int w, int h) {
    view.resize(w, h);
    return view.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  }

  // Each {x, y, colour} of img.
  static void ExpectPixels(const QImage& img, std::initializer_list<std::tuple<int, int, QRgb>> probes) {
    for (auto [x, y, c] : probes) EXPECT_EQ(img.pixel(x, y), c) << x << "," << y;
  }
  // Every step-th pixel of img is c.
  static void ExpectAll(const QImage& img, QRgb c, int step = 2) {
    for (int y = 0; y < img.height(); y += step)
      for (int x = 0; x < img.width(); x += step) ASSERT_EQ(img.pixel(x, y), c) << x << "," << y;
  }

  QApplication* app = EnsureApp();  // before the widget
  TAVView view;
};

// A picture whose every pixel is distinct, so a pixel on screen names the
// bitmap pixel it came from.
QRgb Coded(int x, int y) { return qRgba(x * 4 % 256, y * 4 % 256, (x / 64) * 64 + (y / 64) * 16, 255); }

// ---- FitRect2 ----

TEST(FitRect2, FillsTheBoundsInOneDirectionKeepingTheAspectRatio) {
  struct Case {
    QRectF picture, bounds;
    QRectF expect;
  } cases[] = {
      {{0, 0, 640, 480}, {0, 0, 800, 800}, {0, 100, 800, 600}},
      // round(666.67) = 667, the lowest bit cleared: 666; centred horizontally.
      {{0, 0, 640, 480}, {0, 0, 1000, 500}, {167, 0, 666, 500}},
      // Reduced as well as enlarged; round(225) = 225 is odd and becomes 224.
      {{0, 0, 1920, 1080}, {0, 0, 400, 400}, {0, 88, 400, 224}},
      // Bounds that do not start at the origin.
      {{0, 0, 100, 100}, {10, 20, 300, 100}, {110, 20, 100, 100}},
  };
  for (const Case& c : cases) {
    QRectF r = c.picture;
    const float aspect = FitRect2(AVRational{1, 1}, r, c.bounds);
    EXPECT_EQ(r, c.expect) << c.bounds.width() << "x" << c.bounds.height();
    EXPECT_FLOAT_EQ(aspect, static_cast<float>(c.picture.width() / c.picture.height()));
  }
}

TEST(FitRect2, SampleAspectRatioWidensOrNarrowsAndBadOnesCountAsSquare) {
  QRectF r(0, 0, 320, 240);
  // 320/240 * 2 = 8/3: 800 wide and round(300) = 300 high.
  EXPECT_FLOAT_EQ(FitRect2(AVRational{2, 1}, r, QRectF(0, 0, 800, 800)), 8.0f / 3.0f);
  EXPECT_EQ(r, QRectF(0, 250, 800, 300));
  r = QRectF(0, 0, 320, 240);
  FitRect2(AVRational{1, 2}, r, QRectF(0, 0, 800, 800));
  EXPECT_EQ(r, QRectF(134, 0, 532, 800));  // round(533.3) = 533 -> 532
  for (AVRational sar : {AVRational{0, 1}, AVRational{0, 0}, AVRational{-4, 3}, AVRational{4, -3}, AVRational{5, 0}}) {
    r = QRectF(0, 0, 640, 480);
    EXPECT_FLOAT_EQ(FitRect2(sar, r, QRectF(0, 0, 1000, 500)), 640.0f / 480.0f) << sar.num << "/" << sar.den;
    EXPECT_EQ(r, QRectF(167, 0, 666, 500)) << sar.num << "/" << sar.den;
  }
}

TEST(FitRect2, RectanglesWithoutAreaAreLeftAlone) {
  for (auto [rect, bounds] : {std::pair{QRectF(0, 0, 640, 480), QRectF(0, 0, 0, 500)},
                              std::pair{QRectF(0, 0, 640, 480), QRectF(0, 0, 500, 0)},
                              std::pair{QRectF(0, 0, 640, 480), QRectF(0, 0, 0, 0)},
                              std::pair{QRectF(0, 0, 640, 0), QRectF(0, 0, 100, 100)}}) {
    QRectF r = rect;
    EXPECT_FLOAT_EQ(FitRect2(AVRational{1, 1}, r, bounds), 1.0f);
    EXPECT_EQ(r, rect);
  }
}

// ---- Paint ----

TEST_F(ViewTest, EmptyBitmapPlaceAndUnknownModesShowOnlyTheBackground) {
  ExpectAll(Shown(50, 40), kBackground, 3);
  SetPicture(40, 20, [](int, int) { return kRed; });
  for (int mode : {5, 6, 100}) {
    SCOPED_TRACE(mode);
    view.SetWrapMode(static_cast<TImageWrapMode>(mode));
    ExpectAll(Shown(60, 30), kBackground);
  }
}

TEST_F(ViewTest, DesignerBorderIsDashedAndOnlyWhileDesigningUnlocked) {
  auto borderPixels = [&](int& changed, int& edge) {
    const QImage img = Shown(60, 40);
    changed = edge = 0;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 60; ++x) {
        const bool onEdge = x == 0 || y == 0 || x == 59 || y == 39;
        if (img.pixel(x, y) == kBackground) continue;
        ++changed;
        if (onEdge) ++edge;
      }
  };
  int changed, edge;
  borderPixels(changed, edge);
  EXPECT_EQ(changed, 0);

  view.SetDesigning(true);
  borderPixels(changed, edge);
  EXPECT_GT(edge, 20);
  EXPECT_EQ(changed, edge) << "the border stays on the outermost pixels";
  EXPECT_LT(edge, 2 * (60 + 40) - 4) << "a dashed line leaves gaps";
  const QImage img = Shown(60, 40);
  // Grey at alpha 0xA0 over blue.
  for (int x = 0; x < 60; ++x)
    if (img.pixel(x, 0) != kBackground) {
      EXPECT_NEAR(qRed(img.pixel(x, 0)), 0x90 * 0xA0 / 255, 2);
      EXPECT_NEAR(qBlue(img.pixel(x, 0)), 0x90 * 0xA0 / 255 + 255 * (255 - 0xA0) / 255, 2);
      break;
    }

  view.SetLocked(true);
  borderPixels(changed, edge);
  EXPECT_EQ(changed, 0);
}

TEST_F(ViewTest, OriginalAndCenterDrawAtOwnSizeClipped) {
  SetPicture(40, 30, Coded);
  view.SetWrapMode(TImageWrapMode::Original);  // from the top left
  ExpectPixels(Shown(100, 100), {{0, 0, Coded(0, 0)}, {39, 29, Coded(39, 29)}, {40, 10, kBackground},
                                 {10, 30, kBackground}});
  SetPicture(200, 150, Coded);
  ExpectPixels(Shown(100, 60), {{99, 59, Coded(99, 59)}});

  SetPicture(40, 20, Coded);
  view.SetWrapMode(TImageWrapMode::Center);  // in the middle
  ExpectPixels(Shown(100, 60), {{29, 20, kBackground}, {30, 20, Coded(0, 0)}, {69, 39, Coded(39, 19)},
                                {70, 39, kBackground}, {50, 19, kBackground}});
  SetPicture(200, 100, Coded);
  ExpectPixels(Shown(100, 60), {{0, 0, Coded(50, 20)}, {99, 59, Coded(149, 79)}});
}

TEST_F(ViewTest, FitUsesTheFitGeometryWithoutAPlayer) {
  SetPicture(64, 48, [](int, int) { return kRed; });
  view.SetWrapMode(TImageWrapMode::Fit);
  // 64x48 in 100x100: 100 wide, round(75) = 75 -> 74 high, at y = 13.
  const QImage img = Shown(100, 100);
  for (int x : {0, 50, 99})
    ExpectPixels(img, {{x, 12, kBackground}, {x, 13, kRed}, {x, 86, kRed}, {x, 87, kBackground}});
  // Enlarged to fill the height of a wide widget, centred: 128 wide at x = 86.
  ExpectPixels(Shown(300, 96), {{85, 50, kBackground}, {86, 50, kRed}, {213, 50, kRed}, {214, 50, kBackground}});
}

TEST_F(ViewTest, StretchFillsTheWidgetInterpolatingOnlyWhenAllowedAndBlendsByOpacity) {
  SetPicture(2, 1, [](int x, int) { return x == 0 ? kRed : kGreen; });
  view.SetWrapMode(TImageWrapMode::Stretch);
  ASSERT_TRUE(view.DisableInterpolation()) << "the default";
  ExpectPixels(Shown(100, 10), {{0, 0, kRed}, {49, 9, kRed}, {50, 0, kGreen}, {99, 9, kGreen}});
  view.SetDisableInterpolation(false);
  const QRgb mid = Shown(100, 10).pixel(49, 5);
  EXPECT_GT(qRed(mid), 40);
  EXPECT_GT(qGreen(mid), 40) << "a smoothed edge mixes both colours";

  SetPicture(10, 10, [](int, int) { return kRed; });
  view.SetOpacity(0.5);
  const QRgb p = Shown(20, 20).pixel(10, 10);
  EXPECT_NEAR(qRed(p), 128, 2);
  EXPECT_NEAR(qBlue(p), 128, 2);
}

TEST_F(ViewTest, TileRepeatsThePictureOverTheWholeWidget) {
  SetPicture(30, 20, Coded);
  view.SetWrapMode(TImageWrapMode::Tile);
  // 100 / 30 rounds to 3 and 50 / 20 to 2 (half to even); the extra column
  // and row still cover the right and bottom edges.
  const QImage img = Shown(100, 50);
  for (int y = 0; y < 50; y += 7)
    for (int x = 0; x < 100; x += 7) ASSERT_EQ(img.pixel(x, y), Coded(x % 30, y % 20)) << x << "," << y;
  EXPECT_EQ(img.pixel(99, 49), Coded(9, 9));
}

TEST_F(ViewTest, MarginsDrawNineSlicesWithFixedCornersAndStretchedEdges) {
  // A 30x30 bitmap of nine 10x10 cells, each its own colour.
  auto cell = [](int cx, int cy) { return qRgba(cx * 100, cy * 100, 50, 255); };
  SetPicture(30, 30, [&](int x, int y) { return cell(x / 10, y / 10); });
  view.SetWrapMode(TImageWrapMode::Place);  // margins win over the wrap mode
  view.SetBitmapMargins(TBounds{10, 10, 10, 10});
  ExpectPixels(Shown(100, 80), {
      {0, 0, cell(0, 0)},  {9, 9, cell(0, 0)},   {10, 10, cell(1, 1)}, {50, 40, cell(1, 1)}, {89, 69, cell(1, 1)},
      {50, 5, cell(1, 0)}, {90, 0, cell(2, 0)},  {99, 9, cell(2, 0)},  {5, 40, cell(0, 1)},  {95, 40, cell(2, 1)},
      {0, 70, cell(0, 2)}, {50, 75, cell(1, 2)}, {99, 79, cell(2, 2)}, {90, 70, cell(2, 2)},
  });
  // Margins larger than the bitmap or the widget are survived.
  SetPicture(8, 8, [](int, int) { return kRed; });
  view.SetBitmapMargins(TBounds{20, 20, 20, 20});
  EXPECT_EQ(Shown(30, 30).size(), QSize(30, 30));
}

// ---- the picture copy ----

// An RGBA frame over a buffer of exactly pitch * height bytes, so that
// reading past its last row is caught by AddressSanitizer.
struct TightFrame {
  TightFrame(int w, int h, int pitch) : pixels(static_cast<size_t>(pitch) * h) {
    frame.width = w;
    frame.height = h;
    frame.format = AV_PIX_FMT_RGBA;
    frame.data[0] = pixels.data();
    frame.linesize[0] = pitch;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < pitch / 4; ++x) Set(x, y, Coded(x, y));
  }
  void Set(int x, int y, QRgb c) {
    uint8_t* p = &pixels[static_cast<size_t>(y) * frame.linesize[0] + 4 * x];
    p[0] = qRed(c), p[1] = qGreen(c), p[2] = qBlue(c), p[3] = qAlpha(c);
  }
  std::vector<uint8_t> pixels;
  AVFrame frame{};
};

TEST_F(ViewTest, DisplayCopiesRgbaBytesAsTheyAre) {
  view.SetViewSize(32, 8);
  TightFrame f(32, 8, 32 * 4);
  f.Set(3, 2, qRgba(1, 2, 3, 4));
  view.DoVideoDisplay(&f.frame);
  EXPECT_EQ(view.Bitmap().Pixel(3, 2), qRgba(1, 2, 3, 4)) << "no reordering, alpha kept without a player";
  EXPECT_EQ(view.Bitmap().Pixel(31, 7), Coded(31, 7));
  EXPECT_FALSE(view.Bitmap().Mapped());
}

TEST_F(ViewTest, DisplayIsClippedToBothTheBitmapAndTheFrame) {
  struct Case {
    int bw, bh;  // bitmap
    int fw, fh, pitch;  // frame
  } cases[] = {
      {32, 16, 100, 50, 100 * 4 + 64},  // an oversized frame
      // 104 rounds up to 112: the rounded width reaches past each source row
      // and, on the last row, past the buffer.
      {112, 6, 104, 6, 104 * 4},
      // A narrow picture whose rows are as long as the bitmap's: each frame
      // row must land on the same bitmap row.
      {64, 8, 32, 8, 64 * 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fw);
    view.SetViewSize(c.bw, c.bh);
    view.Clear(kBlack);
    TightFrame f(c.fw, c.fh, c.pitch);
    view.DoVideoDisplay(&f.frame);
    for (int y = 0; y < c.bh; ++y)
      for (int x = 0; x < c.bw; ++x)
        ASSERT_EQ(view.Bitmap().Pixel(x, y), x < c.fw && y < c.fh ? Coded(x, y) : kBlack) << x << "," << y;
  }
}

// ---- pictures kept by reference ----

// A reference-counted RGBA frame, as the player hands them over, filled from
// colour(x, y); alpha, when 0 or more, replaces every pixel's alpha.
template <typename F>
AVFramePtr SharedFrame(int w, int h, F colour, int alpha = -1) {
  AVFramePtr f(av_frame_alloc());
  f->width = w;
  f->height = h;
  f->format = AV_PIX_FMT_RGBA;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const QRgb c = colour(x, y);
      uint8_t* p = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0] + 4 * x;
      p[0] = qRed(c), p[1] = qGreen(c), p[2] = qBlue(c), p[3] = alpha >= 0 ? alpha : qAlpha(c);
    }
  return f;
}

TEST_F(ViewTest, SharedPicturesPaintAsCopiedOnesInEveryModeAndOpacity) {
  struct Case {
    TImageWrapMode mode;
    int alpha;
    double opacity;
  } cases[] = {
      {TImageWrapMode::Original, 255, 1.0}, {TImageWrapMode::Fit, 255, 1.0},    {TImageWrapMode::Stretch, 255, 1.0},
      {TImageWrapMode::Center, 255, 1.0},   {TImageWrapMode::Tile, 255, 1.0},   {TImageWrapMode::Fit, 128, 1.0},
      {TImageWrapMode::Stretch, 0, 1.0},    {TImageWrapMode::Fit, 255, 0.5},    {TImageWrapMode::Original, 200, 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << static_cast<int>(c.mode) << " alpha " << c.alpha << " opacity "
                                      << c.opacity);
    view.SetWrapMode(c.mode);
    view.SetOpacity(c.opacity);
    view.SetViewSize(48, 32);
    // The copied picture: a frame without buffers of FFmpeg's own.
    TightFrame tight(48, 32, 48 * 4);
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 48; ++x) tight.Set(x, y, (Coded(x, y) & 0x00FFFFFFu) | (static_cast<QRgb>(c.alpha) << 24));
    view.DoVideoDisplay(&tight.frame);
    const QImage copied = Shown(100, 70);
    view.Clear(kBlack);
    // The shared one, let go of by its owner once the call returns.
    AVFramePtr shared = SharedFrame(48, 32, Coded, c.alpha);
    view.DoVideoDisplay(shared.get());
    shared.reset();
    const QImage held = Shown(100, 70);
    ASSERT_EQ(held, copied);
    if (c.alpha == 255 && c.mode == TImageWrapMode::Original && c.opacity == 1.0)
      ExpectPixels(held, {{0, 0, Coded(0, 0)}, {47, 31, Coded(47, 31)}, {48, 10, kBackground}});
  }
}

TEST_F(ViewTest, ASharedPictureGivesWayToClearsSizesPartialCopiesAndBitmapWrites) {
  view.SetWrapMode(TImageWrapMode::Original);
  view.SetViewSize(32, 16);
  AVFramePtr shared = SharedFrame(32, 16, Coded);
  view.DoVideoDisplay(shared.get());
  EXPECT_EQ(view.Bitmap().Pixel(31, 15), Coded(31, 15)) << "the bitmap holds the picture when asked for";
  EXPECT_FALSE(view.Bitmap().Mapped());

  view.DoVideoDisplay(shared.get());
  view.Clear(kGreen);
  ExpectAll(Shown(32, 16), kGreen, 1);

  // A smaller copied picture covers part of the shared one; the rest stays.
  view.DoVideoDisplay(shared.get());
  TightFrame red(16, 8, 16 * 4);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) red.Set(x, y, kRed);
  view.DoVideoDisplay(&red.frame);
  ExpectPixels(Shown(32, 16), {{0, 0, kRed}, {15, 7, kRed}, {16, 0, Coded(16, 0)}, {0, 8, Coded(0, 8)},
                               {31, 15, Coded(31, 15)}});

  // Pixels written into the bitmap after a shared picture are what is shown.
  view.DoVideoDisplay(shared.get());
  view.Bitmap().Image().setPixel(5, 5, kBlack);
  ExpectPixels(Shown(32, 16), {{5, 5, kBlack}, {6, 5, Coded(6, 5)}});

  // The same size keeps the picture; a new one starts from a clean bitmap
  // that a picture of the old size no longer fits (it is copied, clipped).
  view.DoVideoDisplay(shared.get());
  view.SetViewSize(32, 16);
  ExpectPixels(Shown(32, 16), {{31, 15, Coded(31, 15)}});
  view.SetViewSize(16, 16);
  view.Clear(kBlack);
  view.DoVideoDisplay(shared.get());
  shared.reset();
  ExpectPixels(Shown(32, 16), {{15, 15, Coded(15, 15)}, {16, 0, kBackground}});
  EXPECT_EQ(view.Bitmap().Pixel(15, 15), Coded(15, 15));
}

TEST_F(ViewTest, DisplayIntoAnEmptyBitmapOrWithoutPixelsDoesNothing) {
  TightFrame f(16, 4, 64);
  view.DoVideoDisplay(&f.frame);
  EXPECT_TRUE(view.Bitmap().IsEmpty());
  view.SetViewSize(16, 4);
  view.Clear(0x80102030u);  // an ARGB colour
  AVFrame none{};
  none.width = 16;
  none.height = 4;
  view.DoVideoDisplay(&none);
  view.DoVideoDisplay(nullptr);
  EXPECT_EQ(view.Bitmap().Pixel(15, 3), 0x80102030u);
  view.SetViewSize(0, 10);
  EXPECT_TRUE(view.Bitmap().IsEmpty());
}

}  // namespace
