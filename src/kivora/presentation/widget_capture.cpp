#include "kivora/presentation/widget_capture.h"

#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "kivora/platform/bitmap.h"

namespace kivora {

TWidgetCapture::TWidgetCapture(QWidget* widget, TBitmap& bitmap)
    : FWidget(widget), FBitmap(bitmap), FTimer(std::make_unique<QTimer>()) {
  FTimer->setTimerType(Qt::PreciseTimer);
  QObject::connect(FTimer.get(), &QTimer::timeout, [this] {
    if (!CaptureNow() && !FWidget) Stop();
  });
}

TWidgetCapture::~TWidgetCapture() { Stop(); }

void TWidgetCapture::SetRate(double picturesPerSecond) {
  if (!std::isfinite(picturesPerSecond)) return;
  FRate = std::clamp(picturesPerSecond, 0.1, 1000.0);
  if (Active()) FTimer->start(static_cast<int>(std::lround(1000.0 / FRate)));
}

void TWidgetCapture::Start() {
  if (!FWidget) return;
  if (FBitmap.IsEmpty()) {
    const int w = std::max(2, FWidget->width() & ~1);
    const int h = std::max(2, FWidget->height() & ~1);
    FBitmap.SetSize(w, h);
  }
  CaptureNow();
  FTimer->start(static_cast<int>(std::lround(1000.0 / FRate)));
}

void TWidgetCapture::Stop() { FTimer->stop(); }

bool TWidgetCapture::Active() const { return FTimer->isActive(); }

bool TWidgetCapture::CaptureNow() {
  if (!FWidget || FBitmap.IsEmpty()) return false;
  const int w = FBitmap.Width(), h = FBitmap.Height();
  if (FStage.width() != w || FStage.height() != h) FStage = QImage(w, h, QImage::Format_RGBA8888);
  FStage.fill(Qt::black);
  {
    QPainter painter(&FStage);
    const QSize from = FWidget->size();
    if (from.width() > 0 && from.height() > 0 && from != FStage.size())
      painter.scale(static_cast<double>(w) / from.width(), static_cast<double>(h) / from.height());
    FWidget->render(&painter, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
  }
  TBmpCaptureLock lock;
  TBitmapData d;
  // The bitmap may have been resized since the stage was sized; copy the
  // overlap only.
  if (!FBitmap.Map(TMapAccess::Write, d)) return false;
  const int rows = std::min(d.Height, FStage.height());
  const size_t bytes = static_cast<size_t>(std::min(d.Width, FStage.width())) * 4;
  for (int y = 0; y < rows; ++y) std::memcpy(d.Data + static_cast<ptrdiff_t>(y) * d.Pitch, FStage.constScanLine(y), bytes);
  FBitmap.Unmap(d);
  ++FCaptured;
  return true;
}

}  // namespace kivora
