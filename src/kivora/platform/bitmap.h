#pragma once
// A 32-bit RGBA bitmap (QImage Format_RGBA8888: bytes R, G, B, A in memory,
// the same order as FFmpeg's AV_PIX_FMT_RGBA), with map/unmap access to its
// pixels. Not thread-safe: callers serialise access.
#include <QImage>
#include <cstdint>

namespace kivora {

enum class TMapAccess { Read, Write, ReadWrite };

struct TBitmapData {
  uint8_t* Data = nullptr;  // first byte of the top row
  int Pitch = 0;            // bytes from one row to the next
  int Width = 0;
  int Height = 0;
};

class TBitmap {
public:
  TBitmap() = default;
  TBitmap(int width, int height);
  explicit TBitmap(const QImage& image);

  int Width() const { return FImage.width(); }
  int Height() const { return FImage.height(); }
  bool IsEmpty() const { return FImage.isNull() || Width() == 0 || Height() == 0; }
  // Resizes; the pixels are undefined afterwards unless the size is unchanged.
  // A width or height of 0 (or less) makes the bitmap empty.
  void SetSize(int width, int height);
  // Fills every pixel with a 32-bit ARGB colour (0xAARRGGBB).
  void Clear(uint32_t argb);
  // Gives access to the pixels until Unmap. Fails (false) on an empty bitmap
  // or while already mapped.
  bool Map(TMapAccess access, TBitmapData& data);
  void Unmap(TBitmapData& data);
  bool Mapped() const { return FMapped; }
  // Copies another bitmap's size and pixels.
  void Assign(const TBitmap& other);
  // Reads and writes image files in any format Qt knows (PNG, BMP, JPEG...).
  bool LoadFromFile(const QString& fileName);
  bool SaveToFile(const QString& fileName) const;

  const QImage& Image() const { return FImage; }
  QImage& Image() { return FImage; }
  // Pixel (x, y) as 0xAARRGGBB.
  uint32_t Pixel(int x, int y) const;

private:
  QImage FImage;
  bool FMapped = false;
};

}  // namespace kivora
