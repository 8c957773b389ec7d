#pragma once
// One-, two- and four-channel picture planes held on the CPU, the colour
// conversion a YUV material applies, and the helper that fills planes from a
// decoded FFmpeg frame. Nothing here needs OpenGL.
#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace kivora {

// A plane of 8-bit samples: 1 channel (Y, U or V), 2 (interleaved U and V)
// or 4 (RGBA or packed YUV). Rows are Pitch() bytes apart; Pitch() may exceed
// Width() * Channels(). The bytes are shared with the snapshots a texture
// keeps (Snapshot): writing through Scanline after a snapshot was taken
// gives the plane bytes of its own first, so a snapshot never changes.
class TPlaneBitmap {
public:
  TPlaneBitmap() = default;
  // An empty plane: no pixels.
  bool IsEmpty() const { return FWidth <= 0 || FHeight <= 0; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  int Channels() const { return FChannels; }
  int Pitch() const { return FPitch; }

  // Gives the plane the size; pitch 0 means packed rows. The pixels are
  // undefined afterwards (cleared to 0 when the bytes are new). A width,
  // height or channel count out of range (channels other than 1, 2 or 4, or
  // more than 16384 pixels a side) leaves the plane empty.
  void SetSize(int width, int height, int channels, int pitch = 0);
  void Clear();  // back to empty
  // Copies another plane (size, pitch and bytes).
  void Assign(const TPlaneBitmap& other);
  // Fills every sample of every channel with value.
  void Fill(uint8_t value);
  // Fills every pixel with the given channel values (Channels() of them).
  void FillPixel(const uint8_t* values);

  // Row y for writing (nullptr when out of range).
  uint8_t* Scanline(int y);
  const uint8_t* ConstScanline(int y) const;

  // The plane's bytes as they are now, for a texture to upload later.
  struct Snapshot {
    std::shared_ptr<const std::vector<uint8_t>> Data;
    int Width = 0, Height = 0, Channels = 0, Pitch = 0;
  };
  Snapshot TakeSnapshot() const;

private:
  void Detach();  // gives the plane bytes nobody else holds
  std::shared_ptr<std::vector<uint8_t>> FData;
  int FWidth = 0, FHeight = 0, FChannels = 0, FPitch = 0;
};

// How a YUV material turns samples (0..1) into RGB:
// rgb = Matrix * (yuv - Offset), Matrix row-major (rows r, g, b; columns y,
// u, v).
struct TYuvConversion {
  float Offset[3];
  float Matrix[9];

  // Full range with the BT.601 factors rounded as r = y + 1.402 v,
  // g = y - 0.344 u - 0.714 v, b = y + 1.772 u: the materials' default.
  static TYuvConversion Default();
  // The exact conversion for a matrix with luma weights kr, kb, in full
  // range (0..255 for Y, U and V) or limited range (Y 16..235, U and V
  // 16..240).
  static TYuvConversion Make(double kr, double kb, bool fullRange);
  // The conversion FFmpeg's scaler uses for a frame: BT.709 when the frame
  // says so (BT.2020 and SMPTE 240M also by their own weights), BT.601
  // otherwise; full range only for a frame marked full range (or of a JPEG
  // pixel format), limited otherwise.
  static TYuvConversion ForFrame(AVColorSpace space, AVColorRange range, int format = AV_PIX_FMT_NONE);
};

// Fills planes from a decoded frame, honouring each plane's line size
// (padded or bottom-up rows). YUV420P (and YUVJ420P): planes[0..2] get Y, U
// and V, one channel each (U and V of half size, rounded up). NV12: planes[0]
// gets Y and planes[1] the interleaved U and V (two channels). RGBA:
// planes[0] gets the four channels. Returns the number of planes filled; 0
// for any other format or a frame without pixels (the planes are then left
// alone).
int FillPlanesFromFrame(const AVFrame* frame, TPlaneBitmap* const* planes, int count);

}  // namespace kivora
