#pragma once
// TAVPreview: a widget that opens a media file by itself and shows the
// picture of its video stream at a chosen time.
//
// Opening and decoding run on the control's own worker thread (a URL that
// never answers must not freeze the GUI); each result comes back to the GUI
// thread, where the bitmap, the position and the events change. A newer
// request replaces one still waiting, and results of requests made before a
// close are dropped.
#include <QWidget>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "kivora/platform/bitmap.h"
#include "kivora/platform/component.h"
#include "kivora/platform/imagewrap.h"
#include "kivora/runtime/events.h"

class QPainter;
extern "C" {
struct AVFrame;
}

namespace kivora {

class TPreviewDecoder;

// A widget: every method is for the GUI thread, and OnActive and OnError
// arrive there.
class TAVPreview : public QWidget, public TComponent {
  Q_OBJECT
  // Qt properties for Designer's property editor and for forms compiled by
  // uic. uic sets a property X by calling setX(value), hence the lower-case
  // set adapters below.
  Q_PROPERTY(QString InputFile READ InputFileText WRITE setInputFile)
  // Only an active control takes a time, so a form does not store one.
  Q_PROPERTY(double timestamp READ timestamp WRITE setTimestamp STORED false)
  Q_PROPERTY(bool Accurate READ Accurate WRITE setAccurate)
  Q_PROPERTY(kivora::TImageWrapMode WrapMode READ WrapMode WRITE setWrapMode)
  Q_PROPERTY(bool DisableInterpolation READ DisableInterpolation WRITE setDisableInterpolation)
  Q_PROPERTY(int TimeoutMs READ TimeoutMs WRITE setTimeoutMs)

public:
  explicit TAVPreview(QWidget* parent = nullptr, TComponent* owner = nullptr);
  ~TAVPreview() override;

  // The file (or URL) to preview. Changing it closes an open file; the new
  // one opens when Active is set again.
  const std::string& InputFile() const { return FInputFile; }
  void SetInputFile(const std::string& Value);

  // True from a successful open until the file is closed. Setting true
  // starts the open (PreviewImage); OnActive or OnError tells how it ended.
  bool Active() const { return FActive; }
  void SetActive(bool Value);

  // The position in seconds from the start of the video: the requested time
  // until the picture arrives, then the shown picture's own time. Values
  // that are negative, not a number or beyond a known duration are refused;
  // one beyond the duration also shows a message and fires OnError.
  double timestamp() const { return static_cast<double>(Ftimestamp) / 1000000.0; }
  void Settimestamp(double Value);

  // Off (the default): the first picture from the key frame at or before the
  // time, which is fast. On: the picture on screen at that time.
  bool Accurate() const { return FAccurate; }
  void SetAccurate(bool Value) { FAccurate = Value; }

  TImageWrapMode WrapMode() const { return FWrapMode; }
  void SetWrapMode(TImageWrapMode Value);
  // Nine-slice margins in pixels (corners keep their size, the rest
  // stretches); any non-zero margin takes over from WrapMode. Read at the
  // next paint.
  TBounds& BitmapMargins() { return FBitmapMargins; }
  const TBounds& BitmapMargins() const { return FBitmapMargins; }
  // Fit without smoothing; takes effect at the next paint.
  bool DisableInterpolation() const { return FDisableInterpolation; }
  void SetDisableInterpolation(bool Value) { FDisableInterpolation = Value; }
  // Upper bound of an open or a seek on blocking I/O, in milliseconds (10000
  // by default; 0 or less: none). Read when the request is made.
  int TimeoutMs() const { return FTimeoutMs; }
  void SetTimeoutMs(int Value) { FTimeoutMs = Value; }

  QString InputFileText() const { return QString::fromStdString(FInputFile); }
  void setInputFile(const QString& Value) { SetInputFile(Value.toStdString()); }
  void setTimestamp(double Value) { Settimestamp(Value); }
  void setAccurate(bool Value) { SetAccurate(Value); }
  void setWrapMode(TImageWrapMode Value) { SetWrapMode(Value); }
  void setDisableInterpolation(bool Value) { SetDisableInterpolation(Value); }
  void setTimeoutMs(int Value) { SetTimeoutMs(Value); }

  // The open file: duration in seconds (NaN when unknown), frame rate in
  // frames per second (0 when unknown), start time in microseconds, chroma
  // subsampling as log2 of the divisor. All 0 while no file is open.
  double Duration() const { return FDuration; }
  double FrameRate() const { return FFrameRate; }
  int64_t StartTime() const { return FStartTime; }
  int HSub() const { return FHSub; }
  int VSub() const { return FVSub; }
  // Why the last open or seek gave nothing.
  const std::string& LastError() const { return FLastError; }

  // The shown picture, RGBA at the video's size in pixels.
  TBitmap& Bitmap() { return FBitmap; }

  TNotifyEvent OnActive;
  TNotifyEvent OnError;
  // A new picture is shown (an open's or a seek's, or one given to
  // SaveAsBmp): Bitmap() and timestamp() already hold it. GUI thread. The
  // handler must not destroy the control (deleteLater it instead).
  TNotifyEvent OnBitmapChanged;

  // Starts opening InputFile and previewing from its start.
  void PreviewImage();
  // Closes the file at once: pending work is dropped and the worker is
  // interrupted. Inactive afterwards.
  void CloseFile();
  // Copies an RGBA frame's first plane (rows of Width * 4 bytes) into the
  // bitmap and repaints. Width and Height are pixels; a null frame or a size
  // below 1 changes nothing.
  void SaveAsBmp(const AVFrame* Frame, int Width, int Height);

  // Draws the control into any painter whose area is its local rectangle.
  void Paint(QPainter& painter);
  // The bitmap's size in pixels; 320 x 240 without a picture.
  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  struct Job {
    uint64_t generation = 0;
    bool open = false;  // else a seek
    std::string file;
    int64_t target = 0;  // microseconds from the start
    bool accurate = false;
    int timeoutMs = 0;
  };
  struct Result {
    uint64_t generation = 0;
    bool open = false;
    bool opened = false;
    bool shown = false;
    QImage picture;
    int64_t time = 0;  // shown picture, microseconds from the start
    std::string error;
    double duration = 0, frameRate = 0;
    int64_t startTime = 0;
    int hsub = 0, vsub = 0;
  };

  void Post(Job job);
  void WorkerLoop();
  // On the worker: the open of a job, then its first picture.
  Result OpenFile(const Job& job);
  // On the worker: the picture for a job's time.
  void SeekFrame(const Job& job, Result& r);
  void Apply(const Result& r);
  void DoBitmapChanged();
  void StopWorker();

  std::string FInputFile;
  int64_t Ftimestamp = 0;
  TBitmap FBitmap;
  bool FActive = false;
  bool FAccurate = false;
  double FFrameRate = 0;
  int FHSub = 0, FVSub = 0;
  int64_t FStartTime = 0;
  double FDuration = 0;
  bool FDisableInterpolation = false;
  TImageWrapMode FWrapMode = TImageWrapMode::Fit;
  TBounds FBitmapMargins;
  int FTimeoutMs = 10000;
  std::string FLastError;
  void Refuse(const std::string& text);

  // Shared with the worker, under FLock.
  std::mutex FLock;
  std::condition_variable FWake;
  std::optional<Job> FPending;
  bool FBusy = false;
  bool FStop = false;
  uint64_t FGeneration = 0;
  std::unique_ptr<TPreviewDecoder> FDecoder;  // the worker's while it runs a job
  std::thread FWorker;
};

}  // namespace kivora
