#pragma once
// TAVView: a widget that shows the pictures of a TAVPlayer.
//
// The view registers itself with its player as an IAVView; the player's
// refresh path sizes the view's bitmap, clears it and writes each due picture
// into it on the GUI thread, and the view paints the bitmap according to its
// wrap mode. It needs the player in RGB mode (packed RGBA pictures).
#include <QRectF>
#include <QWidget>
#include <cstdint>

#include "kivora/platform/bitmap.h"
#include "kivora/platform/component.h"
#include "kivora/platform/imagewrap.h"
#include "kivora/player/player.h"
#include "kivora/runtime/avframe.h"

class QPainter;

namespace kivora {

// The geometry of the Fit mode. R comes in as the picture's rectangle and
// leaves as the largest rectangle with the picture's display aspect ratio
// (R's own ratio times the sample aspect ratio ASar) that fits Bounds,
// centred in it; it fills Bounds in one direction, and the other side is
// rounded to an even number of pixels. A sample aspect ratio that is 0, has a
// zero denominator or is negative counts as 1:1. Bounds or R without area
// leave R unchanged and give 1. Returns the display aspect ratio used.
// Rectangles in pixels; plain geometry, any thread.
float FitRect2(AVRational ASar, QRectF& R, const QRectF& Bounds);

// A widget: every method is for the GUI thread, where the player's IAVView
// calls arrive too.
class TAVView : public QWidget, public TComponent, public IAVView {
  Q_OBJECT
  // Qt properties for Designer's property editor and for forms compiled by
  // uic. uic sets a property X by calling setX(value), hence the lower-case
  // set adapters below.
  Q_PROPERTY(kivora::TImageWrapMode WrapMode READ WrapMode WRITE setWrapMode)
  Q_PROPERTY(bool DisableInterpolation READ DisableInterpolation WRITE setDisableInterpolation)
  Q_PROPERTY(double Opacity READ Opacity WRITE setOpacity)
  Q_PROPERTY(bool Locked READ Locked WRITE setLocked)

public:
  explicit TAVView(QWidget* parent = nullptr, TComponent* owner = nullptr);
  ~TAVView() override;

  // The player whose pictures the view shows; not owned. The view detaches
  // itself when the player is destroyed.
  TAVPlayer* Player() const { return FPlayer; }
  void SetPlayer(TAVPlayer* Value);

  // The picture. Sized only by SetViewSize; written by DoVideoDisplay and
  // Clear.
  TBitmap& Bitmap() {
    SettleHeldFrame();
    return FBitmap;
  }
  const TBitmap& Bitmap() const {
    SettleHeldFrame();
    return FBitmap;
  }

  TImageWrapMode WrapMode() const { return FWrapMode; }
  void SetWrapMode(TImageWrapMode v);
  // Nine-slice margins in pixels (corners keep their size, the rest
  // stretches); any non-zero margin takes over from WrapMode.
  const TBounds& BitmapMargins() const { return FBitmapMargins; }
  void SetBitmapMargins(const TBounds& v);
  // True (the default): Fit and Stretch scale without smoothing, which is
  // faster and keeps pixels sharp.
  bool DisableInterpolation() const { return FDisableInterpolation; }
  void SetDisableInterpolation(bool v);
  // The opacity every draw of the bitmap uses (0..1; other values are clamped).
  double Opacity() const { return FOpacity; }
  void SetOpacity(double v);
  // A locked view shows no designer border even while designing.
  bool Locked() const { return FLocked; }
  void SetLocked(bool v);

  void setWrapMode(TImageWrapMode v) { SetWrapMode(v); }
  void setDisableInterpolation(bool v) { SetDisableInterpolation(v); }
  void setOpacity(double v) { SetOpacity(v); }
  void setLocked(bool v) { SetLocked(v); }

  // ---- IAVView ----
  // Copies one RGBA picture into the bitmap. Raises "TAVView only support RGB
  // Mode" when the player is not in RGB mode. Whatever the frame's size and
  // line size, nothing outside the bitmap (or the frame's rows) is touched.
  // A reference-counted frame of the bitmap's size is kept by reference
  // instead (until the next picture, Clear, a new size or another player):
  // it is painted from its own buffer and copied into the bitmap only when
  // the bitmap is asked for.
  void DoVideoDisplay(AVFrame* AFrame) override;
  // Pixels; the same size keeps the picture, another drops a held one.
  void SetViewSize(int Width, int Height) override;
  // Fills the bitmap with a 32-bit ARGB colour.
  void Clear(uint32_t Color) override;

  // Draws the bitmap as the widget shows it, into any painter whose area is
  // the widget's local rectangle.
  void Paint(QPainter& painter);

  // The bitmap's size in pixels, or 320 x 240 before the first picture.
  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent* event) override;
  void Notification(TComponent* component, TOperation operation) override;

private:
  // True when AFrame can be shown by reference: same size as the bitmap,
  // packed RGBA in a buffer of FFmpeg's that nobody writes while it is shared.
  bool CanHold(const AVFrame* AFrame) const;
  // Copies the held picture into the bitmap and lets go of its buffer.
  void SettleHeldFrame() const;
  void DropHeldFrame();

  TAVPlayer* FPlayer = nullptr;
  AVFramePtr FFrameRGB;  // a header over the mapped bitmap; never owns pixels
  // The bitmap's pixels, unless FHeld holds a picture (then FHeld's are newer).
  mutable TBitmap FBitmap;
  // The last picture, held by reference; without data when there is none.
  // The frame itself is kept from picture to picture.
  mutable AVFramePtr FHeld;
  TImageWrapMode FWrapMode = TImageWrapMode::Fit;
  TBounds FBitmapMargins;
  bool FDisableInterpolation = true;
  double FOpacity = 1.0;
  bool FLocked = false;
};

}  // namespace kivora
