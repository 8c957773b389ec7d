#pragma once
// Copies of 32-bit pixel buffers (rows of exactly width * 4 bytes, top row
// first) to and from toolkit bitmaps. Bytes are copied unchanged, so a buffer
// must already be in the bitmap's byte order (AV_PIX_FMT_RGBA for TBitmap).
// Nothing here locks; callers serialise access to their bitmaps.
#include <cstdint>

#include "kivora/platform/bitmap.h"

namespace kivora {

// Buffer -> bitmap. Copies the part of the Width x Height buffer (pixels) that
// fits the bitmap; a bitmap that cannot be mapped (empty, already mapped) is
// skipped.
void CopyDataToBmp(const uint8_t* src, TBitmap& bitmap, int Width, int Height);
// Bitmap -> buffer (rows of Width * 4 bytes), the same way round.
void CopyBmpToData(uint8_t* dst, TBitmap& bitmap, int Width, int Height);

// Sets the alpha byte (byte 3) of each of the width x height pixels to 255.
// Rows are DestStride bytes apart; a negative stride means pDestBuffer is the
// first byte of a bottom-up image, whose top row then lies
// |DestStride| * (height - 1) further on.
void FixAlpha(uint8_t* pDestBuffer, int width, int height, int DestStride);

// A toolkit colour (0xAARRGGBB) without its alpha byte.
constexpr uint32_t ToolkitColor2CColor(uint32_t AColor) { return AColor & 0xFFFFFFu; }

// A pixel buffer and its size, copied to and from bitmaps. The buffer is not
// owned: its creator keeps it alive and frees it.
class TAVBitmap {
public:
  // ABuf holds VideoWidth x VideoHeight pixels, VideoWidth * 4 bytes a row.
  TAVBitmap(uint8_t* ABuf, int VideoWidth, int VideoHeight)
      : FBuffer(ABuf), FVideoWidth(VideoWidth), FVideoHeight(VideoHeight) {}

  // Sizes the bitmap to the buffer when it differs, then copies the buffer in.
  void CopyDataToBitmap(TBitmap& ABitmap);
  // Copies the bitmap into the buffer. Raises "Bitmap Width incorrect" or
  // "Bitmap Height incorrect" (width checked first) when the sizes differ.
  void CopyDataFromBitmap(TBitmap& ABitmap);

  uint8_t* Buffer() const { return FBuffer; }
  int VideoWidth() const { return FVideoWidth; }
  int VideoHeight() const { return FVideoHeight; }

private:
  uint8_t* FBuffer;
  int FVideoWidth;
  int FVideoHeight;
};

// A source of captured pictures provided by the application: the size and
// top-left offset of the captured area, in pixels. The base implements none
// of them (each raises EAbstractError).
class TAVCapture {
public:
  virtual ~TAVCapture() = default;
  virtual int GetWidth();
  virtual int GetHeight();
  virtual int GetXOffset();
  virtual int GetYOffset();
};

}  // namespace kivora
