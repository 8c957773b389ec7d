// TAVGLView fed by a real player: the picture on screen against a CPU
// conversion of the same planes, through the planar and the NV12 materials,
// RGBA pictures, and detaching.
#include <QImage>
#include <cmath>

#include "gl/gl_test_util.h"
#include "kivora/presentation/glview.h"
#include "player/player_test_util.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

// Keeps a copy of the last picture the player handed out.
class CopyingView : public IAVView {
public:
  void DoVideoDisplay(AVFrame* f) override {
    FLast.reset(av_frame_clone(f));
    ++FCount;
  }
  void SetViewSize(int, int) override {}
  void Clear(uint32_t) override {}
  const AVFrame* Last() const { return FLast.get(); }
  int Count() const { return FCount; }

private:
  AVFramePtr FLast;
  int FCount = 0;
};

// A sample of a chroma plane at the place a linear texture lookup reads
// for luma pixel (x, y): between the four nearest samples, clamped at the edges.
double Bilinear(const uint8_t* plane, int pitch, int cw, int ch, int stride, double sx, double sy) {
  sx = std::clamp(sx, 0.0, cw - 1.0);
  sy = std::clamp(sy, 0.0, ch - 1.0);
  const int x0 = static_cast<int>(std::floor(sx)), y0 = static_cast<int>(std::floor(sy));
  const int x1 = std::min(x0 + 1, cw - 1), y1 = std::min(y0 + 1, ch - 1);
  const double fx = sx - x0, fy = sy - y0;
  auto at = [&](int x, int y) { return static_cast<double>(plane[y * pitch + x * stride]); };
  return (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) + (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
}

class GLViewPlayer : public ::testing::Test {
protected:
  void SetUp() override { KIVORA_NEED_GL(gl); }
  GLFixture gl;
};

TEST_F(GLViewPlayer, PlayedPicturesMatchACpuConversionOfTheSamePlanes) {
  for (bool nv12 : {false, true}) {
    SCOPED_TRACE(nv12 ? "NV12 material" : "planar material");
    TAVPlayer player;
    player.SetDisableAudio(true);
    player.SetRGBMode(false);
    TAVGLView view;
    view.SetPreferNV12(nv12);
    view.resize(320, 240);
    view.show();
    view.SetPlayer(&player);
    CopyingView witness;
    player.RegisterView(&witness);
    player.OpenMovie(VideoClip(), true, true);
    ASSERT_TRUE(PumpUntil([&] { return witness.Count() >= 1 && player.Paused(); }, 10000));
    PumpUntil([] { return false; }, 100);
    ASSERT_EQ(witness.Last()->format, AV_PIX_FMT_YUV420P) << "RGBMode off hands the planes over";
    EXPECT_EQ(view.Path(), nv12 ? TAVGLView::TPath::NV12 : TAVGLView::TPath::Planar);
    const QImage shot = view.grabFramebuffer().convertToFormat(QImage::Format_RGB888);
    EXPECT_TRUE(view.LastError().empty()) << view.LastError();
    ASSERT_EQ(shot.width(), 320);
    ASSERT_EQ(shot.height(), 240);

    const AVFrame* f = witness.Last();
    const TYuvConversion c = TYuvConversion::ForFrame(f->colorspace, f->color_range, f->format);
    const int cw = (f->width + 1) / 2, ch = (f->height + 1) / 2;
    std::vector<int> errors;
    for (int y = 0; y < f->height; ++y)
      for (int x = 0; x < f->width; ++x) {
        const double sx = (x + 0.5) / 2 - 0.5, sy = (y + 0.5) / 2 - 0.5;
        const double u = Bilinear(f->data[1], f->linesize[1], cw, ch, 1, sx, sy);
        const double v = Bilinear(f->data[2], f->linesize[2], cw, ch, 1, sx, sy);
        const auto want = ReferenceRgb(c, f->data[0][y * f->linesize[0] + x], u, v);
        const uchar* px = shot.constScanLine(y) + x * 3;
        for (int i = 0; i < 3; ++i) errors.push_back(std::abs(px[i] - want[i]));
      }
    double mean = 0;
    for (int e : errors) mean += e;
    mean /= static_cast<double>(errors.size());
    std::sort(errors.begin(), errors.end());
    const int p99 = errors[errors.size() * 99 / 100];
    EXPECT_LE(mean, 2.0);
    EXPECT_LE(p99, 4);
    player.CloseMovie();
  }
}

TEST_F(GLViewPlayer, RgbPicturesAreDrawnAsTheyAreAndTheViewDetachesFromAGonePlayer) {
  TAVGLView view;
  view.resize(320, 240);
  view.show();
  {
    TAVPlayer player;
    player.SetDisableAudio(true);  // RGB mode, the default
    view.SetPlayer(&player);
    CopyingView witness;
    player.RegisterView(&witness);
    player.OpenMovie(VideoClip(), true, true);
    ASSERT_TRUE(PumpUntil([&] { return witness.Count() >= 1 && player.Paused(); }, 10000));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(view.Path(), TAVGLView::TPath::Rgba);
    const QImage shot = view.grabFramebuffer().convertToFormat(QImage::Format_RGBA8888);
    const AVFrame* f = witness.Last();
    ASSERT_EQ(f->format, AV_PIX_FMT_RGBA);
    int worst = 0;
    for (int y = 0; y < f->height; y += 7)
      for (int x = 0; x < f->width; x += 5)
        for (int i = 0; i < 3; ++i)
          worst = std::max(worst, std::abs(shot.constScanLine(y)[x * 4 + i] - f->data[0][y * f->linesize[0] + x * 4 + i]));
    EXPECT_LE(worst, 1);
    EXPECT_EQ(view.Player(), &player);
  }
  EXPECT_EQ(view.Player(), nullptr);
  // Still paintable: the last picture stays.
  EXPECT_FALSE(view.grabFramebuffer().isNull());
}

TEST_F(GLViewPlayer, KeepsTheAspectRatioAndClearsToTheGivenColour) {
  TAVGLView view;
  view.resize(200, 100);
  view.show();
  ASSERT_TRUE(PumpUntil([&] { return view.isVisible(); }, 2000));
  // A white 100 x 100 picture in a 200 x 100 view: a white square in the
  // middle, black bars on either side.
  std::vector<uint8_t> y(100 * 100, 255), uv(50 * 50, 128);
  AVFrame f{};
  f.width = f.height = 100;
  f.format = AV_PIX_FMT_YUV420P;
  f.color_range = AVCOL_RANGE_JPEG;
  f.data[0] = y.data();
  f.data[1] = f.data[2] = uv.data();
  f.linesize[0] = 100;
  f.linesize[1] = f.linesize[2] = 50;
  view.Clear(0xFF000000u);
  view.DoVideoDisplay(&f);
  QImage shot = view.grabFramebuffer();
  EXPECT_EQ(shot.pixel(100, 50), qRgb(255, 255, 255));
  EXPECT_EQ(shot.pixel(10, 50), qRgb(0, 0, 0));
  EXPECT_EQ(shot.pixel(190, 50), qRgb(0, 0, 0));
  EXPECT_EQ(shot.pixel(52, 50), qRgb(255, 255, 255));
  EXPECT_EQ(shot.pixel(47, 50), qRgb(0, 0, 0));
  view.Clear(0xFF0000FFu);  // the picture goes, the colour shows
  shot = view.grabFramebuffer();
  EXPECT_EQ(shot.pixel(100, 50), qRgb(0, 0, 255));
  // A frame of a format the materials have no shader for is converted.
  std::vector<uint8_t> y444(16 * 16, 255), c444(16 * 16, 128);
  AVFrame g{};
  g.width = g.height = 16;
  g.format = AV_PIX_FMT_YUV444P;
  g.data[0] = y444.data();
  g.data[1] = g.data[2] = c444.data();
  g.linesize[0] = g.linesize[1] = g.linesize[2] = 16;
  view.DoVideoDisplay(&g);
  EXPECT_EQ(view.Path(), TAVGLView::TPath::Planar);
  shot = view.grabFramebuffer();
  EXPECT_LE(MaxDiff(reinterpret_cast<const uint8_t*>(shot.convertToFormat(QImage::Format_RGB888).constScanLine(50)) + 100 * 3,
                    {255, 255, 255}),
            3);
}

}  // namespace
