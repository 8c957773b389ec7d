// The texture materials drawn into a framebuffer object and read back: the
// colours of the conversion, odd sizes and padded rows, NV12 against planar,
// opacity, the TextureChanged gate, a context that is destroyed and made
// again, and the external-texture material fed an EGLImage where OpenGL ES
// offers GL_OES_EGL_image_external. Each case runs in the default context,
// an OpenGL 3.3 core profile and an OpenGL ES context.
#include <QOpenGLShaderProgram>
#include <QtGui/qopenglcontext_platform.h>
#include <cstdint>
#include <cstring>
#include <functional>

#include "gl/gl_test_util.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

// A 4:2:0 picture by its samples, with pad bytes after every row.
struct Yuv420 {
  int w, h, pad;
  std::vector<uint8_t> y, u, v;
  int cw() const { return (w + 1) / 2; }
  int ch() const { return (h + 1) / 2; }

  Yuv420(int w_, int h_, int pad_, const std::function<std::array<uint8_t, 3>(int, int)>& yuvAt)
      : w(w_), h(h_), pad(pad_) {
    y.assign(static_cast<size_t>(w + pad) * h, 0xEE);  // padding that would show as a wrong colour
    u.assign(static_cast<size_t>(cw() + pad) * ch(), 0x11);
    v.assign(static_cast<size_t>(cw() + pad) * ch(), 0x11);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x) y[r * (w + pad) + x] = yuvAt(x, r)[0];
    for (int r = 0; r < ch(); ++r)
      for (int x = 0; x < cw(); ++x) {
        const auto s = yuvAt(std::min(2 * x, w - 1), std::min(2 * r, h - 1));
        u[r * (cw() + pad) + x] = s[1];
        v[r * (cw() + pad) + x] = s[2];
      }
  }
  AVFrame Frame() {
    AVFrame f{};
    f.width = w;
    f.height = h;
    f.format = AV_PIX_FMT_YUV420P;
    f.data[0] = y.data();
    f.data[1] = u.data();
    f.data[2] = v.data();
    f.linesize[0] = w + pad;
    f.linesize[1] = f.linesize[2] = cw() + pad;
    return f;
  }
  // The same picture as NV12, with the same padding.
  std::vector<uint8_t> uv;
  AVFrame NV12Frame() {
    uv.assign(static_cast<size_t>(cw() * 2 + pad) * ch(), 0x11);
    for (int r = 0; r < ch(); ++r)
      for (int x = 0; x < cw(); ++x) {
        uv[r * (cw() * 2 + pad) + 2 * x] = u[r * (cw() + pad) + x];
        uv[r * (cw() * 2 + pad) + 2 * x + 1] = v[r * (cw() + pad) + x];
      }
    AVFrame f{};
    f.width = w;
    f.height = h;
    f.format = AV_PIX_FMT_NV12;
    f.data[0] = y.data();
    f.data[1] = uv.data();
    f.linesize[0] = w + pad;
    f.linesize[1] = cw() * 2 + pad;
    return f;
  }
};

enum class Kind { Planar, NV12, Packed };
const char* Name(Kind k) { return k == Kind::Planar ? "planar" : k == Kind::NV12 ? "NV12" : "packed"; }

// A source of the kind holding picture p, with its material.
struct Fed {
  TYuvHPTextureMaterialSource planar;
  TNVTextureMaterialSource nv;
  TYuvTextureMaterialSource packed;
  TMaterial* material = nullptr;

  Fed(Kind k, Yuv420& p) {
    if (k == Kind::Planar) {
      AVFrame f = p.Frame();
      TPlaneBitmap* planes[3] = {&planar.Plane(0), &planar.Plane(1), &planar.Plane(2)};
      EXPECT_EQ(FillPlanesFromFrame(&f, planes, 3), 3);
      planar.SetTextureChanged(true);
      material = planar.Material();
    } else if (k == Kind::NV12) {
      AVFrame f = p.NV12Frame();
      TPlaneBitmap* planes[2] = {&nv.Plane(0), &nv.Plane(1)};
      EXPECT_EQ(FillPlanesFromFrame(&f, planes, 2), 2);
      nv.SetTextureChanged(true);
      material = nv.Material();
    } else {
      // Packed: Y, U, V in the first three of four channels, at full size.
      TPlaneBitmap packedPlane;
      packedPlane.SetSize(p.w, p.h, 4);
      for (int r = 0; r < p.h; ++r)
        for (int x = 0; x < p.w; ++x) {
          uint8_t* px = packedPlane.Scanline(r) + 4 * x;
          px[0] = p.y[r * (p.w + p.pad) + x];
          px[1] = p.u[(r / 2) * (p.cw() + p.pad) + x / 2];
          px[2] = p.v[(r / 2) * (p.cw() + p.pad) + x / 2];
          px[3] = 255;
        }
      packed.SetTexture(packedPlane);
      material = packed.Material();
    }
  }
};

