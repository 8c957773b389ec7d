#include "kivora/preview/motiondetect.h"

#include <algorithm>
#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "kivora/platform/classes.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

int64_t Clamp(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Resizes to n zero bytes; empty when the memory cannot be had.
bool Allocate(std::vector<uint8_t>& buf, size_t n) {
  try {
    buf.assign(n, 0);
    return true;
  } catch (const std::bad_alloc&) {
    std::vector<uint8_t>().swap(buf);
    return false;
  }
}

// Unmaps when the scope ends, also on an exception.
struct MapGuard {
  TBitmap& bmp;
  TBitmapData data;
  bool ok;
  explicit MapGuard(TBitmap& b) : bmp(b), ok(b.Map(TMapAccess::ReadWrite, data)) {}
  ~MapGuard() {
    if (ok) bmp.Unmap(data);
  }
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
};

int64_t Now(int64_t frameTimeUs) { return frameTimeUs != INT64_MIN ? frameTimeUs : av_gettime_relative(); }

}  // namespace

TCustomAVMotionDetector::TCustomAVMotionDetector(TComponent* owner) : TComponent(owner) {
  setSize(0, 0);
  if (!Designing()) LoadLibs();
}

TCustomAVMotionDetector::~TCustomAVMotionDetector() = default;

void TCustomAVMotionDetector::reset() {
  FHasMotion = false;
  FValue = 0;
  FLightness = 0;
  FMaxDiff = 0;
}

void TCustomAVMotionDetector::setTolerance(int64_t Value) {
  fTolerance = static_cast<uint32_t>(Clamp(Value, 10, 2147483647));
}

void TCustomAVMotionDetector::setSensivity(int64_t Value) {
  fSensivity = static_cast<uint8_t>(Clamp(Value, 1, 255));
}

void TCustomAVMotionDetector::setDetectionSecs(int64_t Value) {
  fDetectionSecs = static_cast<uint8_t>(Clamp(Value, 1, 5));
}

void TCustomAVMotionDetector::setSize(uint16_t w, uint16_t h) {
  reset();
  fWidth = w;
  fHeight = h;
  const size_t pixels = size_t{w} * size_t{h};
  Allocate(pMotionMask, pixels);
  Allocate(pLastFrame, pixels * res);
}

bool TCustomAVMotionDetector::buffersReady() const {
  const size_t pixels = size_t{fWidth} * size_t{fHeight};
  return pixels > 0 && pLastFrame.size() == pixels * res && pMotionMask.size() == pixels;
}

void TCustomAVMotionDetector::motionBegin() {
  if (FHasMotion || init) return;
  FHasMotion = true;
  endTick = tick + int64_t{fDetectionSecs} * 1000000;
  if (onMotionBegin) onMotionBegin(this);
}

void TCustomAVMotionDetector::motionEnd() {
  if (!FHasMotion) return;
  FHasMotion = false;
  if (onMotionEnd) onMotionEnd(this);
}

void TCustomAVMotionDetector::motionProc(const uint8_t* data, uint32_t count, uint8_t*& last,
                                         uint8_t*& mask) {
  const uint8_t sens = fSensivity;
  const bool newOnly = fShowMask == smMotionNew;
  const bool light = fDetectLightness;
  uint32_t i = 0;
  uint32_t moving = 0;
  uint8_t maxDiff = FMaxDiff;
#ifdef __SSE2__
  // Four pixels at a time; the scalar loop below does the rest of the row.
  const __m128i zero = _mm_setzero_si128();
  const __m128i lowByte = _mm_set1_epi32(0xFF);
  const __m128i sensMinus1 = _mm_set1_epi32(sens - 1);
  const __m128i sens8 = _mm_set1_epi8(static_cast<char>(sens));
  __m128i vMax = zero, vCount = zero, vSum = zero;
  for (; i + 4 <= count; i += 4) {
    const __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 4 * i));
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last + 4 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last + 4 * i), n);
    const __m128i d = _mm_or_si128(_mm_subs_epu8(n, l), _mm_subs_epu8(l, n));
    __m128i b = _mm_max_epu8(d, _mm_srli_epi32(d, 8));
    b = _mm_and_si128(_mm_max_epu8(b, _mm_srli_epi32(b, 16)), lowByte);  // per pixel, 0..255
    vMax = _mm_max_epu8(vMax, b);
    vCount = _mm_sub_epi32(vCount, _mm_cmpgt_epi32(b, sensMinus1));
    if (light) vSum = _mm_add_epi64(vSum, _mm_sad_epu8(n, zero));
    if (mask) {
      __m128i p = _mm_packus_epi16(_mm_packs_epi32(b, zero), zero);  // the four b in bytes 0..3
      if (newOnly) {
        int32_t prev;
        std::memcpy(&prev, mask + i, 4);
        const __m128i m = _mm_cvtsi32_si128(prev);
        const __m128i pMoves = _mm_cmpeq_epi8(_mm_max_epu8(p, sens8), p);
        const __m128i mMoves = _mm_cmpeq_epi8(_mm_max_epu8(m, sens8), m);
        p = _mm_andnot_si128(_mm_and_si128(pMoves, mMoves), p);
      }
      const int32_t out = _mm_cvtsi128_si32(p);
      std::memcpy(mask + i, &out, 4);
    }
  }
  alignas(16) uint32_t counts[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(counts), vCount);
  moving = counts[0] + counts[1] + counts[2] + counts[3];
  alignas(16) uint8_t maxes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(maxes), vMax);
  for (uint8_t m : maxes) maxDiff = std::max(maxDiff, m);
  alignas(16) uint64_t sums[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(sums), vSum);
  lh += sums[0] + sums[1];
