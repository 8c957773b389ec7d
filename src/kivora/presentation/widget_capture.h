#pragma once
// Records what a QWidget draws: at a chosen rate, on the GUI thread, it
// renders the widget and copies the picture into a TBitmap under the capture
// lock, so that a "bmpcap" input naming that bitmap (a converter with
// InputFormats "bmpcap", or the player) reads what the application shows.
//
// The widget is rendered outside the lock into a picture of the bitmap's
// size (scaled when the widget's size differs); only the copy holds the lock,
// so the capture reader waits no longer than one memcpy. The bitmap keeps the
// size it had when Start sized it (a capture input fixes its picture size
// when it opens). Use it on the GUI thread only; the bitmap must outlive it
// or the capture must be stopped first. A destroyed widget stops the capture.
#include <QImage>
#include <QPointer>
#include <memory>

class QTimer;
class QWidget;

namespace kivora {

class TBitmap;

class TWidgetCapture {
public:
  TWidgetCapture(QWidget* widget, TBitmap& bitmap);
  ~TWidgetCapture();
  TWidgetCapture(const TWidgetCapture&) = delete;
  TWidgetCapture& operator=(const TWidgetCapture&) = delete;

  // Pictures per second rendered while active (default 30; clamped to 0.1 ..
  // 1000, and a value that is not a number is ignored).
  double Rate() const { return FRate; }
  void SetRate(double picturesPerSecond);

  // Starts rendering at Rate. An empty bitmap first takes the widget's size
  // (at least 2x2, even width and height, as most encoders want). The first
  // picture is rendered at once, so a capture opened right after Start never
  // reads a blank bitmap. Nothing once the widget is gone.
  void Start();
  void Stop();
  bool Active() const;

  // Renders the widget into the bitmap now. False when the widget is gone or
  // the bitmap is empty.
  bool CaptureNow();
  // Pictures rendered since construction.
  int Captured() const { return FCaptured; }

private:
  QPointer<QWidget> FWidget;
  TBitmap& FBitmap;
  std::unique_ptr<QTimer> FTimer;
  QImage FStage;  // the widget rendered at the bitmap's size, outside the lock
  double FRate = 30.0;
  int FCaptured = 0;
};

}  // namespace kivora