std::function<std::array<uint8_t, 3>(int, int)> Solid(uint8_t y, uint8_t u, uint8_t v) {
  return [=](int, int) { return std::array<uint8_t, 3>{y, u, v}; };
}

// Every case runs in the platform's default context and again in an
// OpenGL 3.3 core profile, where the one- and two-channel planes are R8 and
// RG8 textures with swizzled channels and the shaders get a #version.
class GLMaterials : public ::testing::TestWithParam<GLProfile> {
protected:
  GLMaterials() : gl(GetParam()) {}
  void SetUp() override { KIVORA_NEED_GL(gl); }
  GLFixture gl;
};

TEST_P(GLMaterials, ShadersBuildAndEveryNamedVariableHasALocation) {
  TYuvHPTextureMaterial planar;
  TNVTextureMaterial nv;
  TYuvTextureMaterial packed;
  TRgbTextureMaterial rgb;
  for (TMaterial* m : std::initializer_list<TMaterial*>{&planar, &nv, &packed, &rgb}) {
    m->Initialize();
    std::string error;
    QOpenGLShaderProgram* program = TShaderRegistry::Program(m->VertexShader(), m->PixelShader(), &error);
    ASSERT_NE(program, nullptr) << error;
    for (TShaderHandle h : {m->VertexShader(), m->PixelShader()}) {
      const TShaderRegistry::Entry* e = TShaderRegistry::Find(h);
      ASSERT_NE(e, nullptr);
      for (const TShaderVariable& var : e->Variables)
        EXPECT_GE(program->uniformLocation(("_" + var.Name).c_str()), 0) << e->Name << ": " << var.Name;
    }
    EXPECT_GE(program->attributeLocation("a_Position"), 0);
    EXPECT_GE(program->attributeLocation("a_TexCoord0"), 0);
  }
  // Same names, different programs: nobody is served another's shader.
  EXPECT_EQ(TShaderRegistry::Find(planar.PixelShader())->Name, TShaderRegistry::Find(packed.PixelShader())->Name);
  EXPECT_NE(TShaderRegistry::Program(planar.VertexShader(), planar.PixelShader()),
            TShaderRegistry::Program(packed.VertexShader(), packed.PixelShader()));
}

TEST_P(GLMaterials, ColoursComeOutAsTheConversionSays) {
  struct Case {
    const char* name;
    std::array<double, 3> yuv;
    std::array<int, 3> want;
    int tolerance;
  };
  std::vector<Case> cases = {
      {"white", {255, 128, 128}, {255, 255, 255}, 2},
      {"black", {0, 128, 128}, {0, 0, 0}, 2},
      // U at the middle, V at the top: r = y + 0.701, g = y - 0.357, b = y.
      {"V high, low Y", {64, 128, 255}, {243, 0, 65}, 2},
      {"V high, mid Y", {150, 128, 255}, {255, 59, 151}, 2},
  };
  // Pure colours and grey through the default (full-range BT.601) matrix
  // and back; 8-bit samples round them by up to a few levels.
  for (auto [name, r, g, b] : std::vector<std::tuple<const char*, int, int, int>>{
           {"red", 255, 0, 0}, {"green", 0, 255, 0}, {"blue", 0, 0, 255}, {"grey", 128, 128, 128}}) {
    auto yuv = FullRange601(r, g, b);
    for (double& s : yuv) s = std::clamp(std::round(s), 0.0, 255.0);
    cases.push_back({name, yuv, {r, g, b}, 4});
  }
  for (const Case& c : cases)
    for (Kind k : {Kind::Planar, Kind::NV12, Kind::Packed})
      for (auto [w, h, pad] : std::vector<std::tuple<int, int, int>>{{8, 8, 0}, {33, 17, 7}, {17, 9, 3}}) {
        Yuv420 p(w, h, pad,
                 Solid(static_cast<uint8_t>(c.yuv[0]), static_cast<uint8_t>(c.yuv[1]), static_cast<uint8_t>(c.yuv[2])));
        Fed fed(k, p);
        const auto px = gl.Draw(*fed.material, w, h);
        ASSERT_FALSE(px.empty()) << Name(k) << ": " << fed.material->LastError();
        int worst = 0;
        for (size_t i = 0; i < px.size(); i += 4) worst = std::max(worst, MaxDiff(&px[i], c.want));
        EXPECT_LE(worst, c.tolerance) << c.name << ", " << Name(k) << " " << w << "x" << h << " pad " << pad
                                      << ": first pixel " << int(px[0]) << " " << int(px[1]) << " " << int(px[2]);
      }
}