#endif
  for (; i < count; ++i) {
    uint8_t b = 0;
    for (int k = 0; k < 4; ++k) {
      const uint8_t n = data[4 * i + k];
      const uint8_t l = last[4 * i + k];
      b = std::max<uint8_t>(b, n > l ? n - l : l - n);
      last[4 * i + k] = n;
      if (light) lh += n;
    }
    maxDiff = std::max(maxDiff, b);
    if (b >= sens) ++moving;
    if (mask) mask[i] = newOnly && b >= sens && mask[i] >= sens ? 0 : b;
  }
  FMaxDiff = maxDiff;
  vl += moving;
  last += size_t{count} * res;
  if (mask) mask += count;
}

void TCustomAVMotionDetector::compareFrame(const uint8_t* data, int pitch, int64_t now) {
  tick = now;
  uint8_t* last = pLastFrame.data();
  uint8_t* mask = fShowMask != smNone ? pMotionMask.data() : nullptr;
  FMaxDiff = 0;
  vl = 0;
  lh = 0;
  for (uint32_t y = 0; y < fHeight; ++y)
    motionProc(data + static_cast<ptrdiff_t>(y) * pitch, fWidth, last, mask);
  FValue = vl;
  FLightness = static_cast<uint8_t>(lh / (uint64_t{fWidth} * fHeight * res));
  if (!FHasMotion && FValue >= fTolerance) motionBegin();
  if (FHasMotion && FValue < fTolerance && tick > endTick) motionEnd();
}

void TCustomAVMotionDetector::compareLuma(const uint8_t* data, int pitch, int64_t now, uint8_t sens) {
  tick = now;
  uint8_t* mask = fShowMask != smNone ? pMotionMask.data() : nullptr;
  const bool newOnly = fShowMask == smMotionNew;
  const bool light = fDetectLightness;
  uint8_t maxDiff = 0;
  uint64_t moving = 0, sum = 0;
  for (uint32_t y = 0; y < fHeight; ++y) {
    const uint8_t* n = data + static_cast<ptrdiff_t>(y) * pitch;
    uint8_t* l = pLastFrame.data() + size_t{y} * fWidth;
    uint8_t* m = mask ? mask + size_t{y} * fWidth : nullptr;
    uint32_t x = 0;
#ifdef __SSE2__
    if (!m) {
      // Sixteen pixels at a time when no mask is kept.
      const __m128i zero = _mm_setzero_si128();
      const __m128i one = _mm_set1_epi8(1);
      const __m128i sens8 = _mm_set1_epi8(static_cast<char>(sens));
      __m128i vMax = zero, vCount = zero, vSum = zero;
      for (; x + 16 <= fWidth; x += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(n + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(l + x), a);
        const __m128i d = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
        vMax = _mm_max_epu8(vMax, d);
        const __m128i moves = _mm_cmpeq_epi8(_mm_max_epu8(d, sens8), d);  // d >= sens
        vCount = _mm_add_epi64(vCount, _mm_sad_epu8(_mm_and_si128(moves, one), zero));
        if (light) vSum = _mm_add_epi64(vSum, _mm_sad_epu8(a, zero));
      }
      alignas(16) uint8_t maxes[16];
      _mm_store_si128(reinterpret_cast<__m128i*>(maxes), vMax);
      for (uint8_t v : maxes) maxDiff = std::max(maxDiff, v);
      alignas(16) uint64_t counts[2], sums[2];
      _mm_store_si128(reinterpret_cast<__m128i*>(counts), vCount);
      _mm_store_si128(reinterpret_cast<__m128i*>(sums), vSum);
      moving += counts[0] + counts[1];
      sum += sums[0] + sums[1];
    }
#endif
    for (; x < fWidth; ++x) {
      const uint8_t d = n[x] > l[x] ? n[x] - l[x] : l[x] - n[x];
      l[x] = n[x];
      if (light) sum += n[x];
      maxDiff = std::max(maxDiff, d);
      if (d >= sens) ++moving;
      if (m) m[x] = newOnly && d >= sens && m[x] >= sens ? 0 : d;
    }
  }
  FMaxDiff = maxDiff;
  vl = static_cast<uint32_t>(std::min<uint64_t>(moving, UINT32_MAX));
  FValue = vl;
  // As for a grey RGBA picture: three bytes of the grey and one of alpha.
  const uint64_t pixels = uint64_t{fWidth} * fHeight;
  FLightness = light && pixels ? static_cast<uint8_t>((sum * 3 + pixels * 255) / (pixels * 4)) : 0;
  if (!FHasMotion && FValue >= fTolerance) motionBegin();
  if (FHasMotion && FValue < fTolerance && tick > endTick) motionEnd();
}

