#pragma once
// A 32-bit RGBA bitmap (QImage Format_RGBA8888: bytes R, G, B, A in memory,
// the same order as FFmpeg's AV_PIX_FMT_RGBA), with map/unmap access to its
// pixels. Not thread-safe: callers serialise access.
//
// Every bitmap registers itself as live while it exists, so that a "bmpcap"
// input naming it by number can be checked before it is read. While such an
// input captures a bitmap, the operations that reallocate its pixels
// (SetSize, Assign, assignment, Clear, Map, LoadFromFile, destruction) take
// the capture lock themselves; drawing into it, and any change made through
// Image(), belongs between LockBmpCapture and UnlockBmpCapture.
#include <QImage>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kivora {

namespace detail {
struct TLiveBitmap;
}

// The process-wide lock that capture inputs hold while they copy a bitmap.
// It may be taken again by the thread that holds it. Any thread.
void LockBmpCapture();
void UnlockBmpCapture();
// LockBmpCapture for one scope.
class TBmpCaptureLock {
public:
  TBmpCaptureLock() { LockBmpCapture(); }
  ~TBmpCaptureLock() { UnlockBmpCapture(); }
  TBmpCaptureLock(const TBmpCaptureLock&) = delete;
  TBmpCaptureLock& operator=(const TBmpCaptureLock&) = delete;
};

enum class TMapAccess { Read, Write, ReadWrite };

struct TBitmapData {
  uint8_t* Data = nullptr;  // first byte of the top row
  int Pitch = 0;            // bytes from one row to the next
  // Width and Height in pixels.
  int Width = 0;
  int Height = 0;
};

class TBitmap {
public:
  TBitmap();
  // Pixels; starts transparent black, empty when either is 0 or less.
  TBitmap(int width, int height);
  // Other formats are converted to RGBA.
  explicit TBitmap(const QImage& image);
  // A copy shares the pixels until either side changes them; it is a bitmap
  // of its own, with its own number.
  TBitmap(const TBitmap& other);
  TBitmap& operator=(const TBitmap& other);
  ~TBitmap();

  // The number that names this bitmap to a "bmpcap" input (its address).
  uint64_t LiveId() const { return reinterpret_cast<uintptr_t>(this); }

  // Pixels; 0 when empty.
  int Width() const { return FImage.width(); }
  int Height() const { return FImage.height(); }
  bool IsEmpty() const { return FImage.isNull() || Width() == 0 || Height() == 0; }
  // Resizes, in pixels; a new size starts transparent black, an unchanged one
  // keeps its pixels. A width or height of 0 (or less) makes the bitmap empty.
  void SetSize(int width, int height);
  // Fills every pixel with a 32-bit ARGB colour (0xAARRGGBB); an empty
  // bitmap stays empty.
  void Clear(uint32_t argb);
  // Gives access to the pixels until Unmap. Fails (false) on an empty bitmap
  // or while already mapped.
  bool Map(TMapAccess access, TBitmapData& data);
  void Unmap(TBitmapData& data);
  bool Mapped() const { return FMapped; }
  // Read-only access to the pixels that never reallocates them (a shared
  // copy stays shared); Data is nullptr when the bitmap is empty or its
  // image was replaced, through Image(), by one that is not RGBA.
  TBitmapData ConstPixels() const;
  // Copies another bitmap's size and pixels.
  void Assign(const TBitmap& other);
  // Reads and writes image files in any format Qt knows (PNG, BMP, JPEG...).
  // False on failure; a load while mapped fails, a save of an empty bitmap too.
  bool LoadFromFile(const QString& fileName);
  bool SaveToFile(const QString& fileName) const;

  const QImage& Image() const { return FImage; }
  QImage& Image() { return FImage; }
  // Pixel (x, y) as 0xAARRGGBB; raises an Exception outside the bitmap.
  uint32_t Pixel(int x, int y) const;

private:
  friend class TBitmapCapture;
  // Runs a change that may reallocate the pixels: under the capture lock
  // while an input captures this bitmap, and never while one is starting.
  template <class Fn>
  void Change(Fn&& fn);

  QImage FImage;
  bool FMapped = false;
  std::shared_ptr<detail::TLiveBitmap> FLive;
};

// One capture input's hold on a live bitmap. Several inputs may capture the
// same bitmap at once.
class TBitmapCapture {
public:
  // The hold on the live bitmap numbered id, or nullptr when no live bitmap
  // has that number. Any thread.
  static std::unique_ptr<TBitmapCapture> Acquire(uint64_t id);
  ~TBitmapCapture();
  TBitmapCapture(const TBitmapCapture&) = delete;
  TBitmapCapture& operator=(const TBitmapCapture&) = delete;
  // With the capture lock held: the bitmap, or nullptr once it has been
  // destroyed.
  const TBitmap* Locked() const;

private:
  explicit TBitmapCapture(std::shared_ptr<detail::TLiveBitmap> live) : FLive(std::move(live)) {}
  std::shared_ptr<detail::TLiveBitmap> FLive;
};

}  // namespace kivora
