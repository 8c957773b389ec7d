#include "kivora/preview/preview.h"

#include <QMetaObject>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "kivora/platform/classes.h"
#include "kivora/platform/message.h"
#include "kivora/preview/preview_decoder.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/avlib.h"

namespace kivora {

TAVPreview::TAVPreview(QWidget* parent, TComponent* owner)
    : QWidget(parent), TComponent(owner), FDecoder(std::make_unique<TPreviewDecoder>()) {
  if (!Designing()) LoadLibs();
}

TAVPreview::~TAVPreview() {
  CloseFile();
  StopWorker();
}

void TAVPreview::SetInputFile(const std::string& Value) {
  FInputFile = Value;
  // An open still on its way belongs to the old name too.
  bool opening;
  {
    std::lock_guard lock(FLock);
    opening = FBusy || FPending.has_value();
  }
  if (FActive || opening) CloseFile();
}

// A request the preview turns down: the user is told (a message box by
// default), and the text reaches LastError and OnError too, so an
// application that silences the boxes still has it.
void TAVPreview::Refuse(const std::string& text) {
  FLastError = text;
  ShowMessage(text);
  const TNotifyEvent handler = OnError;  // it may destroy the preview
  if (handler) handler(this);
}

void TAVPreview::SetActive(bool Value) {
  if (Value == FActive) return;
  if (!Value) {
    CloseFile();
    return;
  }
  if (Designing()) {
    Refuse("You can only set active=true at runtime!");
    return;
  }
  PreviewImage();
}

void TAVPreview::SetWrapMode(TImageWrapMode Value) {
  if (Value == FWrapMode) return;
  FWrapMode = Value;
  update();
}

void TAVPreview::Settimestamp(double Value) {
  // Not a time: NaN, negative, or too large for microseconds.
  if (!(Value >= 0) || Value > 9.2e12) return;
  const auto T = static_cast<int64_t>(Value * 1000000.0);
  if (T == Ftimestamp || !FActive) return;
  if (!std::isnan(FDuration) && Value > FDuration) {
    Refuse("timestamp can not be large than stream duration!");
    return;
  }
  Ftimestamp = T;
  Job job;
  job.target = T;
  job.accurate = FAccurate;
  job.timeoutMs = FTimeoutMs;
  Post(std::move(job));
}

void TAVPreview::PreviewImage() {
  FActive = false;
  Job job;
  job.open = true;
  job.file = FInputFile;
  job.target = Ftimestamp;
  job.accurate = FAccurate;
  job.timeoutMs = FTimeoutMs;
  Post(std::move(job));
}

void TAVPreview::Post(Job job) {
  std::lock_guard lock(FLock);
  job.generation = FGeneration;
  FPending = std::move(job);
  if (!FWorker.joinable()) FWorker = std::thread([this] { WorkerLoop(); });
  FWake.notify_all();
}

void TAVPreview::WorkerLoop() {
  std::unique_lock lock(FLock);
  for (;;) {
    FWake.wait(lock, [this] { return FStop || FPending.has_value(); });
    if (FStop) return;
    const Job job = std::move(*FPending);
    FPending.reset();
    FBusy = true;
    lock.unlock();
    Result r;
    if (job.open) {
      r = OpenFile(job);
    } else {
      r.generation = job.generation;
      SeekFrame(job, r);
    }
    lock.lock();
    FBusy = false;
    FWake.notify_all();
    // Queued on the control itself: a result still waiting when the control
    // is destroyed is dropped with it.
    if (job.generation == FGeneration && !FStop)
      QMetaObject::invokeMethod(this, [this, r] { Apply(r); }, Qt::QueuedConnection);
  }
}

TAVPreview::Result TAVPreview::OpenFile(const Job& job) {
  Result r;
  r.generation = job.generation;
  r.open = true;
  FDecoder->SetTimeoutMs(job.timeoutMs);
  if (!FDecoder->Open(job.file)) {
    r.error = FDecoder->LastError();
    return r;
  }
  r.opened = true;
  r.duration = FDecoder->Duration();
  r.frameRate = FDecoder->FrameRate();
  r.startTime = FDecoder->StartTime();
  r.hsub = FDecoder->HSub();
  r.vsub = FDecoder->VSub();
  SeekFrame(job, r);
  return r;
}

void TAVPreview::SeekFrame(const Job& job, Result& r) {
  FDecoder->SetTimeoutMs(job.timeoutMs);
  TBitmap picture;
  r.time = job.target;
  if (FDecoder->DecodeAt(job.target, job.accurate) && FDecoder->ToBitmap(picture)) {
    r.shown = true;
    r.picture = picture.Image();
    if (FDecoder->PictureTime() != AV_NOPTS_VALUE) r.time = FDecoder->PictureTime();
  } else {
    r.error = FDecoder->LastError();
  }
}

void TAVPreview::Apply(const Result& r) {
  if (r.generation != FGeneration) return;  // asked for before a close
  if (r.open && !r.opened) {
    FLastError = r.error;
    CloseFile();
    if (OnError) OnError(this);
    return;
  }
  if (r.open) {
    FDuration = r.duration;
    FFrameRate = r.frameRate;
    FStartTime = r.startTime;
    FHSub = r.hsub;
    FVSub = r.vsub;
  }
  if (r.shown) {
    FBitmap = TBitmap(r.picture);
    Ftimestamp = r.time;
    DoBitmapChanged();
  } else {
    FLastError = r.error;  // the previous picture stays
  }
  if (r.open) {
    FActive = true;
    if (OnActive) OnActive(this);
  }
}

void TAVPreview::CloseFile() {
  {
    std::unique_lock lock(FLock);
    ++FGeneration;
    FPending.reset();
    if (FBusy) {
      FDecoder->Abort();
      FWake.wait(lock, [this] { return !FBusy; });
    }
    FDecoder->Close();
    FDecoder->ResetAbort();
  }
  FActive = false;
  Ftimestamp = 0;
  FStartTime = 0;
  FDuration = 0;
  FFrameRate = 0;
  FHSub = FVSub = 0;
}

void TAVPreview::StopWorker() {
  {
    std::lock_guard lock(FLock);
    FStop = true;
    FDecoder->Abort();
    FWake.notify_all();
  }
  if (FWorker.joinable()) FWorker.join();
}

void TAVPreview::SaveAsBmp(const AVFrame* Frame, int Width, int Height) {
  if (!Frame || !Frame->data[0] || Width <= 0 || Height <= 0) return;
  FBitmap.SetSize(Width, Height);
  TBitmapData d;
  if (!FBitmap.Map(TMapAccess::Write, d)) return;
  const int pitch = Frame->linesize[0] > 0 ? Frame->linesize[0] : Width * 4;
  av_image_copy_plane(d.Data, d.Pitch, Frame->data[0], pitch, std::min(Width * 4, pitch), Height);
  FBitmap.Unmap(d);
  DoBitmapChanged();
}

void TAVPreview::DoBitmapChanged() {
  updateGeometry();
  update();
  if (OnBitmapChanged) OnBitmapChanged(this);
}

QSize TAVPreview::sizeHint() const {
  return FBitmap.IsEmpty() ? QSize(320, 240) : QSize(FBitmap.Width(), FBitmap.Height());
}

void TAVPreview::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Paint(painter);
}

void TAVPreview::Paint(QPainter& painter) {
  const QRectF local(0, 0, width(), height());
  if (Designing()) DrawDesignBorder(painter, local, 1.0);
  if (FBitmap.IsEmpty()) return;
  const QImage& img = FBitmap.Image();
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  if (!FBitmapMargins.IsEmpty()) {
    DrawNineSlices(painter, img, local, FBitmapMargins);
  } else if (FWrapMode <= TImageWrapMode::Tile) {
    // Centre and Place draw nothing here.
    const QRectF fit = FitRect(QRectF(0, 0, img.width(), img.height()), local);
    DrawWrapped(painter, img, local, FWrapMode, fit, !FDisableInterpolation);
  }
  painter.restore();
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_WIDGET(TAVPreview, "preview control");

}  // namespace kivora
