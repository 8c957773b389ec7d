// The test picture with its frame-number cells, reading the number back, tone
// measurement and the temporary folder.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "support/media_fixtures.h"

namespace kivora::testing {

namespace {

constexpr int kBits = 12;
constexpr int kMaxNumber = (1 << kBits) - 1;

// Cell geometry as fractions of the picture: twelve cells each 1/16 of the
// width wide starting at 1/32, two rows each 1/10 of the height tall.
struct Cell {
  double x0, x1, y0, y1;
};

Cell CellAt(int row, int i) {
  const double x0 = 1.0 / 32 + i / 16.0;
  const double y0 = 0.05 + row * 0.12;
  return {x0, x0 + 1.0 / 16, y0, y0 + 0.10};
}

void Fill(uint8_t* rgba, int pitch, int x0, int y0, int x1, int y1, uint8_t r, uint8_t g,
          uint8_t b) {
  for (int y = y0; y < y1; ++y) {
    uint8_t* p = rgba + static_cast<ptrdiff_t>(y) * pitch + x0 * 4;
    for (int x = x0; x < x1; ++x, p += 4) {
      p[0] = r;
      p[1] = g;
      p[2] = b;
      p[3] = 255;
    }
  }
}

}  // namespace

void DrawTestPicture(uint8_t* rgba, int width, int height, int pitch, int n) {
  // A colour gradient so that every part of the picture has detail.
  for (int y = 0; y < height; ++y) {
    uint8_t* p = rgba + static_cast<ptrdiff_t>(y) * pitch;
    for (int x = 0; x < width; ++x, p += 4) {
      p[0] = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
      p[1] = static_cast<uint8_t>(y * 255 / std::max(1, height - 1));
      p[2] = 128;
      p[3] = 255;
    }
  }
  // Something that moves every frame, below the cells, so no encoder treats
  // a frame as a repeat of the previous one.
  const int barW = std::max(2, width / 20);
  const int barX = (n * std::max(1, width / 40)) % std::max(1, width - barW);
  Fill(rgba, pitch, barX, height * 4 / 10, barX + barW, height, 255, 255, 255);
  const int boxS = std::max(2, height / 8);
  const int boxY = height * 4 / 10 + (n * 3) % std::max(1, height * 6 / 10 - boxS);
  Fill(rgba, pitch, width - 2 * boxS, boxY, width - boxS, boxY + boxS, 20, 20, 200);

  // Grey band under the cells, then the cells: row 0 holds the number
  // (most significant bit first, white = 1), row 1 its inverse.
  Fill(rgba, pitch, 0, 0, width * 13 / 16, height * 3 / 10, 128, 128, 128);
  const int value = n & kMaxNumber;
  for (int row = 0; row < 2; ++row) {
    for (int i = 0; i < kBits; ++i) {
      const Cell c = CellAt(row, i);
      bool bit = (value >> (kBits - 1 - i)) & 1;
      if (row == 1) bit = !bit;
      const uint8_t v = bit ? 255 : 0;
      Fill(rgba, pitch, static_cast<int>(c.x0 * width), static_cast<int>(c.y0 * height),
           static_cast<int>(c.x1 * width), static_cast<int>(c.y1 * height), v, v, v);
    }
  }
}

int ReadFrameNumber(const uint8_t* rgba, int width, int height, int pitch) {
  if (!rgba || width < 32 || height < 20) return -1;
  int bits[2][kBits];
  for (int row = 0; row < 2; ++row) {
    for (int i = 0; i < kBits; ++i) {
      // Average the middle half of the cell: its edges blur under coding and
      // shift when the picture was cropped or scaled.
      const Cell c = CellAt(row, i);
      const double cw = c.x1 - c.x0, ch = c.y1 - c.y0;
      const int x0 = static_cast<int>((c.x0 + cw / 4) * width);
      const int x1 = std::max(x0 + 1, static_cast<int>((c.x1 - cw / 4) * width));
      const int y0 = static_cast<int>((c.y0 + ch / 4) * height);
      const int y1 = std::max(y0 + 1, static_cast<int>((c.y1 - ch / 4) * height));
      long sum = 0, count = 0;
      for (int y = y0; y < y1 && y < height; ++y) {
        const uint8_t* p = rgba + static_cast<ptrdiff_t>(y) * pitch + x0 * 4;
        for (int x = x0; x < x1 && x < width; ++x, p += 4) {
          sum += (77 * p[0] + 150 * p[1] + 29 * p[2]) >> 8;
          ++count;
        }
      }
      if (count == 0) return -1;
      const long avg = sum / count;
      if (avg > 80 && avg < 176) return -1;  // neither black nor white
      bits[row][i] = avg >= 128;
    }
  }
  int value = 0;
  for (int i = 0; i < kBits; ++i) {
    if (bits[0][i] == bits[1][i]) return -1;  // the second row must be the inverse
    value = (value << 1) | bits[0][i];
  }
  return value;
}

int ReadFrameNumber(const AVFrame* frame) {
  if (!frame || frame->width <= 0 || frame->height <= 0 || frame->format < 0) return -1;
  const int w = frame->width, h = frame->height;
  SwsContext* sws = sws_getContext(w, h, static_cast<AVPixelFormat>(frame->format), w, h,
                                   AV_PIX_FMT_RGBA, SWS_POINT, nullptr, nullptr, nullptr);
  if (!sws) return -1;
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  uint8_t* dst[4] = {rgba.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {w * 4, 0, 0, 0};
  const int done = sws_scale(sws, frame->data, frame->linesize, 0, h, dst, dstStride);
  sws_freeContext(sws);
  if (done != h) return -1;
  return ReadFrameNumber(rgba.data(), w, h, w * 4);
}

double MeasureToneHz(const int16_t* interleaved, size_t frames, int channels,
                     int sample_rate, int channel) {
  if (!interleaved || channels <= 0 || channel < 0 || channel >= channels || sample_rate <= 0)
    return 0;
  // Upward zero crossings with hysteresis, so coding noise around zero does
  // not count as extra periods; crossing times are interpolated between the
  // two samples around zero.
  constexpr int kArm = 300;
  bool armed = false;
  double first = -1, last = -1;
  long crossings = 0;
  for (size_t i = 1; i < frames; ++i) {
    const int prev = interleaved[(i - 1) * channels + channel];
    const int cur = interleaved[i * channels + channel];
    if (cur < -kArm) armed = true;
    if (armed && prev < 0 && cur >= 0) {
      const double t = static_cast<double>(i - 1) + static_cast<double>(-prev) / (cur - prev);
      if (first < 0) first = t;
      last = t;
      ++crossings;
      armed = false;
    }
  }
  if (crossings < 2 || last <= first) return 0;
  return (crossings - 1) * sample_rate / (last - first);
}

double Rms(const int16_t* interleaved, size_t frames, int channels, int channel) {
  if (!interleaved || frames == 0 || channels <= 0 || channel >= channels) return 0;
  double sum = 0;
  size_t count = 0;
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      if (channel >= 0 && c != channel) continue;
      const double v = interleaved[i * channels + c] / 32768.0;
      sum += v * v;
      ++count;
    }
  }
  return std::sqrt(sum / count);
}

TempDir::TempDir() {
  std::string tmpl = "/tmp/kivora-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
  FDir = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

std::string TempDir::Path(const std::string& name) const { return FDir + "/" + name; }

}  // namespace kivora::testing
