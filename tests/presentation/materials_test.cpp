// Planes, the frame fill helper, the colour conversions, the shader
// registry and the material sources, all without any OpenGL.
#include <gtest/gtest.h>

#include <QOpenGLContext>
#include <cstring>

#include "kivora/presentation/materials.h"

using namespace kivora;

namespace {

TEST(Planes, FillFromFramesHonoursLineSizesAndRejectsWhatItCannotRead) {
  // 5 x 3 YUV420P with padded rows: Y = 10 * row + column, U = 100 + c, V = 200 + c.
  const int w = 5, h = 3, pad = 11;
  std::vector<uint8_t> y((w + pad) * h, 0xEE), u((3 + pad) * 2, 0xEE), v((3 + pad) * 2, 0xEE);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) y[r * (w + pad) + c] = static_cast<uint8_t>(10 * r + c);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) {
      u[r * (3 + pad) + c] = static_cast<uint8_t>(100 + 10 * r + c);
      v[r * (3 + pad) + c] = static_cast<uint8_t>(200 + 10 * r + c);
    }
  AVFrame f{};
  f.width = w;
  f.height = h;
  f.format = AV_PIX_FMT_YUV420P;
  f.data[0] = y.data();
  f.data[1] = u.data();
  f.data[2] = v.data();
  f.linesize[0] = w + pad;
  f.linesize[1] = f.linesize[2] = 3 + pad;
  TPlaneBitmap p[3];
  TPlaneBitmap* planes[3] = {&p[0], &p[1], &p[2]};
  ASSERT_EQ(FillPlanesFromFrame(&f, planes, 3), 3);
  EXPECT_EQ(p[0].Width(), 5);
  EXPECT_EQ(p[1].Width(), 3);
  EXPECT_EQ(p[1].Height(), 2);
  EXPECT_EQ(p[0].ConstScanline(2)[4], 24);
  EXPECT_EQ(p[1].ConstScanline(1)[2], 112);
  EXPECT_EQ(p[2].ConstScanline(1)[0], 210);

  // Bottom-up rows (a negative line size) come out top row first.
  AVFrame flipped = f;
  flipped.data[0] = y.data() + (h - 1) * (w + pad);
  flipped.linesize[0] = -(w + pad);
  flipped.data[1] = u.data() + (3 + pad);
  flipped.data[2] = v.data() + (3 + pad);
  flipped.linesize[1] = flipped.linesize[2] = -(3 + pad);
  ASSERT_EQ(FillPlanesFromFrame(&flipped, planes, 3), 3);
  EXPECT_EQ(p[0].ConstScanline(0)[0], 20);
  EXPECT_EQ(p[1].ConstScanline(0)[0], 110);

  // NV12: the chroma plane has two channels.
  std::vector<uint8_t> uv((6 + pad) * 2);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 6; ++c) uv[r * (6 + pad) + c] = static_cast<uint8_t>(r * 50 + c);
  AVFrame n{};
  n.width = w;
  n.height = h;
  n.format = AV_PIX_FMT_NV12;
  n.data[0] = y.data();
  n.data[1] = uv.data();
  n.linesize[0] = w + pad;
  n.linesize[1] = 6 + pad;
  ASSERT_EQ(FillPlanesFromFrame(&n, planes, 2), 2);
  EXPECT_EQ(p[1].Channels(), 2);
  EXPECT_EQ(p[1].Width(), 3);
  EXPECT_EQ(p[1].ConstScanline(1)[5], 55);

  // What cannot be read leaves the planes alone.
  const TPlaneBitmap::Snapshot before = p[0].TakeSnapshot();
  AVFrame bad = f;
  bad.linesize[0] = 2;  // shorter than a row
  EXPECT_EQ(FillPlanesFromFrame(&bad, planes, 3), 0);
  bad = f;
  bad.data[2] = nullptr;
  EXPECT_EQ(FillPlanesFromFrame(&bad, planes, 3), 0);
  bad = f;
  bad.format = AV_PIX_FMT_YUV444P;
  EXPECT_EQ(FillPlanesFromFrame(&bad, planes, 3), 0);
  EXPECT_EQ(FillPlanesFromFrame(&f, planes, 2), 0) << "too few planes for YUV420P";
  EXPECT_EQ(FillPlanesFromFrame(nullptr, planes, 3), 0);
  EXPECT_EQ(p[0].TakeSnapshot().Data, before.Data);
}

