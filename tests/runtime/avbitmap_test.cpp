#include "kivora/runtime/avbitmap.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "kivora/platform/exception.h"

namespace kivora {
namespace {

std::vector<uint8_t> Pattern(int w, int h, uint8_t start = 1) {
  std::vector<uint8_t> v(static_cast<size_t>(w) * h * 4);
  std::iota(v.begin(), v.end(), start);
  return v;
}

// Pixel (x, y) of a buffer of width w as 0xAARRGGBB (bytes are R, G, B, A).
uint32_t BufPixel(const std::vector<uint8_t>& b, int w, int x, int y) {
  const uint8_t* p = &b[(static_cast<size_t>(y) * w + x) * 4];
  return (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

TEST(CopyDataToBmp, PackedRoundTrip) {
  auto src = Pattern(3, 2);
  TBitmap bmp(3, 2);
  CopyDataToBmp(src.data(), bmp, 3, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(bmp.Pixel(x, y), BufPixel(src, 3, x, y)) << x << "," << y;
  std::vector<uint8_t> back(src.size(), 0);
  CopyBmpToData(back.data(), bmp, 3, 2);
  EXPECT_EQ(back, src);
  EXPECT_FALSE(bmp.Mapped());
}

TEST(CopyDataToBmp, WiderBitmapKeepsItsOtherPixels) {
  // A 3x2 buffer into a 4x3 bitmap: 12 of the 16 bytes of each row are
  // written, the rest of the bitmap keeps its colour.
  auto src = Pattern(3, 2);
  TBitmap bmp(4, 3);
  bmp.Clear(0xFF0000FFu);
  CopyDataToBmp(src.data(), bmp, 3, 2);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      if (x < 3 && y < 2)
        EXPECT_EQ(bmp.Pixel(x, y), BufPixel(src, 3, x, y)) << x << "," << y;
      else
        EXPECT_EQ(bmp.Pixel(x, y), 0xFF0000FFu) << x << "," << y;
    }
  // Reading back the same part through the row-by-row path.
  std::vector<uint8_t> back(src.size(), 0);
  CopyBmpToData(back.data(), bmp, 3, 2);
  EXPECT_EQ(back, src);
}

TEST(CopyDataToBmp, NeverTouchesMemoryOutsideTheBitmap) {
  // A buffer larger than the bitmap: only the part that fits is copied
  // (under AddressSanitizer an overrun would abort here).
  auto src = Pattern(8, 6);
  TBitmap bmp(2, 2);
  CopyDataToBmp(src.data(), bmp, 8, 6);
  EXPECT_EQ(bmp.Pixel(1, 1), BufPixel(src, 8, 1, 1));
  std::vector<uint8_t> back(src.size(), 0xEE);
  CopyBmpToData(back.data(), bmp, 8, 6);
  EXPECT_EQ(BufPixel(back, 8, 1, 1), BufPixel(src, 8, 1, 1));
  EXPECT_EQ(back[2 * 4], 0xEE);  // row 0 beyond the bitmap's width untouched
  EXPECT_EQ(back[2 * 8 * 4], 0xEE);  // row 2 beyond its height untouched

  TBitmap empty;
  CopyDataToBmp(src.data(), empty, 8, 6);  // cannot be mapped: skipped
  EXPECT_TRUE(empty.IsEmpty());
}

TEST(TAVBitmapTest, ResizesOnTheWayInAndChecksOnTheWayOut) {
  auto buf = Pattern(5, 3, 7);
  TAVBitmap avbmp(buf.data(), 5, 3);
  TBitmap bmp(2, 2);
  avbmp.CopyDataToBitmap(bmp);
  ASSERT_EQ(bmp.Width(), 5);
  ASSERT_EQ(bmp.Height(), 3);
  EXPECT_EQ(bmp.Pixel(4, 2), BufPixel(buf, 5, 4, 2));

  std::vector<uint8_t> out(buf.size(), 0);
  TAVBitmap reader(out.data(), 5, 3);
  reader.CopyDataFromBitmap(bmp);
  EXPECT_EQ(out, buf);

  TBitmap wrongHeight(5, 4), wrongBoth(6, 4);
  try {
    reader.CopyDataFromBitmap(wrongHeight);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Bitmap Height incorrect");
  }
  try {
    reader.CopyDataFromBitmap(wrongBoth);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Bitmap Width incorrect");
  }
}

TEST(FixAlphaTest, WalksBottomUpForNegativeStride) {
  // A 3x3 image stored bottom-up in rows of 16 bytes (one pixel of padding).
  std::vector<uint8_t> buf(48, 0);
  FixAlpha(buf.data(), 3, 3, -16);
  for (size_t i = 0; i < buf.size(); ++i) {
    const bool alpha = (i % 16) % 4 == 3 && (i % 16) < 12;
    EXPECT_EQ(buf[i], alpha ? 255 : 0) << i;
  }
  // Rows further apart than a packed row, top-down.
  std::vector<uint8_t> wide(3 * 20, 0);
  FixAlpha(wide.data(), 2, 3, 20);
  for (size_t i = 0; i < wide.size(); ++i) {
    const bool alpha = (i % 20) == 3 || (i % 20) == 7;
    EXPECT_EQ(wide[i], alpha ? 255 : 0) << i;
  }
  FixAlpha(wide.data(), 2, 0, 20);
  FixAlpha(nullptr, 2, 3, 20);
}

}  // namespace
}  // namespace kivora
