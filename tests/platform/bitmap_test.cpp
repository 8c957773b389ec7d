#include "kivora/platform/bitmap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QGuiApplication>
#include <filesystem>

#include "kivora/platform/exception.h"

namespace kivora {
namespace {

TEST(BitmapTest, ClearStoresBytesRedGreenBlueAlpha) {
  TBitmap b(3, 2);
  b.Clear(0x80112233);  // A=80 R=11 G=22 B=33
  TBitmapData d;
  ASSERT_TRUE(b.Map(TMapAccess::Read, d));
  EXPECT_EQ(d.Width, 3);
  EXPECT_EQ(d.Height, 2);
  EXPECT_GE(d.Pitch, 12);
  for (int y = 0; y < d.Height; ++y)
    for (int x = 0; x < d.Width; ++x) {
      const uint8_t* p = d.Data + y * d.Pitch + 4 * x;
      EXPECT_EQ(p[0], 0x11);
      EXPECT_EQ(p[1], 0x22);
      EXPECT_EQ(p[2], 0x33);
      EXPECT_EQ(p[3], 0x80);
    }
  b.Unmap(d);
  EXPECT_EQ(b.Pixel(2, 1), 0x80112233u);
}

TEST(BitmapTest, MapRefusesEmptyAndDoubleMapping) {
  TBitmap b;
  TBitmapData d;
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_FALSE(b.Map(TMapAccess::Write, d));
  b.SetSize(4, 4);
  ASSERT_TRUE(b.Map(TMapAccess::Write, d));
  TBitmapData again;
  EXPECT_FALSE(b.Map(TMapAccess::Write, again));
  EXPECT_TRUE(b.Mapped());
  d.Data[d.Pitch * 3 + 4 * 3 + 0] = 0xAB;  // R of the last pixel
  d.Data[d.Pitch * 3 + 4 * 3 + 3] = 0xFF;
  b.Unmap(d);
  EXPECT_FALSE(b.Mapped());
  EXPECT_EQ(d.Data, nullptr);
  EXPECT_EQ(b.Pixel(3, 3) & 0xFFFF0000u, 0xFFAB0000u);
  EXPECT_THROW(b.Pixel(4, 0), Exception);
  EXPECT_THROW(b.Pixel(0, -1), Exception);

  b.SetSize(0, 5);
  EXPECT_TRUE(b.IsEmpty());
  b.SetSize(5, -1);
  EXPECT_TRUE(b.IsEmpty());
}

TEST(BitmapTest, EveryNewSizeStartsTransparentBlack) {
  // Sizes large enough for the heap to hand back memory that held other
  // pixels: paint, free, make a new size, and no old pixel may show.
  TBitmap painted(300, 200);
  painted.Clear(0xFF123456);
  painted.SetSize(0, 0);
  for (const auto& wh : {std::pair{300, 200}, std::pair{301, 199}, std::pair{1, 1}}) {
    TBitmap b(wh.first, wh.second);
    b.SetSize(wh.second + 7, wh.first + 3);
    int nonzero = 0;
    for (int y = 0; y < b.Height(); ++y)
      for (int x = 0; x < b.Width(); ++x) nonzero += b.Pixel(x, y) != 0u;
    EXPECT_EQ(nonzero, 0) << wh.first << "x" << wh.second;
  }
}

TEST(BitmapTest, AssignCopiesAndDoesNotShareWrites) {
  TBitmap a(2, 2);
  a.Clear(0xFF0000FF);
  TBitmap b;
  b.Assign(a);
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(b.Pixel(1, 1), 0xFF0000FFu);
  b.Clear(0xFF00FF00);
  EXPECT_EQ(a.Pixel(0, 0), 0xFF0000FFu);
  TBitmapData d;
  ASSERT_TRUE(a.Map(TMapAccess::ReadWrite, d));
  d.Data[0] = 0x7F;
  a.Unmap(d);
  EXPECT_EQ(b.Pixel(0, 0), 0xFF00FF00u);

  // Images of other formats are converted on the way in.
  QImage argb(1, 1, QImage::Format_ARGB32);
  argb.setPixel(0, 0, 0xFF102030);
  TBitmap c(argb);
  EXPECT_EQ(c.Image().format(), QImage::Format_RGBA8888);
  EXPECT_EQ(c.Pixel(0, 0), 0xFF102030u);
}

TEST(BitmapTest, SaveAndLoadKeepPixels) {
  static int argc = 1;
  static char name[] = "kivora_platform_tests";
  static char* argv[] = {name, nullptr};
  QGuiApplication app(argc, argv);  // image plugins need an application
  const auto path = std::filesystem::temp_directory_path() / ("kivora_bitmap_" + std::to_string(::getpid()) + ".png");
  TBitmap src(5, 3);
  src.Clear(0xFF336699);
  TBitmapData d;
  ASSERT_TRUE(src.Map(TMapAccess::Write, d));
  d.Data[0] = 1;
  d.Data[1] = 2;
  d.Data[2] = 3;
  d.Data[3] = 4;
  src.Unmap(d);
  ASSERT_TRUE(src.SaveToFile(QString::fromStdString(path.string())));
  TBitmap back;
  ASSERT_TRUE(back.LoadFromFile(QString::fromStdString(path.string())));
  EXPECT_EQ(back.Image().format(), QImage::Format_RGBA8888);
  EXPECT_EQ(back.Width(), 5);
  EXPECT_EQ(back.Height(), 3);
  EXPECT_EQ(back.Pixel(4, 2), 0xFF336699u);
  EXPECT_EQ(back.Pixel(0, 0), 0x04010203u);
  std::filesystem::remove(path);

  EXPECT_FALSE(back.LoadFromFile(QString::fromStdString(path.string())));
  EXPECT_EQ(back.Width(), 5);  // a failed load keeps the old picture
  EXPECT_FALSE(TBitmap().SaveToFile(QString::fromStdString(path.string())));
}

}  // namespace
}  // namespace kivora
