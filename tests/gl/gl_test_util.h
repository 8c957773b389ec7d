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
#include <QSurfaceFormat>
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kivora/presentation/materials.h"
#include "support/event_pump.h"

namespace kivora::testing {

// The kind of context a fixture asks for: whatever the platform gives by
// default (a compatibility profile on desktop Mesa), or an OpenGL 3.3 core
// profile, which has no luminance textures and no GLSL 1.10.
enum class GLProfile { Default, Core, ES };

inline const char* ProfileName(GLProfile p) {
  return p == GLProfile::Core ? "Core33" : p == GLProfile::ES ? "ES" : "Default";
}

inline void PrintTo(GLProfile p, std::ostream* os) { *os << ProfileName(p); }

inline QSurfaceFormat FormatFor(GLProfile p) {
  QSurfaceFormat f = QSurfaceFormat::defaultFormat();
  if (p == GLProfile::Core) {
    f.setRenderableType(QSurfaceFormat::OpenGL);
    f.setVersion(3, 3);
    f.setProfile(QSurfaceFormat::CoreProfile);
  } else if (p == GLProfile::ES) {
    f.setRenderableType(QSurfaceFormat::OpenGLES);
    f.setVersion(2, 0);
    f.setProfile(QSurfaceFormat::NoProfile);
  }
  return f;
}

// A made-current context with an offscreen surface, or the reason there is
// none.
class GLFixture {
public:
  explicit GLFixture(GLProfile profile = GLProfile::Default) : FProfile(profile) {
    EnsureApp();
    if (QGuiApplication::platformName() == "offscreen") {
      FWhyNot = "the offscreen platform has no OpenGL (run under xvfb-run with QT_QPA_PLATFORM=xcb)";
      return;
    }
    FSurface = std::make_unique<QOffscreenSurface>();
    FSurface->setFormat(FormatFor(profile));
    FSurface->create();
    if (!MakeContext()) return;
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
    ASSERT_TRUE(MakeContext()) << FWhyNot;
    ASSERT_TRUE(FContext->makeCurrent(FSurface.get()));
  }
  GLProfile Profile() const { return FProfile; }

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
    // A format or call the context does not know (a luminance texture on a
    // core profile, say) shows here even when the pixels happen to look right.
    for (GLenum e = f->glGetError(); e != GL_NO_ERROR; e = f->glGetError())
      ADD_FAILURE() << ProfileName(FProfile) << " context: GL error 0x" << std::hex << e << std::dec;
    FFbo->release();
    return out;
  }

private:
  // Makes FContext in the asked-for profile, or says why it cannot.
  bool MakeContext() {
    FContext = std::make_unique<QOpenGLContext>();
    FContext->setFormat(FormatFor(FProfile));
    if (!FContext->create()) {
      FWhyNot = FProfile == GLProfile::Core ? "no OpenGL 3.3 core-profile context can be made here"
                : FProfile == GLProfile::ES  ? "no OpenGL ES context can be made here"
                                             : "no OpenGL context can be made";
      FContext.reset();
      return false;
    }
    if (FProfile == GLProfile::Core) {
      const QSurfaceFormat got = FContext->format();
      if (FContext->isOpenGLES() || got.profile() != QSurfaceFormat::CoreProfile ||
          std::make_pair(got.majorVersion(), got.minorVersion()) < std::make_pair(3, 3)) {
        FWhyNot = "asked for an OpenGL 3.3 core profile, got " + std::to_string(got.majorVersion()) + "." +
                  std::to_string(got.minorVersion()) + (FContext->isOpenGLES() ? " ES" : "") +
                  (got.profile() == QSurfaceFormat::CoreProfile ? " core" : " (not core)");
        FContext.reset();
        return false;
      }
    }
    if (FProfile == GLProfile::ES && !FContext->isOpenGLES()) {
      FWhyNot = "asked for OpenGL ES, got desktop OpenGL";
      FContext.reset();
      return false;
    }
    return true;
  }

  GLProfile FProfile;
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
