#pragma once
// A GL context for the tests (Mesa's software renderer under Xvfb), drawing
// a material into a framebuffer object and reading the pixels back, and the
// reference colour conversion the pictures are checked against.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "kivora/presentation/materials.h"
#include "support/event_pump.h"

namespace kivora::testing {

// A made-current context with an offscreen surface, or the reason there is
// none.
class GLFixture {
public:
  GLFixture() {
    EnsureApp();
    if (QGuiApplication::platformName() == "offscreen") {
      FWhyNot = "the offscreen platform has no OpenGL (run under xvfb-run with QT_QPA_PLATFORM=xcb)";
      return;
    }
    FSurface = std::make_unique<QOffscreenSurface>();
    FSurface->create();
    FContext = std::make_unique<QOpenGLContext>();
    if (!FContext->create()) {
      FWhyNot = "no OpenGL context can be made";
      FContext.reset();
      return;
    }
    if (!FContext->makeCurrent(FSurface.get())) {
      FWhyNot = "the OpenGL context cannot be made current";
      FContext.reset();
    }
  }
  ~GLFixture() {
    if (FContext) {
      FContext->makeCurrent(FSurface.get());
      FFbo.reset();
      FContext->doneCurrent();
    }
  }
  bool Ok() const { return FContext != nullptr; }
  const std::string& WhyNot() const { return FWhyNot; }
  QOpenGLContext* Context() { return FContext.get(); }
  void MakeCurrent() { FContext->makeCurrent(FSurface.get()); }
  // Destroys the context (what a reparented or closed widget does) and makes
  // a new one current.
  void RecreateContext() {
    FContext->makeCurrent(FSurface.get());
    FFbo.reset();
    FContext.reset();
    FContext = std::make_unique<QOpenGLContext>();
    ASSERT_TRUE(FContext->create());
    ASSERT_TRUE(FContext->makeCurrent(FSurface.get()));
  }

  // Draws material over a w x h target cleared to clear (RGBA bytes) and
  // returns the target's RGBA bytes, top row first. Empty when the material
  // could not be applied.
  std::vector<uint8_t> Draw(TMaterial& material, int w, int h, float opacity = 1.0f,
                            std::array<uint8_t, 4> clear = {0, 0, 0, 255}) {
    MakeCurrent();
    if (!FFbo || FFbo->width() != w || FFbo->height() != h)
      FFbo = std::make_unique<QOpenGLFramebufferObject>(w, h);
    FFbo->bind();
    QOpenGLFunctions* f = FContext->functions();
    f->glViewport(0, 0, w, h);
    f->glClearColor(clear[0] / 255.0f, clear[1] / 255.0f, clear[2] / 255.0f, clear[3] / 255.0f);
    f->glClear(GL_COLOR_BUFFER_BIT);
    TDrawContext dc;
    dc.MVP.ortho(0, static_cast<float>(w), static_cast<float>(h), 0, -1, 1);
    dc.Opacity = opacity;
    std::vector<uint8_t> out;
    if (DrawMaterialQuad(material, dc, QRectF(0, 0, w, h))) {
      out.resize(static_cast<size_t>(w) * h * 4);
      f->glPixelStorei(GL_PACK_ALIGNMENT, 1);
      f->glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, out.data());
      // GL's rows go bottom-up.
      std::vector<uint8_t> flipped(out.size());
      for (int y = 0; y < h; ++y)
        std::copy_n(out.begin() + static_cast<ptrdiff_t>(h - 1 - y) * w * 4, w * 4,
                    flipped.begin() + static_cast<ptrdiff_t>(y) * w * 4);
      out.swap(flipped);
    }
    FFbo->release();
    return out;
  }

private:
  std::unique_ptr<QOffscreenSurface> FSurface;
  std::unique_ptr<QOpenGLContext> FContext;
  std::unique_ptr<QOpenGLFramebufferObject> FFbo;
  std::string FWhyNot;
};

// rgb (0..255, rounded and clamped) of y, u, v (0..255) under conversion c.
inline std::array<int, 3> ReferenceRgb(const TYuvConversion& c, double y, double u, double v) {
  const double s[3] = {y / 255.0 - c.Offset[0], u / 255.0 - c.Offset[1], v / 255.0 - c.Offset[2]};
  std::array<int, 3> out{};
  for (int i = 0; i < 3; ++i) {
    const double x = c.Matrix[i * 3] * s[0] + c.Matrix[i * 3 + 1] * s[1] + c.Matrix[i * 3 + 2] * s[2];
    out[i] = static_cast<int>(std::lround(std::clamp(x, 0.0, 1.0) * 255.0));
  }
  return out;
}

// Full-range BT.601 YUV (0..255) of an RGB colour: what the default
// conversion turns back into that colour.
inline std::array<double, 3> FullRange601(int r, int g, int b) {
  const double y = 0.299 * r + 0.587 * g + 0.114 * b;
  return {y, (b - y) / 1.772 + 127.5, (r - y) / 1.402 + 127.5};
}

// Largest difference over the colour channels of a pixel.
inline int MaxDiff(const uint8_t* px, const std::array<int, 3>& want) {
  int d = 0;
  for (int i = 0; i < 3; ++i) d = std::max(d, std::abs(px[i] - want[i]));
  return d;
}

}  // namespace kivora::testing

#define KIVORA_NEED_GL(fixture)                                    \
  do {                                                             \
    if (!(fixture).Ok()) GTEST_SKIP() << (fixture).WhyNot();       \
  } while (0)
