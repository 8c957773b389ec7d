#pragma once
// Qt-style faces for the preview control and the motion detector, made like
// the player's and the converter's (adapters.h): each adapter owns its
// component, re-emits the component's events as Qt signals with typed
// arguments and shows its main settings as Q_PROPERTYs with change signals.
// The component stays reachable (component()) for everything else.
//
// An adapter may be deleted from a slot connected to any of its signals.
// The preview is then destroyed by the event loop (deleteLater), because
// its own code is still running; the detector when the feed returns.
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <climits>
#include <cstdint>
#include <memory>

#include "kivora/preview/motiondetect.h"
#include "kivora/preview/preview.h"

namespace kivora::qt {

// Owns a TAVPreview, a widget: create it and call it on the GUI thread of a
// QApplication. Every signal comes on the GUI thread. The widget may be put
// into a window (component()); the adapter must then go before the window,
// or it finds the widget gone and has nothing to show.
class Preview : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString inputFile READ inputFile WRITE setInputFile NOTIFY inputFileChanged)
  Q_PROPERTY(bool accurate READ accurate WRITE setAccurate NOTIFY accurateChanged)
  Q_PROPERTY(int timeoutMs READ timeoutMs WRITE setTimeoutMs NOTIFY timeoutMsChanged)
  Q_PROPERTY(double timestamp READ timestamp WRITE setTimestamp NOTIFY timestampChanged)
  Q_PROPERTY(bool active READ active NOTIFY activeChanged)
  Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
  Q_PROPERTY(QImage picture READ picture NOTIFY pictureReady)
  Q_PROPERTY(QString lastError READ lastError NOTIFY errorOccurred)

public:
  explicit Preview(QObject* parent = nullptr);
  ~Preview() override;

  TAVPreview& component() { return *FPreview; }

  // File name or URL. Changing it closes an open file; open() opens it.
  QString inputFile() const;
  void setInputFile(const QString& file);
  // False (the default): the key frame at or before a time, fast; true: the
  // picture on screen at that time.
  bool accurate() const;
  void setAccurate(bool on);
  // Milliseconds an open or a seek may block on I/O; 0 or less: no limit.
  int timeoutMs() const;
  void setTimeoutMs(int ms);
  // Seconds from the start of the video: the asked-for time until its
  // picture arrives, then that picture's own time. Setting it asks for the
  // picture at that time (only while active; a time beyond the duration is
  // refused with errorOccurred, one that is negative or NaN is ignored).
  double timestamp() const;
  void setTimestamp(double seconds);
  // Open, from opened() until close() or a failed open.
  bool active() const;
  // Seconds; NaN when the file does not say, 0 while closed.
  double duration() const;
  // The shown picture, RGBA at the video's own size; null before the first.
  QImage picture() const;
  // The message of the last errorOccurred.
  QString lastError() const { return FLastError; }

public Q_SLOTS:
  // Sets inputFile when file is given, and opens it in the background, at
  // the time of the timestamp property (0 after a close): pictureReady and
  // opened(), or errorOccurred.
  void open(const QString& file = QString());
  // Asks for the picture at this time in seconds (setTimestamp).
  void showTime(double seconds);
  // Closes at once; pictures still on their way are dropped.
  void close();
  // The shown picture scaled to size (smoothly, to exactly that size), or
  // at its own size when size is empty; null when nothing is shown.
  QImage grab(const QSize& size = QSize()) const;

Q_SIGNALS:
  // The file is open (active is true).
  void opened();
  // An open failed or a request was refused; message is also lastError.
  void errorOccurred(const QString& message);
  // A new picture and its time in seconds.
  void pictureReady(const QImage& picture, double seconds);
  void inputFileChanged(const QString& file);
  void accurateChanged(bool on);
  void timeoutMsChanged(int ms);
  void timestampChanged(double seconds);
  void activeChanged(bool active);
  void durationChanged(double seconds);

private:
  struct Link;
  // Emits the change signals of what differs from the last values told;
  // false when a receiver deleted the adapter.
  bool Sync();
  void Picture();
  void Opened();
  void Failed();

  QPointer<TAVPreview> FPreview;
  std::shared_ptr<Link> FLink;
  QString FLastError;
  bool FActive = false;
  double FDuration = 0;
  double FTimestamp = 0;
};

