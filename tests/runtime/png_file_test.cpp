#include "kivora/runtime/png_file.h"

#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <string>

#include "kivora/platform/bitmap.h"
#include "support/media_fixtures.h"

namespace kivora {
namespace {

// Every pixel different, with the alpha byte given (or varying when < 0).
TBitmap Gradient(int w, int h, int alpha) {
  TBitmap bmp(w, h);
  TBitmapData d;
  EXPECT_TRUE(bmp.Map(TMapAccess::Write, d));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = d.Data + y * d.Pitch + 4 * x;
      p[0] = static_cast<uint8_t>(x * 7 + y);
      p[1] = static_cast<uint8_t>(y * 5);
      p[2] = static_cast<uint8_t>(x ^ y);
      p[3] = static_cast<uint8_t>(alpha >= 0 ? alpha : (x + y) % 256);
    }
  bmp.Unmap(d);
  return bmp;
}

// What a reader gets back: every pixel, the alpha channel only when the
// picture has one, and an opaque picture stored without it.
TEST(SavePngFile, ReadsBackPixelForPixelWithAlphaOnlyWhereThereIsSome) {
  testing::TempDir dir;
  struct {
    int w, h, alpha;
    bool hasAlpha;
  } cases[] = {{1, 1, 255, false}, {33, 17, 255, false}, {64, 9, -1, true}, {5, 300, 0, true}};
  for (const auto& c : cases) {
    const TBitmap bmp = Gradient(c.w, c.h, c.alpha);
    const std::string file = dir.Path("p.png");
    std::string error;
    ASSERT_TRUE(SavePngFile(bmp, file, error)) << error;
    const QImage back(QString::fromStdString(file));
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.hasAlphaChannel(), c.hasAlpha) << c.w << "x" << c.h;
    const QImage rgba = back.convertToFormat(QImage::Format_RGBA8888);
    ASSERT_EQ(rgba.width(), c.w);
    ASSERT_EQ(rgba.height(), c.h);
    for (int y = 0; y < c.h; ++y)
      ASSERT_EQ(0, memcmp(rgba.constScanLine(y), bmp.Image().constScanLine(y), static_cast<size_t>(c.w) * 4))
          << "row " << y << " of " << c.w << "x" << c.h;
  }
}

TEST(SavePngFile, RefusesEmptyBitmapsAndUnwritablePlacesWithoutLeavingFiles) {
  testing::TempDir dir;
  std::string error;
  EXPECT_FALSE(SavePngFile(TBitmap(), dir.Path("empty.png"), error));
  EXPECT_EQ(error, "the bitmap is empty");
  EXPECT_FALSE(std::filesystem::exists(dir.Path("empty.png")));
  error.clear();
  EXPECT_FALSE(SavePngFile(Gradient(4, 4, 255), dir.Path("no/such/folder/p.png"), error));
  EXPECT_NE(error.find("no/such/folder/p.png"), std::string::npos) << error;
  // A folder in the file's place is not replaced.
  std::filesystem::create_directory(dir.Path("taken.png"));
  EXPECT_FALSE(SavePngFile(Gradient(4, 4, 255), dir.Path("taken.png"), error));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path("taken.png")));
}

}  // namespace
}  // namespace kivora
