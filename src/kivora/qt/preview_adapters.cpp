#include "kivora/qt/preview_adapters.h"

#include <cmath>

namespace kivora::qt {

namespace {

// Two durations or times are the same value, NaN (unknown) included.
bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

// ---- Preview ----

// What the component's handlers reach the adapter through. It outlives the
// adapter (the handlers hold it), so a handler still running when a
// receiver deletes the adapter finds owner null instead of a dead object;
// depth counts the handlers on the stack.
struct Preview::Link {
  Preview* owner = nullptr;
  int depth = 0;
};

namespace {

// Calls the owner's handler when there still is an owner, counted as a call
// from inside the control.
template <class Link>
void Reach(const std::shared_ptr<Link>& link, void (Preview::*handler)()) {
  if (!link->owner) return;
  ++link->depth;
  (link->owner->*handler)();
  --link->depth;
}

}  // namespace

Preview::Preview(QObject* parent) : QObject(parent), FPreview(new TAVPreview), FLink(std::make_shared<Link>()) {
  FLink->owner = this;
  FTimestamp = FPreview->timestamp();
  FDuration = FPreview->Duration();
  FActive = FPreview->Active();
  auto link = FLink;
  FPreview->OnBitmapChanged = [link](TComponent*) { Reach(link, &Preview::Picture); };
  FPreview->OnActive = [link](TComponent*) { Reach(link, &Preview::Opened); };
  FPreview->OnError = [link](TComponent*) { Reach(link, &Preview::Failed); };
}

Preview::~Preview() {
  FLink->owner = nullptr;  // no event reaches this adapter any more
  if (!FPreview) return;  // a window it was put into has deleted it
  // Deleted from a signal raised by the control itself: its code is still
  // on the stack, so the event loop destroys it.
  if (FLink->depth > 0) FPreview->deleteLater();
  else delete FPreview.data();
}

QString Preview::inputFile() const { return FPreview ? FPreview->InputFileText() : QString(); }
bool Preview::accurate() const { return FPreview && FPreview->Accurate(); }
int Preview::timeoutMs() const { return FPreview ? FPreview->TimeoutMs() : 0; }
double Preview::timestamp() const { return FPreview ? FPreview->timestamp() : 0; }
bool Preview::active() const { return FPreview && FPreview->Active(); }
double Preview::duration() const { return FPreview ? FPreview->Duration() : 0; }
QImage Preview::picture() const { return FPreview ? FPreview->Bitmap().Image() : QImage(); }

void Preview::setInputFile(const QString& file) {
  if (!FPreview || file == inputFile()) return;
  FPreview->SetInputFile(file.toStdString());  // closes an open file
  if (!Sync()) return;
  Q_EMIT inputFileChanged(file);
}

void Preview::setAccurate(bool on) {
  if (!FPreview || on == accurate()) return;
  FPreview->SetAccurate(on);
  Q_EMIT accurateChanged(on);
}

void Preview::setTimeoutMs(int ms) {
  if (!FPreview || ms == timeoutMs()) return;
  FPreview->SetTimeoutMs(ms);
  Q_EMIT timeoutMsChanged(ms);
}

void Preview::setTimestamp(double seconds) {
  if (!FPreview) return;
  QPointer<Preview> self(this);
  // A refused time raises OnError inside this call (Failed emits it).
  FPreview->Settimestamp(seconds);
  if (self) Sync();
}

void Preview::showTime(double seconds) { setTimestamp(seconds); }

void Preview::open(const QString& file) {
  if (!FPreview) return;
  QPointer<Preview> self(this);
  if (!file.isEmpty()) {
    setInputFile(file);
    if (!self) return;
  }
  FPreview->PreviewImage();
  Sync();
}

void Preview::close() {
  if (!FPreview) return;
  FPreview->CloseFile();
  Sync();
}

QImage Preview::grab(const QSize& size) const {
  const QImage shown = picture();
  if (shown.isNull() || size.isEmpty() || size == shown.size()) return shown;
  return shown.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

bool Preview::Sync() {
  QPointer<Preview> self(this);
  if (!FPreview) return true;
  const double d = FPreview->Duration();
  if (!Same(d, FDuration)) {
    FDuration = d;
    Q_EMIT durationChanged(d);
    if (!self || !FPreview) return false;
  }
  const double t = FPreview->timestamp();
  if (t != FTimestamp) {
    FTimestamp = t;
    Q_EMIT timestampChanged(t);
    if (!self || !FPreview) return false;
  }
  const bool a = FPreview->Active();
  if (a != FActive) {
    FActive = a;
    Q_EMIT activeChanged(a);
    if (!self || !FPreview) return false;
  }
  return true;
}

// The signals' arguments are copies: a receiver that deletes the adapter
// must leave them whole for the receivers after it.
void Preview::Picture() {
  if (!Sync()) return;
  const QImage shown = FPreview->Bitmap().Image();
  Q_EMIT pictureReady(shown, FPreview->timestamp());
}

void Preview::Opened() {
  if (!Sync()) return;
  Q_EMIT opened();
}

void Preview::Failed() {
  FLastError = QString::fromStdString(FPreview->LastError());
  const QString message = FLastError;
  if (!Sync()) return;
  Q_EMIT errorOccurred(message);
}

// ---- MotionDetector ----

struct MotionDetector::Link {
  MotionDetector* owner = nullptr;
};

MotionDetector::MotionDetector(QObject* parent)
    : QObject(parent), FDetector(std::make_shared<TAVMotionDetector>()), FLink(std::make_shared<Link>()) {
  FLink->owner = this;
  auto link = FLink;
  // Each handler looks at the link after every emit: a receiver may have
  // deleted the adapter, while the detector goes on with the frame.
  FDetector->onMotionBegin = [link](TComponent*) {
    if (!link->owner) return;
    Q_EMIT link->owner->motionBegin();
    if (!link->owner) return;
    Q_EMIT link->owner->hasMotionChanged(true);
  };
  FDetector->onMotionEnd = [link](TComponent*) {
    if (!link->owner) return;
    Q_EMIT link->owner->motionEnd();
    if (!link->owner) return;
    Q_EMIT link->owner->hasMotionChanged(false);
  };
  FDetector->onFeedFrame = [link](TBitmap& bmp) {
    const QImage picture = bmp.Image();
    if (link->owner) Q_EMIT link->owner->frameFed(picture);
  };
  FDetector->onGetImage = [link](TBitmap& bmp) {
    const QImage image = bmp.Image();
    if (link->owner) Q_EMIT link->owner->maskPainted(image);
  };
}

MotionDetector::~MotionDetector() {
  // A feed still running keeps the detector (its own reference) until it
  // returns; its handlers find no adapter.
  FLink->owner = nullptr;
}

void MotionDetector::setTolerance(int pixels) {
  const int before = tolerance();
  FDetector->setTolerance(pixels);
  if (tolerance() != before) Q_EMIT toleranceChanged(tolerance());
}

void MotionDetector::setSensivity(int level) {
  const int before = sensivity();
  FDetector->setSensivity(level);
  if (sensivity() != before) Q_EMIT sensivityChanged(sensivity());
}

void MotionDetector::setDetectionSecs(int seconds) {
  const int before = detectionSecs();
  FDetector->setDetectionSecs(seconds);
  if (detectionSecs() != before) Q_EMIT detectionSecsChanged(detectionSecs());
}

void MotionDetector::setShowMask(ShowMask mask) {
  if (mask < None || mask > MotionNew || mask == showMask()) return;
  FDetector->setShowMask(static_cast<TShowMask>(mask));
  Q_EMIT showMaskChanged(mask);
}

void MotionDetector::setDetectLightness(bool on) {
  if (on == detectLightness()) return;
  FDetector->setDetectLightness(on);
  Q_EMIT detectLightnessChanged(on);
}

bool MotionDetector::feed(const QImage& picture, qint64 frameTimeUs) {
  // Both held here: the signals below may delete the adapter.
  const auto detector = FDetector;
  const auto link = FLink;
  TBitmap bmp(picture);
  const bool ok = detector->feedFrame(bmp, frameTimeUs);
  if (ok && link->owner) Q_EMIT compared(movingPixels(), maxDiff(), lightness());
  return ok;
}

void MotionDetector::initialize(const QImage& picture, qint64 frameTimeUs) {
  const auto detector = FDetector;
  const auto link = FLink;
  const bool had = detector->hasMotion();
  TBitmap bmp(picture);
  detector->initialize(bmp, frameTimeUs);
  if (had && link->owner) Q_EMIT hasMotionChanged(false);
}

bool MotionDetector::feedLuma(const uchar* plane, int width, int height, int pitch, bool fullRange,
                              qint64 frameTimeUs) {
  const auto detector = FDetector;
  const auto link = FLink;
  const bool ok = detector->feedLuma(plane, width, height, pitch, fullRange, frameTimeUs);
  if (ok && link->owner) Q_EMIT compared(movingPixels(), maxDiff(), lightness());
  return ok;
}

void MotionDetector::initializeLuma(const uchar* plane, int width, int height, int pitch, bool fullRange,
                                    qint64 frameTimeUs) {
  const auto detector = FDetector;
  const auto link = FLink;
  const bool had = detector->hasMotion();
  detector->initializeLuma(plane, width, height, pitch, fullRange, frameTimeUs);
  if (had && link->owner) Q_EMIT hasMotionChanged(false);
}

void MotionDetector::reset() {
  const bool had = hasMotion();
  FDetector->reset();
  if (had) Q_EMIT hasMotionChanged(false);
}

QImage MotionDetector::maskImage(bool rePaint, const QImage& base) {
  const auto detector = FDetector;
  TBitmap out = base.isNull() ? TBitmap() : TBitmap(base);
  if (!detector->getImage(out, rePaint)) return QImage();
  return out.Image();
}

}  // namespace kivora::qt