// Owns a TAVMotionDetector. It has no locks: feed it from one thread at a
// time. Each signal comes on the thread that called the slot raising it
// (the feeding thread for all but the setters' change signals); receivers
// on other threads get it queued, as Qt does for any cross-thread signal.
class MotionDetector : public QObject {
  Q_OBJECT
  Q_PROPERTY(int tolerance READ tolerance WRITE setTolerance NOTIFY toleranceChanged)
  Q_PROPERTY(int sensivity READ sensivity WRITE setSensivity NOTIFY sensivityChanged)
  Q_PROPERTY(int detectionSecs READ detectionSecs WRITE setDetectionSecs NOTIFY detectionSecsChanged)
  Q_PROPERTY(ShowMask showMask READ showMask WRITE setShowMask NOTIFY showMaskChanged)
  Q_PROPERTY(bool detectLightness READ detectLightness WRITE setDetectLightness NOTIFY detectLightnessChanged)
  Q_PROPERTY(bool hasMotion READ hasMotion NOTIFY hasMotionChanged)
  Q_PROPERTY(int movingPixels READ movingPixels NOTIFY compared)
  Q_PROPERTY(int maxDiff READ maxDiff NOTIFY compared)
  Q_PROPERTY(int lightness READ lightness NOTIFY compared)

public:
  // What maskImage paints (TShowMask): nothing; every pixel's change, red
  // where it moved and green elsewhere; moving pixels in red; only pixels
  // that began to move in the last frame, in red.
  enum ShowMask { None = smNone, FullMask = smFullMask, Motion = smMotion, MotionNew = smMotionNew };
  Q_ENUM(ShowMask)

  explicit MotionDetector(QObject* parent = nullptr);
  ~MotionDetector() override;

  TAVMotionDetector& component() { return *FDetector; }

  // Moving pixels a frame needs for motion to begin, 10..2147483647 (set
  // values are clamped; default 1000).
  int tolerance() const { return static_cast<int>(FDetector->tolerance()); }
  void setTolerance(int pixels);
  // Change of a colour byte (0..255) that makes a pixel move, 1..255 (clamped;
  // default 32).
  int sensivity() const { return FDetector->sensivity(); }
  void setSensivity(int level);
  // Seconds of media time (or of the clock, for frames without a time)
  // motion lasts at least once begun, 1..5 (clamped; default 3).
  int detectionSecs() const { return FDetector->detectionSecs(); }
  void setDetectionSecs(int seconds);
  ShowMask showMask() const { return static_cast<ShowMask>(FDetector->showMask()); }
  void setShowMask(ShowMask mask);
  // Whether lightness is measured (default on).
  bool detectLightness() const { return FDetector->detectLightness(); }
  void setDetectLightness(bool on);
  // Between motionBegin and motionEnd.
  bool hasMotion() const { return FDetector->hasMotion(); }
  // The last compared frame: moving pixels, the largest change of a pixel
  // (0..255), the average byte (0..255; 0 with detectLightness off).
  int movingPixels() const { return static_cast<int>(FDetector->value()); }
  int maxDiff() const { return FDetector->maxDiff(); }
  int lightness() const { return FDetector->lightness(); }

public Q_SLOTS:
  // Compares the picture (any format; converted to RGBA) with the last one.
  // frameTimeUs is its media time in microseconds; without it the monotonic
  // clock times the motion. False when it could not be compared (smaller
  // than 2 x 2, larger than 65535 x 65535, no memory).
  bool feed(const QImage& picture, qint64 frameTimeUs = INT64_MIN);
  // Takes the first picture to compare the next with, without motionBegin.
  void initialize(const QImage& picture, qint64 frameTimeUs = INT64_MIN);
  // Quiet again (hasMotionChanged if it was not, but no motionEnd).
  void reset();
  // The mask over the last frame (rePaint) or over base, sized to the
  // detector; null when nothing has been compared yet.
  QImage maskImage(bool rePaint = true, const QImage& base = QImage());

public:
  // A decoder's luma plane (8 bits a pixel, rows pitch bytes apart) instead
  // of an RGBA picture; fullRange is false for 16..235 planes. As feed.
  bool feedLuma(const uchar* plane, int width, int height, int pitch, bool fullRange,
                qint64 frameTimeUs = INT64_MIN);
  void initializeLuma(const uchar* plane, int width, int height, int pitch, bool fullRange,
                      qint64 frameTimeUs = INT64_MIN);

Q_SIGNALS:
  // At least tolerance pixels moved.
  void motionBegin();
  // The first quiet frame once detectionSecs have passed since motionBegin.
  void motionEnd();
  void hasMotionChanged(bool motion);
  // After each compared frame (pictures and planes alike), with its figures.
  void compared(int movingPixels, int maxDiff, int lightness);
  // A picture was compared (the component's onFeedFrame), as it was compared.
  void frameFed(const QImage& picture);
  // maskImage painted this (the component's onGetImage).
  void maskPainted(const QImage& image);
  void toleranceChanged(int pixels);
  void sensivityChanged(int level);
  void detectionSecsChanged(int seconds);
  void showMaskChanged(kivora::qt::MotionDetector::ShowMask mask);
  void detectLightnessChanged(bool on);

private:
  struct Link;

  // Shared with a feed in progress, so that the detector outlives an
  // adapter deleted from a signal raised inside it.
  std::shared_ptr<TAVMotionDetector> FDetector;
  std::shared_ptr<Link> FLink;
};

}  // namespace kivora::qt
