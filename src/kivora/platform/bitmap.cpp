#include "kivora/platform/bitmap.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "kivora/platform/exception.h"

namespace kivora {

// ---- the live-bitmap registry and the capture lock ----

namespace detail {

struct TLiveBitmap {
  std::mutex m;                     // guards captures; held through a change
  int captures = 0;                 // capture inputs holding the bitmap
  const TBitmap* bitmap = nullptr;  // nullptr once destroyed; see TBitmapCapture
};

}  // namespace detail

namespace {

struct TBitmapRegistry {
  std::mutex m;
  std::unordered_map<uint64_t, std::shared_ptr<detail::TLiveBitmap>> bitmaps;
};

TBitmapRegistry& BitmapRegistry() {
  static TBitmapRegistry* r = new TBitmapRegistry;  // outlives static bitmaps
  return *r;
}

std::recursive_mutex& CaptureMutex() {
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}

QImage ToRgba(const QImage& image) {
  if (image.isNull() || image.format() == QImage::Format_RGBA8888) return image;
  return image.convertToFormat(QImage::Format_RGBA8888);
}

}  // namespace

void LockBmpCapture() { CaptureMutex().lock(); }
void UnlockBmpCapture() { CaptureMutex().unlock(); }

std::unique_ptr<TBitmapCapture> TBitmapCapture::Acquire(uint64_t id) {
  std::shared_ptr<detail::TLiveBitmap> live;
  {
    TBitmapRegistry& r = BitmapRegistry();
    std::lock_guard<std::mutex> g(r.m);
    auto it = r.bitmaps.find(id);
    if (it == r.bitmaps.end()) return nullptr;
    live = it->second;
  }
  std::lock_guard<std::mutex> g(live->m);
  if (!live->bitmap) return nullptr;
  ++live->captures;
  return std::unique_ptr<TBitmapCapture>(new TBitmapCapture(std::move(live)));
}

TBitmapCapture::~TBitmapCapture() {
  std::lock_guard<std::mutex> g(FLive->m);
  --FLive->captures;
}

const TBitmap* TBitmapCapture::Locked() const { return FLive->bitmap; }

// ---- TBitmap ----

template <class Fn>
void TBitmap::Change(Fn&& fn) {
  // Holding our own lock keeps a capture from starting half-way through.
  std::lock_guard<std::mutex> g(FLive->m);
  if (FLive->captures > 0) {
    TBmpCaptureLock cap;
    fn();
  } else {
    fn();
  }
}

TBitmap::TBitmap() : FLive(std::make_shared<detail::TLiveBitmap>()) {
  FLive->bitmap = this;
  TBitmapRegistry& r = BitmapRegistry();
  std::lock_guard<std::mutex> g(r.m);
  r.bitmaps[LiveId()] = FLive;
}

TBitmap::TBitmap(int width, int height) : TBitmap() { SetSize(width, height); }

TBitmap::TBitmap(const QImage& image) : TBitmap() { FImage = ToRgba(image); }

TBitmap::TBitmap(const TBitmap& other) : TBitmap() { FImage = other.FImage; }

TBitmap& TBitmap::operator=(const TBitmap& other) {
  if (&other == this) return *this;
  QImage image = other.FImage;
  Change([&] { FImage.swap(image); });
  FMapped = false;
  return *this;
}

TBitmap::~TBitmap() {
  {
    TBitmapRegistry& r = BitmapRegistry();
    std::lock_guard<std::mutex> g(r.m);
    auto it = r.bitmaps.find(LiveId());
    if (it != r.bitmaps.end() && it->second == FLive) r.bitmaps.erase(it);
  }
  // A capture that is copying us finishes first; later ones see nullptr.
  std::lock_guard<std::mutex> g(FLive->m);
  if (FLive->captures > 0) {
    TBmpCaptureLock cap;
    FLive->bitmap = nullptr;
  } else {
    FLive->bitmap = nullptr;
  }
}

void TBitmap::SetSize(int width, int height) {
  if (width <= 0 || height <= 0) {
    QImage none;
    Change([&] { FImage.swap(none); });
    return;
  }
  if (!FImage.isNull() && FImage.width() == width && FImage.height() == height &&
      FImage.format() == QImage::Format_RGBA8888)
    return;
  // QImage gives a null image when the size is absurd or memory runs out;
  // that leaves us empty rather than crashing later. The new pixels are
  // made, and the old ones freed, outside the capture lock.
  QImage image(width, height, QImage::Format_RGBA8888);
  // QImage leaves new pixels as whatever the heap held; a capture or a
  // draw that reads them before the application paints would show that.
  // A new size starts transparent black.
  if (!image.isNull()) image.fill(0u);
  Change([&] { FImage.swap(image); });
}

void TBitmap::Clear(uint32_t argb) {
  if (IsEmpty()) return;
  const uint8_t px[4] = {static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 8),
                         static_cast<uint8_t>(argb), static_cast<uint8_t>(argb >> 24)};
  Change([&] {
    if (FImage.format() != QImage::Format_RGBA8888) FImage = ToRgba(FImage);
    // Whole pixels at a time: a 1080p view is cleared before its first
    // picture, while the player waits. Scan lines are 32-bit aligned.
    uint32_t pixel;
    std::memcpy(&pixel, px, 4);
    const int w = Width();
    for (int y = 0; y < Height(); ++y) std::fill_n(reinterpret_cast<uint32_t*>(FImage.scanLine(y)), w, pixel);
  });
}

bool TBitmap::Map(TMapAccess, TBitmapData& data) {
  if (IsEmpty() || FMapped) return false;
  Change([&] {
    if (FImage.format() != QImage::Format_RGBA8888) FImage = ToRgba(FImage);
    // bits() detaches from any image sharing our pixels, so writing through
    // the pointer never changes a copy made by Assign.
    data.Data = FImage.bits();
  });
  data.Pitch = static_cast<int>(FImage.bytesPerLine());
  data.Width = FImage.width();
  data.Height = FImage.height();
  FMapped = data.Data != nullptr;
  return FMapped;
}

TBitmapData TBitmap::ConstPixels() const {
  TBitmapData data;
  if (IsEmpty() || FImage.format() != QImage::Format_RGBA8888) return data;
  data.Data = const_cast<uint8_t*>(FImage.constBits());
  data.Pitch = static_cast<int>(FImage.bytesPerLine());
  data.Width = FImage.width();
  data.Height = FImage.height();
  return data;
}

void TBitmap::Unmap(TBitmapData& data) {
  FMapped = false;
  data = TBitmapData();
}

void TBitmap::Assign(const TBitmap& other) {
  if (&other == this) return;
  QImage image = ToRgba(other.FImage);
  Change([&] { FImage.swap(image); });
}

bool TBitmap::LoadFromFile(const QString& fileName) {
  if (FMapped) return false;
  QImage loaded;
  if (!loaded.load(fileName)) return false;
  loaded = ToRgba(loaded);
  Change([&] { FImage.swap(loaded); });
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