TEST_P(GLMaterials, EveryRowAndColumnLandsWhereItBelongs) {
  // A grey ramp that differs from pixel to pixel: a wrong stride, a padding
  // byte read as a pixel or a picture upside down moves it.
  auto ramp = [](int x, int y) { return std::array<uint8_t, 3>{static_cast<uint8_t>((x * 7 + y * 13) % 256), 128, 128}; };
  for (Kind k : {Kind::Planar, Kind::NV12})
    for (auto [w, h, pad] : std::vector<std::tuple<int, int, int>>{{33, 17, 5}, {17, 9, 0}, {64, 4, 64}}) {
      Yuv420 p(w, h, pad, ramp);
      Fed fed(k, p);
      const auto px = gl.Draw(*fed.material, w, h);
      ASSERT_FALSE(px.empty());
      int bad = 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const int want = ramp(x, y)[0];
          // The default matrix adds 1.402 * (128/255 - 0.5) to red.
          if (std::abs(px[(y * w + x) * 4 + 1] - want) > 1) ++bad;
        }
      EXPECT_EQ(bad, 0) << Name(k) << " " << w << "x" << h << " pad " << pad;
    }
  // A plane whose own rows are padded is uploaded row by row.
  TYuvHPTextureMaterialSource src;
  src.Plane(0).SetSize(33, 17, 1, 40);
  for (int y = 0; y < 17; ++y) {
    uint8_t* row = src.Plane(0).Scanline(y);
    std::memset(row, 0xEE, 40);
    for (int x = 0; x < 33; ++x) row[x] = ramp(x, y)[0];
  }
  for (int i : {1, 2}) {
    src.Plane(i).SetSize(17, 9, 1, 20);
    src.Plane(i).Fill(128);
  }
  src.SetTextureChanged(true);
  const auto px = gl.Draw(*src.Material(), 33, 17);
  ASSERT_FALSE(px.empty());
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 33; ++x) ASSERT_NEAR(px[(y * 33 + x) * 4 + 1], ramp(x, y)[0], 1) << x << "," << y;
}

TEST_P(GLMaterials, NV12DrawsWhatPlanarDrawsAndOpacityChangesNeither) {
  // Colour that changes in every direction, chroma included.
  auto colourful = [](int x, int y) {
    return std::array<uint8_t, 3>{static_cast<uint8_t>(40 + x * 5), static_cast<uint8_t>(60 + y * 9),
                                  static_cast<uint8_t>(200 - x * 3 - y * 2)};
  };
  Yuv420 p(33, 17, 4, colourful);
  Fed planar(Kind::Planar, p), nv(Kind::NV12, p);
  const auto a = gl.Draw(*planar.material, 33, 17);
  const auto b = gl.Draw(*nv.material, 33, 17);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_FALSE(a.empty());
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  EXPECT_LE(worst, 1);
  for (Fed* fed : {&planar, &nv}) {
    const auto faded = gl.Draw(*fed->material, 33, 17, 0.3f, {255, 255, 255, 255});
    const auto full = gl.Draw(*fed->material, 33, 17, 1.0f, {255, 255, 255, 255});
    EXPECT_EQ(faded, full) << "opacity reached a YUV picture";
    EXPECT_EQ(full, fed == &planar ? a : b) << "the picture covers whatever was there";
  }
}

TEST_P(GLMaterials, PackedYuvFadesWithOpacityWithoutAColourCast) {
  // A mid grey at half opacity over black is a darker grey, not a tint.
  Yuv420 p(8, 8, 0, Solid(200, 128, 128));
  Fed fed(Kind::Packed, p);
  const auto full = gl.Draw(*fed.material, 8, 8, 1.0f);
  const auto half = gl.Draw(*fed.material, 8, 8, 0.5f);
  ASSERT_FALSE(half.empty());
  EXPECT_LE(MaxDiff(full.data(), {201, 200, 201}), 2);
  EXPECT_LE(MaxDiff(half.data(), {100, 100, 100}), 2) << int(half[0]) << " " << int(half[1]) << " " << int(half[2]);
}

