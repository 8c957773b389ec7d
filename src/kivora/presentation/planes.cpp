#include "kivora/presentation/planes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kivora {

namespace {
constexpr int kMaxSide = 16384;
}

void TPlaneBitmap::SetSize(int width, int height, int channels, int pitch) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
      (channels != 1 && channels != 2 && channels != 4)) {
    Clear();
    return;
  }
  const int packed = width * channels;
  if (pitch < packed) pitch = packed;
  const size_t bytes = static_cast<size_t>(pitch) * static_cast<size_t>(height);
  // The bytes are kept when nobody else holds them and they are large enough.
  if (!FData || FData.use_count() > 1 || FData->size() != bytes)
    FData = std::make_shared<std::vector<uint8_t>>(bytes, uint8_t{0});
  FWidth = width;
  FHeight = height;
  FChannels = channels;
  FPitch = pitch;
}

void TPlaneBitmap::Clear() {
  FData.reset();
  FWidth = FHeight = FChannels = FPitch = 0;
}

void TPlaneBitmap::Assign(const TPlaneBitmap& other) {
  if (&other == this) return;
  if (other.IsEmpty()) {
    Clear();
    return;
  }
  // Shared until one of the two is written.
  FData = other.FData;
  FWidth = other.FWidth;
  FHeight = other.FHeight;
  FChannels = other.FChannels;
  FPitch = other.FPitch;
}

void TPlaneBitmap::Detach() {
  if (FData && FData.use_count() > 1) FData = std::make_shared<std::vector<uint8_t>>(*FData);
}

void TPlaneBitmap::Fill(uint8_t value) {
  if (IsEmpty()) return;
  Detach();
  std::fill(FData->begin(), FData->end(), value);
}

void TPlaneBitmap::FillPixel(const uint8_t* values) {
  if (IsEmpty() || !values) return;
  Detach();
  for (int y = 0; y < FHeight; ++y) {
    uint8_t* row = FData->data() + static_cast<size_t>(y) * FPitch;
    for (int x = 0; x < FWidth; ++x) std::memcpy(row + x * FChannels, values, FChannels);
  }
}

uint8_t* TPlaneBitmap::Scanline(int y) {
  if (IsEmpty() || y < 0 || y >= FHeight) return nullptr;
  Detach();
  return FData->data() + static_cast<size_t>(y) * FPitch;
}

const uint8_t* TPlaneBitmap::ConstScanline(int y) const {
  if (IsEmpty() || y < 0 || y >= FHeight) return nullptr;
  return FData->data() + static_cast<size_t>(y) * FPitch;
}

TPlaneBitmap::Snapshot TPlaneBitmap::TakeSnapshot() const {
  Snapshot s;
  if (IsEmpty()) return s;
  s.Data = FData;
  s.Width = FWidth;
  s.Height = FHeight;
  s.Channels = FChannels;
  s.Pitch = FPitch;
  return s;
}

TYuvConversion TYuvConversion::Default() {
  return TYuvConversion{{0.0f, 0.5f, 0.5f}, {1.0f, 0.0f, 1.402f, 1.0f, -0.344f, -0.714f, 1.0f, 1.772f, 0.0f}};
}

TYuvConversion TYuvConversion::Make(double kr, double kb, bool fullRange) {
  const double kg = 1.0 - kr - kb;
  const double ys = fullRange ? 1.0 : 255.0 / 219.0;
  const double cs = fullRange ? 1.0 : 255.0 / 224.0;
  const double rv = 2.0 * (1.0 - kr) * cs;
  const double bu = 2.0 * (1.0 - kb) * cs;
  const double gu = -2.0 * kb * (1.0 - kb) / kg * cs;
  const double gv = -2.0 * kr * (1.0 - kr) / kg * cs;
  TYuvConversion c{};
  c.Offset[0] = fullRange ? 0.0f : 16.0f / 255.0f;
  c.Offset[1] = c.Offset[2] = 128.0f / 255.0f;
  const double m[9] = {ys, 0.0, rv, ys, gu, gv, ys, bu, 0.0};
  for (int i = 0; i < 9; ++i) c.Matrix[i] = static_cast<float>(m[i]);
  return c;
}

TYuvConversion TYuvConversion::ForFrame(AVColorSpace space, AVColorRange range, int format) {
  const bool full = range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
                    format == AV_PIX_FMT_YUVJ444P;
  switch (space) {
    case AVCOL_SPC_BT709:
      return Make(0.2126, 0.0722, full);
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return Make(0.2627, 0.0593, full);
    case AVCOL_SPC_SMPTE240M:
      return Make(0.212, 0.087, full);
    default:
      return Make(0.299, 0.114, full);
  }
}

namespace {

// Copies `rows` rows of `bytes` bytes from a plane of the frame (any line
// size, negative for bottom-up pictures) into a packed plane.
void CopyPlane(TPlaneBitmap& dst, const uint8_t* src, int srcPitch, int width, int height, int channels) {
  dst.SetSize(width, height, channels);
  const size_t bytes = static_cast<size_t>(width) * channels;
  for (int y = 0; y < height; ++y)
    std::memcpy(dst.Scanline(y), src + static_cast<ptrdiff_t>(y) * srcPitch, bytes);
}

}  // namespace

int FillPlanesFromFrame(const AVFrame* frame, TPlaneBitmap* const* planes, int count) {
  if (!frame || !planes || frame->width <= 0 || frame->height <= 0 || frame->width > kMaxSide ||
      frame->height > kMaxSide)
    return 0;
  const int w = frame->width, h = frame->height;
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  switch (frame->format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      if (count < 3 || !planes[0] || !planes[1] || !planes[2] || !frame->data[0] || !frame->data[1] || !frame->data[2]) return 0;
      if (std::abs(frame->linesize[0]) < w || std::abs(frame->linesize[1]) < cw || std::abs(frame->linesize[2]) < cw)
        return 0;
      CopyPlane(*planes[0], frame->data[0], frame->linesize[0], w, h, 1);
      CopyPlane(*planes[1], frame->data[1], frame->linesize[1], cw, ch, 1);
      CopyPlane(*planes[2], frame->data[2], frame->linesize[2], cw, ch, 1);
      return 3;
    case AV_PIX_FMT_NV12:
      if (count < 2 || !planes[0] || !planes[1] || !frame->data[0] || !frame->data[1]) return 0;
      if (std::abs(frame->linesize[0]) < w || std::abs(frame->linesize[1]) < cw * 2) return 0;
      CopyPlane(*planes[0], frame->data[0], frame->linesize[0], w, h, 1);
      CopyPlane(*planes[1], frame->data[1], frame->linesize[1], cw, ch, 2);
      return 2;
    case AV_PIX_FMT_RGBA:
      if (count < 1 || !planes[0] || !frame->data[0] || std::abs(frame->linesize[0]) < w * 4) return 0;
      CopyPlane(*planes[0], frame->data[0], frame->linesize[0], w, h, 4);
      return 1;
    default:
      return 0;
  }
}

}  // namespace kivora
