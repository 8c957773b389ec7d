#pragma once
// Motion detection: each fed bitmap is compared with the previous one byte by
// byte; a pixel moves when one of its bytes changed by at least `sensivity`,
// and motion begins when at least `tolerance` pixels move. It ends at the
// first quiet frame once `detectionSecs` seconds have passed since it began.
// A per-pixel motion mask can be painted over a bitmap for display.
//
// No locks: the detector belongs to the thread that feeds it, and its events
// run on that thread.
#include <cstdint>
#include <functional>
#include <vector>

#include "kivora/platform/bitmap.h"
#include "kivora/platform/component.h"
#include "kivora/runtime/events.h"

namespace kivora {

// What the mask keeps and getImage paints: nothing; every pixel's change (red
// where it moved, green elsewhere); the moving pixels in red; only the pixels
// that started moving in the last frame, in red.
enum TShowMask { smNone = 0, smFullMask = 1, smMotion = 2, smMotionNew = 3 };

using TMotionEventBmp = std::function<void(TBitmap& bmp)>;

// The comparison and the motion state, independent of where frames come from.
class TCustomAVMotionDetector : public TComponent {
public:
  explicit TCustomAVMotionDetector(TComponent* owner = nullptr);
  ~TCustomAVMotionDetector() override;

  // Quiet again, with the last frame's figures cleared; no event.
  void reset();
  // Clamped to 10..2147483647 moving pixels.
  void setTolerance(int64_t Value);
  // Clamped to 1..255.
  void setSensivity(int64_t Value);
  // Clamped to 1..5 seconds.
  void setDetectionSecs(int64_t Value);

  // Defaults: tolerance 1000 pixels, sensivity 32 (a byte's change),
  // detectionSecs 3.
  uint32_t tolerance() const { return fTolerance; }
  uint8_t sensivity() const { return fSensivity; }
  uint8_t detectionSecs() const { return fDetectionSecs; }
  TShowMask showMask() const { return fShowMask; }
  void setShowMask(TShowMask Value) { fShowMask = Value; }
  bool detectLightness() const { return fDetectLightness; }
  void setDetectLightness(bool Value) { fDetectLightness = Value; }
  // The size of the frames compared, in pixels.
  uint16_t width() const { return fWidth; }
  uint16_t height() const { return fHeight; }

  // Between onMotionBegin and onMotionEnd.
  bool hasMotion() const { return FHasMotion; }
  // The last fed frame: largest per-pixel change, moving pixels, average byte
  // (0 when detectLightness is off).
  uint8_t maxDiff() const { return FMaxDiff; }
  uint32_t value() const { return FValue; }
  uint8_t lightness() const { return FLightness; }

  // Raised from inside the feed call whose frame starts or ends the motion.
  TNotifyEvent onMotionBegin;
  TNotifyEvent onMotionEnd;

protected:
  // Resets and makes zero-filled buffers for w x h pixels. A buffer that
  // cannot be had is left empty.
  virtual void setSize(uint16_t w, uint16_t h);
  virtual void motionBegin();
  virtual void motionEnd();
  // Compares count pixels at data with the last frame at `last`, stores them
  // there and writes each pixel's change to `mask` (null: no mask); both move
  // on past the row.
  virtual void motionProc(const uint8_t* data, uint32_t count, uint8_t*& last, uint8_t*& mask);

  // Compares a frame of fWidth x fHeight pixels (rows pitch bytes apart) and
  // raises the motion events; now is the frame's time in microseconds.
  void compareFrame(const uint8_t* data, int pitch, int64_t now);
  // The same for a plane of one byte a pixel (the pictures' luma): a pixel
  // moves when its byte changed by at least sens.
  void compareLuma(const uint8_t* data, int pitch, int64_t now, uint8_t sens);
  bool buffersReady() const;
  // The last frame holds one byte a pixel (fed as luma) instead of four.
  bool lumaFrames = false;

  const uint8_t res = 4;  // bytes per pixel
  int64_t tick = 0;       // the current frame's time, microseconds
  int64_t endTick = 0;    // after this a quiet frame ends the motion
  uint64_t lh = 0;        // sum of the current frame's bytes
  uint32_t vl = 0;        // moving pixels counted in the current frame
  bool init = false;      // priming: no onMotionBegin
  std::vector<uint8_t> pLastFrame;
  std::vector<uint8_t> pMotionMask;

private:
  uint8_t fDetectionSecs = 3;
  uint16_t fWidth = 0;
  uint16_t fHeight = 0;
  uint32_t fTolerance = 1000;
  uint8_t fSensivity = 32;
  TShowMask fShowMask = smMotion;
  bool fDetectLightness = true;
  bool FHasMotion = false;
  uint8_t FMaxDiff = 0;
  uint32_t FValue = 0;
  uint8_t FLightness = 0;
};

// The detector fed with bitmaps (4 bytes a pixel, RGBA).
class TAVMotionDetector : public TCustomAVMotionDetector {
public:
  explicit TAVMotionDetector(TComponent* owner = nullptr);

  // Compares the bitmap with the previous one. A new size starts over against
  // a zero frame. frameTimeUs is the frame's media time in microseconds: give
  // it when frames come faster (or slower) than real time, so the hold lasts
  // detectionSecs of media time; without it the monotonic clock is used.
  // False when nothing was compared: smaller than 2 x 2, larger than
  // 65535 x 65535, no memory for the buffers, or a bitmap that cannot be mapped.
  virtual bool feedFrame(TBitmap& bmp, int64_t frameTimeUs = INT64_MIN);
  // Feeds a first frame without raising onMotionBegin, then resets and
  // clears the mask.
  void initialize(TBitmap& bmp, int64_t frameTimeUs = INT64_MIN);
  // Compares a picture given by its luma plane (8 bits a pixel, rows pitch
  // bytes apart), as a decoder hands it over: no conversion to RGBA. The
  // sensitivity keeps its meaning for grey pictures: a limited-range plane
  // (16..235) is compared with the threshold scaled to that range, as the
  // RGBA conversion would stretch it. Switching between bitmaps and planes
  // starts over against a zero frame, as a new size does. False as feedFrame.
  // width and height are pixels.
  bool feedLuma(const uint8_t* plane, int width, int height, int pitch, bool fullRange,
                int64_t frameTimeUs = INT64_MIN);
  void initializeLuma(const uint8_t* plane, int width, int height, int pitch, bool fullRange,
                      int64_t frameTimeUs = INT64_MIN);
  // Paints the mask into bmp (sized to the detector), after copying the last
  // frame into it when rePaint. Without rePaint the mask goes over the
  // bitmap's own pixels, which only a bitmap of the detector's size has: one
  // of another size gets the last frame under the mask. Moving pixels get
  // more red (byte 0); in smFullMask the others get more green. False when
  // there is nothing to show or the bitmap cannot be sized or mapped.
  bool getImage(TBitmap& bmp, bool rePaint);

  // At the end of a feedFrame that compared (with the fed bitmap) and of a
  // getImage that painted (with the painted one); not for luma planes.
  TMotionEventBmp onFeedFrame;
  TMotionEventBmp onGetImage;
};

}  // namespace kivora