TEST_P(GLMaterials, NothingChangesOnScreenUntilTextureChanged) {
  Yuv420 white(8, 8, 0, Solid(255, 128, 128));
  Fed fed(Kind::Planar, white);
  ASSERT_LE(MaxDiff(gl.Draw(*fed.material, 8, 8).data(), {255, 255, 255}), 2);
  const uint64_t changes = fed.material->ChangeCount();
  TPlaneBitmap black;
  black.SetSize(8, 8, 1);
  black.Fill(0);
  fed.planar.SetYTexture(black);
  EXPECT_LE(MaxDiff(gl.Draw(*fed.material, 8, 8).data(), {255, 255, 255}), 2) << "shown before TextureChanged";
  EXPECT_EQ(fed.material->ChangeCount(), changes);
  fed.planar.SetTextureChanged(true);
  EXPECT_EQ(fed.material->ChangeCount(), changes + 1);
  EXPECT_LE(MaxDiff(gl.Draw(*fed.material, 8, 8).data(), {0, 0, 0}), 2);
}

TEST_P(GLMaterials, ARecreatedContextDrawsTheSamePixels) {
  auto colourful = [](int x, int y) {
    return std::array<uint8_t, 3>{static_cast<uint8_t>(30 + x * 9 + y), static_cast<uint8_t>(90 + y * 5),
                                  static_cast<uint8_t>(170 - x * 4)};
  };
  Yuv420 p(17, 9, 2, colourful);
  Fed planar(Kind::Planar, p), nv(Kind::NV12, p);
  const auto a1 = gl.Draw(*planar.material, 17, 9);
  const auto b1 = gl.Draw(*nv.material, 17, 9);
  ASSERT_FALSE(a1.empty());
  int resets = 0;
  const int id = SubscribeContextReset([&] { ++resets; });
  gl.RecreateContext();
  UnsubscribeContextReset(id);
  EXPECT_GE(resets, 1) << "nobody was told that the context went";
  EXPECT_EQ(gl.Draw(*planar.material, 17, 9), a1);
  EXPECT_EQ(gl.Draw(*nv.material, 17, 9), b1);
  // The pictures were uploaded again, from the planes kept on the CPU.
  EXPECT_EQ(planar.planar.Plane(0).Width(), 17);
}

// An external texture for the current EGL context: a w x 1 RGBA 2D texture of
// the given colours made into an EGLImage and bound as GL_TEXTURE_EXTERNAL_OES.
// Empty why when it worked.
struct ExternalTexture {
  using CreateImage = void* (*)(void*, void*, unsigned, void*, const int32_t*);
  using DestroyImage = unsigned (*)(void*, void*);
  using TargetTexture = void (*)(GLenum, void*);
  static constexpr unsigned kEglGlTexture2D = 0x30B1, kEglGlTextureLevel = 0x30BC, kEglNone = 0x3038;
  static constexpr GLenum kTextureExternal = 0x8D65;

  QOpenGLContext* ctx = nullptr;
  void* display = nullptr;
  void* image = nullptr;
  GLuint source = 0, external = 0;
  DestroyImage destroy = nullptr;
  std::string why;