TEST(Planes, ASnapshotNeverChangesAndOddSizesAreRefused) {
  TPlaneBitmap p;
  p.SetSize(4, 2, 1);
  p.Fill(7);
  const auto snap = p.TakeSnapshot();
  p.Scanline(0)[0] = 99;  // written after the snapshot
  EXPECT_EQ((*snap.Data)[0], 7);
  EXPECT_EQ(p.ConstScanline(0)[0], 99);
  TPlaneBitmap copy;
  copy.Assign(p);
  copy.Fill(1);
  EXPECT_EQ(p.ConstScanline(0)[0], 99) << "an assigned copy is a copy";
  for (auto [w, h, c] : std::vector<std::tuple<int, int, int>>{{0, 4, 1}, {4, -1, 1}, {4, 4, 3}, {20000, 4, 1}}) {
    p.SetSize(w, h, c);
    EXPECT_TRUE(p.IsEmpty()) << w << "x" << h << "x" << c;
    EXPECT_EQ(p.Scanline(0), nullptr);
  }
}

TEST(YuvConversion, TheDefaultIsTheFullRangeFormulaAndFramesChooseTheirOwn) {
  const TYuvConversion d = TYuvConversion::Default();
  EXPECT_FLOAT_EQ(d.Matrix[2], 1.402f);
  EXPECT_FLOAT_EQ(d.Matrix[4], -0.344f);
  EXPECT_FLOAT_EQ(d.Matrix[5], -0.714f);
  EXPECT_FLOAT_EQ(d.Matrix[7], 1.772f);
  EXPECT_FLOAT_EQ(d.Offset[0], 0.0f);
  // rgb of limited-range (Y 16..235) white and black, and BT.709's red factor.
  auto red = [](const TYuvConversion& c, double y, double v) {
    return c.Matrix[0] * (y / 255 - c.Offset[0]) + c.Matrix[2] * (v / 255 - c.Offset[2]);
  };
  const TYuvConversion lim709 = TYuvConversion::ForFrame(AVCOL_SPC_BT709, AVCOL_RANGE_MPEG);
  EXPECT_NEAR(red(lim709, 235, 128), 1.0, 1e-4);
  EXPECT_NEAR(red(lim709, 16, 128), 0.0, 1e-4);
  EXPECT_NEAR(lim709.Matrix[2], 1.5748 * 255 / 224, 1e-4);
  const TYuvConversion full601 = TYuvConversion::ForFrame(AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_JPEG);
  EXPECT_NEAR(full601.Matrix[2], 1.402, 1e-4);
  EXPECT_NEAR(red(full601, 255, 128), 1.0, 1e-3);
  // Untagged frames are read as FFmpeg's scaler reads them: limited BT.601;
  // a JPEG pixel format is full range.
  const TYuvConversion untagged = TYuvConversion::ForFrame(AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED);
  EXPECT_NEAR(untagged.Matrix[2], 1.402 * 255 / 224, 1e-3);
  EXPECT_NEAR(TYuvConversion::ForFrame(AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, AV_PIX_FMT_YUVJ420P).Offset[0],
              0.0, 1e-6);
}

