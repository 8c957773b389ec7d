#include "kivora/runtime/avbitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kivora/platform/exception.h"

namespace kivora {

namespace {

// Copies `rows` rows of `rowBytes`, as one block when both sides are packed
// the same way.
void CopyRows(uint8_t* dst, ptrdiff_t dstPitch, const uint8_t* src, ptrdiff_t srcPitch,
              size_t rowBytes, int rows) {
  if (dstPitch == srcPitch && static_cast<size_t>(dstPitch) == rowBytes) {
    std::memcpy(dst, src, rowBytes * static_cast<size_t>(rows));
    return;
  }
  for (int y = 0; y < rows; ++y, dst += dstPitch, src += srcPitch) std::memcpy(dst, src, rowBytes);
}

// Maps the bitmap, runs copy(data, width, height) over the part of the buffer
// that fits, and always unmaps.
template <typename Fn>
void WithMapped(TBitmap& bitmap, TMapAccess access, int Width, int Height, Fn&& copy) {
  if (Width <= 0 || Height <= 0) return;
  TBitmapData data;
  if (!bitmap.Map(access, data)) return;
  try {
    const int w = std::min(Width, data.Width);
    const int h = std::min(Height, data.Height);
    if (w > 0 && h > 0) copy(data, w, h);
  } catch (...) {
    bitmap.Unmap(data);
    throw;
  }
  bitmap.Unmap(data);
}

}  // namespace

void CopyDataToBmp(const uint8_t* src, TBitmap& bitmap, int Width, int Height) {
  if (!src) return;
  WithMapped(bitmap, TMapAccess::Write, Width, Height, [&](TBitmapData& data, int w, int h) {
    CopyRows(data.Data, data.Pitch, src, static_cast<ptrdiff_t>(Width) * 4, static_cast<size_t>(w) * 4, h);
  });
}

void CopyBmpToData(uint8_t* dst, TBitmap& bitmap, int Width, int Height) {
  if (!dst) return;
  WithMapped(bitmap, TMapAccess::Read, Width, Height, [&](TBitmapData& data, int w, int h) {
    CopyRows(dst, static_cast<ptrdiff_t>(Width) * 4, data.Data, data.Pitch, static_cast<size_t>(w) * 4, h);
  });
}

void FixAlpha(uint8_t* pDestBuffer, int width, int height, int DestStride) {
  if (!pDestBuffer || width <= 0 || height <= 0) return;
  uint8_t* row = pDestBuffer;
  if (DestStride < 0) row += static_cast<ptrdiff_t>(-static_cast<int64_t>(DestStride)) * (height - 1);
  for (int y = 0; y < height; ++y, row += DestStride)
    for (int x = 0; x < width; ++x) row[x * 4 + 3] = 255;
}

void TAVBitmap::CopyDataToBitmap(TBitmap& ABitmap) {
  if (ABitmap.Width() != FVideoWidth || ABitmap.Height() != FVideoHeight)
    ABitmap.SetSize(FVideoWidth, FVideoHeight);
  CopyDataToBmp(FBuffer, ABitmap, FVideoWidth, FVideoHeight);
}

void TAVBitmap::CopyDataFromBitmap(TBitmap& ABitmap) {
  if (ABitmap.Width() != FVideoWidth) throw Exception("Bitmap Width incorrect");
  if (ABitmap.Height() != FVideoHeight) throw Exception("Bitmap Height incorrect");
  CopyBmpToData(FBuffer, ABitmap, FVideoWidth, FVideoHeight);
}

int TAVCapture::GetWidth() { throw EAbstractError(); }
int TAVCapture::GetHeight() { throw EAbstractError(); }
int TAVCapture::GetXOffset() { throw EAbstractError(); }
int TAVCapture::GetYOffset() { throw EAbstractError(); }

}  // namespace kivora