  ExternalTexture(QOpenGLContext* c, const std::vector<std::array<uint8_t, 4>>& colours) : ctx(c) {
    auto* egl = ctx->nativeInterface<QNativeInterface::QEGLContext>();
    if (!egl) {
      why = "the context is not made through EGL (the tests set QT_XCB_GL_INTEGRATION=xcb_egl), so no EGLImage can feed it";
      return;
    }
    auto create = reinterpret_cast<CreateImage>(ctx->getProcAddress("eglCreateImageKHR"));
    destroy = reinterpret_cast<DestroyImage>(ctx->getProcAddress("eglDestroyImageKHR"));
    auto target = reinterpret_cast<TargetTexture>(ctx->getProcAddress("glEGLImageTargetTexture2DOES"));
    if (!create || !destroy || !target) {
      why = "EGL offers no eglCreateImageKHR / glEGLImageTargetTexture2DOES";
      return;
    }
    display = egl->display();
    QOpenGLFunctions* f = ctx->functions();
    std::vector<uint8_t> bytes;
    for (const auto& c4 : colours) bytes.insert(bytes.end(), c4.begin(), c4.end());
    f->glGenTextures(1, &source);
    f->glBindTexture(GL_TEXTURE_2D, source);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    f->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    f->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, static_cast<GLsizei>(colours.size()), 1, 0, GL_RGBA,
                    GL_UNSIGNED_BYTE, bytes.data());
    f->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    f->glBindTexture(GL_TEXTURE_2D, 0);
    const int32_t attrs[] = {static_cast<int32_t>(kEglGlTextureLevel), 0, static_cast<int32_t>(kEglNone)};
    image = create(display, egl->nativeContext(), kEglGlTexture2D,
                   reinterpret_cast<void*>(static_cast<uintptr_t>(source)), attrs);
    if (!image) {
      why = "EGL cannot make an image of a 2D texture here (EGL_KHR_gl_texture_2D_image)";
      return;
    }
    f->glGenTextures(1, &external);
    f->glBindTexture(kTextureExternal, external);
    f->glTexParameteri(kTextureExternal, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    f->glTexParameteri(kTextureExternal, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    f->glTexParameteri(kTextureExternal, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    f->glTexParameteri(kTextureExternal, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    target(kTextureExternal, image);
    f->glBindTexture(kTextureExternal, 0);
    if (GLenum e = f->glGetError(); e != GL_NO_ERROR) why = "glEGLImageTargetTexture2DOES failed: " + std::to_string(e);
  }
  ~ExternalTexture() {
    QOpenGLFunctions* f = ctx->functions();
    if (external) f->glDeleteTextures(1, &external);
    if (image) destroy(display, image);
    if (source) f->glDeleteTextures(1, &source);
  }
};

TEST_P(GLMaterials, TheExternalTextureMaterialNeedsItsExtension) {
  TVideoTextureMaterialSource src;
  auto* m = static_cast<TVideoTextureMaterial*>(src.Material());
  if (!TVideoTextureMaterial::Supported()) {
    // Without the extension nothing is drawn, and nothing crashes.
    EXPECT_TRUE(gl.Draw(*m, 4, 4).empty());
    EXPECT_FALSE(m->LastError().empty());
    EXPECT_FALSE(m->STMatrixSet());
    return;
  }
  // Where the extension exists the shaders build and every named variable
  // has a location.
  m->Initialize();
  std::string error;
  QOpenGLShaderProgram* program = TShaderRegistry::Program(m->VertexShader(), m->PixelShader(), &error);
  ASSERT_NE(program, nullptr) << error;
  for (TShaderHandle h : {m->VertexShader(), m->PixelShader()}) {
    const TShaderRegistry::Entry* e = TShaderRegistry::Find(h);
    ASSERT_NE(e, nullptr);
    for (const TShaderVariable& var : e->Variables)
      EXPECT_GE(program->uniformLocation(("_" + var.Name).c_str()), 0) << e->Name << ": " << var.Name;
  }
  EXPECT_GE(program->attributeLocation("a_Position"), 0);
  EXPECT_GE(program->attributeLocation("a_TexCoord0"), 0);
  // Nothing to draw until the source has an external texture.
  EXPECT_TRUE(gl.Draw(*m, 8, 4).empty());

  // A red | blue picture handed over as an external texture.
  ExternalTexture ext(gl.Context(), {{255, 0, 0, 255}, {0, 0, 255, 255}});
  if (!ext.why.empty()) GTEST_SKIP() << "the external shader builds, but " << ext.why;
  src.Texture().SetExternalHandle(ext.external, gl.Context());
  src.UpdateTexture();
  ASSERT_EQ(m->Texture(), &src.Texture());
  const std::array<int, 3> red{255, 0, 0}, blue{0, 0, 255}, halfRed{128, 0, 0};
  auto check = [&](const std::vector<uint8_t>& px, const std::array<int, 3>& left, const std::array<int, 3>& right,
                   const char* what) {
    ASSERT_EQ(px.size(), 8u * 4 * 4) << what << ": " << m->LastError();
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 8; ++x)
        EXPECT_LE(MaxDiff(&px[(y * 8 + x) * 4], x < 4 ? left : right), 1) << what << " at " << x << "," << y;
  };
  // No ST matrix set: the coordinates as they are.
  check(gl.Draw(*m, 8, 4), red, blue, "unset ST matrix");
  // Opacity applies to the RGB output (premultiplied over black).
  check(gl.Draw(*m, 8, 4, 0.5f), halfRed, {0, 0, 128}, "half opacity");
  // A set ST matrix mirrors s.
  QMatrix4x4 mirror;
  mirror.translate(1, 0);
  mirror.scale(-1, 1);
  m->SetSTMatrix(mirror);
  check(gl.Draw(*m, 8, 4), blue, red, "mirroring ST matrix");
  src.Texture().SetExternalHandle(0, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Profiles, GLMaterials, ::testing::Values(GLProfile::Default, GLProfile::Core, GLProfile::ES),
                         [](const ::testing::TestParamInfo<GLProfile>& i) { return ProfileName(i.param); });

}  // namespace