TEST(ShaderRegistry, OneNameWithTwoTextsIsTwoShaders) {
  const TShaderHandle a = TShaderRegistry::Register(TShaderKind::Pixel, "test.fps", "void main() {}", {});
  const TShaderHandle b = TShaderRegistry::Register(TShaderKind::Pixel, "test.fps", "void main() { }", {});
  const TShaderHandle a2 = TShaderRegistry::Register(TShaderKind::Pixel, "test.fps", "void main() {}", {});
  EXPECT_NE(a, b);
  EXPECT_EQ(a, a2);
  EXPECT_EQ(TShaderRegistry::Find(0), nullptr);
  EXPECT_EQ(TShaderRegistry::Find(1 << 30), nullptr);
  // The materials that share shader names get shaders of their own.
  TYuvHPTextureMaterial planar;
  TYuvTextureMaterial packed;
  TVideoTextureMaterial external;
  planar.Initialize();
  packed.Initialize();
  external.Initialize();
  EXPECT_NE(planar.PixelShader(), packed.PixelShader());
  EXPECT_NE(planar.PixelShader(), external.PixelShader());
  EXPECT_NE(planar.VertexShader(), external.VertexShader());
  EXPECT_EQ(planar.VertexShader(), packed.VertexShader()) << "the same text is one shader";
  // Without a context nothing is compiled, and nothing crashes.
  ASSERT_EQ(QOpenGLContext::currentContext(), nullptr);
  std::string error;
  EXPECT_EQ(TShaderRegistry::Program(planar.VertexShader(), planar.PixelShader(), &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(planar.Apply(TDrawContext{}));
  EXPECT_FALSE(DrawMaterialQuad(planar, TDrawContext{}, QRectF(0, 0, 4, 4)));
}

TPlaneBitmap Plane(int w, int h, int channels, uint8_t value) {
  TPlaneBitmap p;
  p.SetSize(w, h, channels);
  p.Fill(value);
  return p;
}

TEST(MaterialSources, TexturesReachTheMaterialOnlyThroughTextureChanged) {
  // No GL at all: sources are made, fed and destroyed.
  TYuvHPTextureMaterialSource src;
  auto* m = src.YuvMaterial();
  int changes = 0;
  m->OnChange = [&](TMaterial*) { ++changes; };
  src.SetYTexture(Plane(8, 8, 1, 200));
  EXPECT_EQ(m->YTexture(), nullptr) << "handed over before TextureChanged";
  src.SetUTexture(Plane(4, 4, 1, 128));
  src.SetTextureChanged(true);
  // Two of three planes: both handed over, no change notification.
  ASSERT_NE(m->YTexture(), nullptr);
  ASSERT_NE(m->UTexture(), nullptr);
  EXPECT_EQ(m->VTexture(), nullptr);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(m->YTexture()->PixelFormat(), TPixelFormat::L);
  src.SetVTexture(Plane(4, 4, 1, 128));
  src.SetTextureChanged(true);
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(m->TextureChanged()) << "the flag is cleared once the change is told";
  // A plane set later is not in the texture until the next TextureChanged.
  const uint64_t version = m->YTexture()->Version();
  src.SetYTexture(Plane(8, 8, 1, 10));
  EXPECT_EQ(m->YTexture()->Version(), version);
  src.SetTextureChanged(true);
  EXPECT_EQ(m->YTexture()->Version(), version + 1);
  EXPECT_EQ(changes, 2);
  // An empty plane keeps the texture it had.
  TTexture* y = m->YTexture();
  src.SetYTexture(TPlaneBitmap());
  src.SetTextureChanged(true);
  EXPECT_EQ(m->YTexture(), y);
}

TEST(MaterialSources, TheNV12SourceTellsItsMaterialWhenBothPlanesAreThere) {
  TNVTextureMaterialSource src;
  auto* m = src.NVMaterial();
  src.SetYTexture(Plane(8, 8, 1, 200));
  src.SetTextureChanged(true);
  EXPECT_EQ(m->ChangeCount(), 0u);
  src.SetUVTexture(Plane(4, 4, 2, 128));
  src.SetTextureChanged(true);
  EXPECT_EQ(m->ChangeCount(), 1u) << "the screen would keep the old picture";
  EXPECT_EQ(m->UVTexture()->PixelFormat(), TPixelFormat::LA);
  // A context reset hands the textures over again.
  NotifyContextReset();
  EXPECT_EQ(m->ChangeCount(), 2u);
}

TEST(MaterialSources, TheExternalSourceHandsOverOnlyATextureWithAHandle) {
  TVideoTextureMaterialSource src;
  auto* m = static_cast<TVideoTextureMaterial*>(src.Material());
  src.UpdateTexture();
  EXPECT_EQ(m->Texture(), nullptr);
  src.Texture().SetExternalHandle(42, nullptr);
  src.UpdateTexture();
  EXPECT_EQ(m->Texture(), &src.Texture());
  EXPECT_FALSE(m->STMatrixSet());
  QMatrix4x4 st;
  st.scale(0.5f);
  m->SetSTMatrix(st);
  EXPECT_TRUE(m->STMatrixSet());
}

}  // namespace
