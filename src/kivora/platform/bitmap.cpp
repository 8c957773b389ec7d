#include "kivora/platform/bitmap.h"

#include <cstring>

#include "kivora/platform/exception.h"

namespace kivora {

namespace {

QImage ToRgba(const QImage& image) {
  if (image.isNull() || image.format() == QImage::Format_RGBA8888) return image;
  return image.convertToFormat(QImage::Format_RGBA8888);
}

}  // namespace

TBitmap::TBitmap(int width, int height) { SetSize(width, height); }

TBitmap::TBitmap(const QImage& image) : FImage(ToRgba(image)) {}

void TBitmap::SetSize(int width, int height) {
  if (width <= 0 || height <= 0) {
    FImage = QImage();
    return;
  }
  if (!FImage.isNull() && FImage.width() == width && FImage.height() == height &&
      FImage.format() == QImage::Format_RGBA8888)
    return;
  // QImage gives a null image when the size is absurd or memory runs out;
  // that leaves us empty rather than crashing later.
  FImage = QImage(width, height, QImage::Format_RGBA8888);
}

void TBitmap::Clear(uint32_t argb) {
  if (IsEmpty()) return;
  if (FImage.format() != QImage::Format_RGBA8888) FImage = ToRgba(FImage);
  const uint8_t px[4] = {static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 8),
                         static_cast<uint8_t>(argb), static_cast<uint8_t>(argb >> 24)};
  const int w = Width();
  for (int y = 0; y < Height(); ++y) {
    uint8_t* row = FImage.scanLine(y);
    for (int x = 0; x < w; ++x) std::memcpy(row + 4 * x, px, 4);
  }
}

bool TBitmap::Map(TMapAccess, TBitmapData& data) {
  if (IsEmpty() || FMapped) return false;
  if (FImage.format() != QImage::Format_RGBA8888) FImage = ToRgba(FImage);
  // bits() detaches from any image sharing our pixels, so writing through the
  // pointer never changes a copy made by Assign.
  data.Data = FImage.bits();
  data.Pitch = static_cast<int>(FImage.bytesPerLine());
  data.Width = FImage.width();
  data.Height = FImage.height();
  FMapped = data.Data != nullptr;
  return FMapped;
}

void TBitmap::Unmap(TBitmapData& data) {
  FMapped = false;
  data = TBitmapData();
}

void TBitmap::Assign(const TBitmap& other) {
  if (&other == this) return;
  FImage = ToRgba(other.FImage);
}

bool TBitmap::LoadFromFile(const QString& fileName) {
  if (FMapped) return false;
  QImage loaded;
  if (!loaded.load(fileName)) return false;
  FImage = ToRgba(loaded);
  return !FImage.isNull();
}

bool TBitmap::SaveToFile(const QString& fileName) const {
  return !IsEmpty() && FImage.save(fileName);
}

uint32_t TBitmap::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= Width() || y >= Height())
    throw Exception(Format("Pixel (%d, %d) is outside the %dx%d bitmap", x, y, Width(), Height()));
  if (FImage.format() != QImage::Format_RGBA8888) return FImage.pixel(x, y);
  const uint8_t* p = FImage.constScanLine(y) + 4 * x;
  return (uint32_t(p[3]) << 24) | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]);
}

}  // namespace kivora