TAVMotionDetector::TAVMotionDetector(TComponent* owner) : TCustomAVMotionDetector(owner) {}

bool TAVMotionDetector::feedLuma(const uint8_t* plane, int w, int h, int pitch, bool fullRange,
                                 int64_t frameTimeUs) {
  if (!plane || w > 65535 || h > 65535 || w < 2 || h < 2 || pitch < w) return false;
  if (w != width() || h != height() || !lumaFrames) {
    setSize(static_cast<uint16_t>(w), static_cast<uint16_t>(h));
    lumaFrames = true;
  }
  if (!buffersReady()) return false;
  // The RGBA conversion stretches a limited-range plane by 255/219: a byte
  // change of sens there is a change of sens * 219 / 255 here.
  const uint8_t sens = fullRange ? sensivity()
                                 : static_cast<uint8_t>(std::max(1, (sensivity() * 219 + 254) / 255));
  compareLuma(plane, pitch, Now(frameTimeUs), sens);
  return true;
}

void TAVMotionDetector::initializeLuma(const uint8_t* plane, int w, int h, int pitch, bool fullRange,
                                       int64_t frameTimeUs) {
  init = true;
  feedLuma(plane, w, h, pitch, fullRange, frameTimeUs);
  init = false;
  reset();
  std::fill(pMotionMask.begin(), pMotionMask.end(), 0);
}

bool TAVMotionDetector::feedFrame(TBitmap& bmp, int64_t frameTimeUs) {
  if (bmp.Width() > 65535 || bmp.Height() > 65535) return false;
  if (bmp.Width() != width() || bmp.Height() != height() || lumaFrames) {
    setSize(static_cast<uint16_t>(bmp.Width()), static_cast<uint16_t>(bmp.Height()));
    lumaFrames = false;
  }
  if (height() < 2 || width() < 2 || !buffersReady()) return false;
  {
    MapGuard mapped(bmp);
    if (!mapped.ok || mapped.data.Width < width() || mapped.data.Height < height()) return false;
    compareFrame(mapped.data.Data, mapped.data.Pitch, Now(frameTimeUs));
  }
  if (onFeedFrame) onFeedFrame(bmp);
  return true;
}

void TAVMotionDetector::initialize(TBitmap& bmp, int64_t frameTimeUs) {
  struct Priming {
    TAVMotionDetector& d;
    explicit Priming(TAVMotionDetector& det) : d(det) { d.init = true; }
    ~Priming() {
      d.init = false;
      d.reset();
      // The primed frame was compared with nothing: no pixel of it moved.
      std::fill(d.pMotionMask.begin(), d.pMotionMask.end(), 0);
    }
  } priming(*this);
  feedFrame(bmp, frameTimeUs);
}

bool TAVMotionDetector::getImage(TBitmap& bmp, bool rePaint) {
  if (height() < 2 || width() < 2 || !buffersReady()) return false;
  if (bmp.Width() != width() || bmp.Height() != height()) {
    // The bitmap's own picture is not the detector's size, and a resized
    // bitmap holds no picture at all: the mask goes over the stored frame.
    rePaint = true;
    bmp.SetSize(width(), height());
  }
  {
    MapGuard mapped(bmp);
    if (!mapped.ok || mapped.data.Width != width() || mapped.data.Height != height()) return false;
    const TShowMask mode = showMask();
    const uint8_t sens = sensivity();
    const uint8_t* last = pLastFrame.data();
    const uint8_t* mask = pMotionMask.data();
    for (int y = 0; y < height(); ++y) {
      uint8_t* px = mapped.data.Data + static_cast<ptrdiff_t>(y) * mapped.data.Pitch;
      if (rePaint && lumaFrames) {
        // A luma frame is painted grey.
        for (int x = 0; x < width(); ++x) {
          px[4 * x] = px[4 * x + 1] = px[4 * x + 2] = last[x];
          px[4 * x + 3] = 255;
        }
      } else if (rePaint) {
        std::memcpy(px, last, size_t{width()} * res);
      }
      last += size_t{width()} * (lumaFrames ? 1 : res);
      if (mode == smNone) continue;
      for (int x = 0; x < width(); ++x, px += 4, ++mask) {
        const uint8_t m = *mask;
        // RGBA: byte 0 is red, byte 1 green.
        if (m > sens) {
          px[0] = static_cast<uint8_t>(std::min(px[0] + m, 255));
          px[1] = px[2] = 0;
        } else if (mode == smFullMask) {
          px[0] = px[2] = 0;
          px[1] = static_cast<uint8_t>(std::min(px[1] + m, 255));
        }
      }
    }
  }
  if (onGetImage) onGetImage(bmp);
  return true;
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TAVMotionDetector, "motion detector");

}  // namespace kivora
