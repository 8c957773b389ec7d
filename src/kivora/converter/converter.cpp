// The converter component: its worker thread, the state machine with pause,
// resume and stop, the shared semaphore, progress figures and events.
#include "kivora/converter/converter.h"

#include <cmath>

#include "kivora/converter/transcoder.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/message.h"
#include "kivora/runtime/avlib.h"

namespace kivora {

std::mutex& AVMutex() {
  static std::mutex m;
  return m;
}

// Shared by the component and its worker: lets the worker end after the
// component is gone (destroyed from OnComplete) without touching it.
struct TAVConverter::TControl {
  std::mutex lock;
  TAVConverter* owner = nullptr;
  std::atomic<bool> inputAbort{false};   // Stop or destruction: blocking reads end
  std::atomic<bool> outputAbort{false};  // destruction only: writes end
  std::atomic<bool> inFinalEvent{false};
  // The thread that runs OnComplete (the worker, or the GUI thread for it).
  std::atomic<std::thread::id> eventThread{};
  std::atomic<bool> finished{false};  // the worker has returned from its last event
  std::thread::id worker;
  // Called from the final event's own handler: the worker must not be
  // waited for, since it waits for this very call to return. Any other
  // thread waits for the worker, so the handler never runs on a converter
  // that is being destroyed under it.
  bool InOwnFinalEvent() const { return inFinalEvent && eventThread.load() == std::this_thread::get_id(); }
};

TAVConverter::TAVConverter(TComponent* AOwner) : TComponent(AOwner) {
  if (!Designing()) LoadLibs();
}

// How long a destructor waits for a stopped conversion to end its files before
// it abandons blocking reads and writes.
constexpr int kDestroyGraceMs = 2000;

TAVConverter::~TAVConverter() {
  std::shared_ptr<TControl> control = FControl;
  if (control) {
    Stop();
    const bool onWorker = std::this_thread::get_id() == control->worker;
    if (!onWorker && !control->InOwnFinalEvent()) {
      // Let the worker finish its files; its events may need the GUI thread
      // meanwhile. A worker stuck in a write to an output that takes nothing
      // (a stalled network peer) never comes back to see the stop: after a
      // grace period its blocking reads and writes are abandoned.
      if (!WaitFor(kDestroyGraceMs)) {
        control->inputAbort = true;
        control->outputAbort = true;
        WaitFor(-1);
      }
    } else {
      control->inputAbort = true;
      control->outputAbort = true;
    }
    {
      std::lock_guard<std::mutex> lock(control->lock);
      control->owner = nullptr;
    }
  }
  ReapWorker();
  ThreadMap().RemoveLogger(this);
}

void TAVConverter::ReapWorker() {
  if (!FThread.joinable()) return;
  std::shared_ptr<TControl> control = FControl;
  const bool onWorker = control && std::this_thread::get_id() == control->worker;
  // Called from the worker's own final event (directly, or on the GUI thread
  // while the worker waits for it): the worker ends by itself and touches
  // only the shared control block.
  if (onWorker || (control && control->InOwnFinalEvent())) {
    FThread.detach();
    return;
  }
  // The worker may be about to hand OnComplete to the GUI thread: keep
  // running those calls while waiting, or both threads would wait for ever.
  if (control && MainThread::HasGuiThread() && MainThread::IsMainThread())
    while (!control->finished) MainThread::CheckSynchronize(10);
  FThread.join();
}

TAVConvertState TAVConverter::State() const {
  std::lock_guard<std::mutex> lock(FStateLock);
  return FState;
}

void TAVConverter::SetState(TAVConvertState s) {
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    FState = s;
  }
  FStateCond.notify_all();
}

void TAVConverter::Convert(TSemaphore* ASem) {
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    if (FState != csNone) throw Exception("A conversion is already running");
  }
  ReapWorker();
  Reset();
  {
    std::lock_guard<std::mutex> lock(FFigureLock);
    FErrorMsg.clear();
    FLastErrorMessage.clear();
    FConvertedDuration = 0;
    FDuration = 0;
    FTargetFileSize = FSourceFileSize = 0;
    FBitrate = 0;
    FAudioSize = 0;
    FFinished = false;
    FSourceSizes.clear();
  }
  FVideoBufferCount = 0;
  auto control = std::make_shared<TControl>();
  control->owner = this;
  FControl = control;
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    FSem = ASem;
    FState = csRunning;
  }
  try {
    FThread = std::thread([this, control] { Execute(control); });
  } catch (const std::exception&) {
    SetState(csNone);
    throw Exception("Could not start the conversion thread");
  }
  control->worker = FThread.get_id();
}

void TAVConverter::Stop() {
  std::lock_guard<std::mutex> lock(FStateLock);
  if (FState == csRunning || FState == csPaused || FState == csWaiting) {
    FState = csStopped;
    if (FControl) FControl->inputAbort = true;
  }
  FStateCond.notify_all();
}

void TAVConverter::Pause() {
  std::lock_guard<std::mutex> lock(FStateLock);
  if (FState == csRunning) FState = csPaused;
  FStateCond.notify_all();
}

void TAVConverter::Resume() {
  std::lock_guard<std::mutex> lock(FStateLock);
  if (FState == csPaused) FState = csRunning;
  FStateCond.notify_all();
}

bool TAVConverter::WaitFor(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool gui = MainThread::HasGuiThread() && MainThread::IsMainThread();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FStateLock);
      if (FState == csNone) return true;
      if (!gui) {
        if (timeoutMs < 0)
          FStateCond.wait_for(lock, std::chrono::milliseconds(50));
        else if (FStateCond.wait_until(lock, deadline) == std::cv_status::timeout)
          return FState == csNone;
        continue;
      }
    }
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return State() == csNone;
    MainThread::CheckSynchronize(10);
  }
}

void TAVConverter::Reset() {
  std::lock_guard<std::mutex> lock(FFigureLock);
  FVideoSize = 0;
  timer_start = 0;
  last_time = 0;
  FConvertedDuration = 0;
  FLastProgressEvent = 0;
}

// ---- worker side ----

bool TAVConverter::AcquireSemaphore() {
  TSemaphore* sem;
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    sem = FSem;
    if (!sem) return FState != csStopped;
    if (FState == csStopped) return false;
    FState = csWaiting;
  }
  for (;;) {
    if (sem->WaitFor(20)) {
      std::lock_guard<std::mutex> lock(FStateLock);
      FHoldsSlot = true;
      if (FState == csStopped) return false;
      FState = csRunning;
      return true;
    }
    std::lock_guard<std::mutex> lock(FStateLock);
    if (FState == csStopped) return false;
  }
}

void TAVConverter::ReleaseSemaphore() {
  TSemaphore* sem;
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    sem = FSem;
    if (!FHoldsSlot || !sem) return;
    FHoldsSlot = false;
  }
  sem->Release();
}

bool TAVConverter::CheckPauseAndStop() {
  std::unique_lock<std::mutex> lock(FStateLock);
  if (FState == csPaused) {
    // Another converter may run while this one is paused.
    if (FHoldsSlot && FSem) {
      FHoldsSlot = false;
      FSem->Release();
    }
    FStateCond.wait(lock, [this] { return FState != csPaused; });
    if (FState == csRunning && FSem) {
      TSemaphore* sem = FSem;
      for (;;) {
        lock.unlock();
        const bool got = sem->WaitFor(20);
        lock.lock();
        if (got) {
          FHoldsSlot = true;
          break;
        }
        if (FState == csStopped) break;
      }
    }
  }
  return FState != csStopped;
}

void TAVConverter::Dispatch(const std::function<void()>& fn) {
  if (FConvertOptions.Synchronous() || !MainThread::HasGuiThread())
    fn();
  else
    MainThread::Synchronize(fn);
}

void TAVConverter::RaiseError(const std::string& msg) {
  {
    std::lock_guard<std::mutex> lock(FFigureLock);
    FErrorMsg = msg;
  }
  try {
    DoError();
  } catch (const std::exception& e) {
    av_log(nullptr, AV_LOG_ERROR, "OnError: %s\n", e.what());
  } catch (...) {
  }
}

void TAVConverter::Execute(std::shared_ptr<TControl> control) {
  {
    TThreadLoggerGuard logger(this);
    ConvertAV(control);
  }
  // The conversion is over: the slot is back, the state is csNone. From here
  // on only the control block is touched, so OnComplete may destroy the
  // converter or start the next conversion.
  const bool direct = FConvertOptions.Synchronous() || !MainThread::HasGuiThread();
  control->inFinalEvent = true;
  std::function<void()> complete = [control] {
    TAVConverter* self;
    {
      std::lock_guard<std::mutex> lock(control->lock);
      self = control->owner;
      control->eventThread = std::this_thread::get_id();
    }
    if (self) self->DoConvertComplete();
  };
  try {
    if (direct)
      complete();
    else
      MainThread::Synchronize(complete);
  } catch (...) {
  }
  control->finished = true;
}

void TAVConverter::ConvertAV(std::shared_ptr<TControl> control) {
  std::unique_ptr<TAVTranscoder> t;
  std::string error;
  bool stoppedWaiting = false;
  try {
    if (FInputFiles.Empty()) Fail("At least one input file must be specified");
    if (FOutputFiles.Empty()) Fail("At least one output file must be specified");
    const std::string fmt = Trim(FConvertOptions.OutputFormat());
    if (!fmt.empty() && !av_guess_format(fmt.c_str(), nullptr, nullptr))
      Fail(Format("Unknown Output format %s", FConvertOptions.OutputFormat().c_str()));
    if (!AcquireSemaphore()) {
      stoppedWaiting = true;
    } else {
      t = std::make_unique<TAVTranscoder>(*this, control->inputAbort, control->outputAbort);
      t->OpenAll();
      t->transcode();
    }
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unexpected error";
  }
  try {
    t.reset();  // frees every file, stream, graph and thread of the conversion
  } catch (...) {
  }
  if (stoppedWaiting) {
    try {
      DoStop();
    } catch (...) {
    }
  }
  if (!error.empty()) {
    // A run abandoned by the destructor fails because of the abort itself;
    // the application asked for the end, so it gets no error (and no
    // message box) for it.
    if (control->outputAbort)
      av_log(nullptr, AV_LOG_WARNING, "Conversion abandoned: %s\n", error.c_str());
    else
      RaiseError(error);
  }
  ReleaseSemaphore();
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    FSem = nullptr;
    FState = csNone;
  }
  FStateCond.notify_all();
}

void TAVTranscoder::OpenAll() {
  CheckOptions();
  ApplyAdvancedOptions(Opt.InputOptions());
  for (int i = 0; i < C.InputFiles().Count(); ++i) open_input_file(i);
  opt_map();
  // Each conversion starts from the options alone: derived values are never
  // written back into the application's option lists.
  TStringList out;
  out.Assign(Opt.OutputOptions());
  if (Opt.ThreadCount() != 1) TAVConvertOptions::SetOption("threads", std::to_string(Opt.ThreadCount()), out);
  for (int i = 0; i < Opt.FilterOptions().ComplexFilters().Count(); ++i)
    opt_filter_complex(Opt.FilterOptions().ComplexFilters()[i]);
  ApplyAdvancedOptions(out);
  ApplyTSScale();
  if (configure_complex_filters() < 0) Fail("Error configuring filters.");
  check_labelled_outputs();
  for (int i = 0; i < C.OutputFiles().Count(); ++i) open_output_file(i);
  // Unlabelled outputs all go to the first file; a labelled one is left
  // over when every file that names it has that media type switched off.
  for (auto& fg : filtergraphs)
    for (auto& of : fg->outputs)
      if (!of->ost)
        Fail(Format("Filter output %s is not connected to any output stream",
                    of->label.empty() ? "(unlabelled)" : of->label.c_str()));
}

// ---- figures ----

double TAVConverter::ProgressPercent() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  if (FFinished) return 100;
  const double S = static_cast<double>(FConvertOptions.StartTime());
  const double R = FConvertOptions.RecordingTime() == 0 ? 9.2e18 : static_cast<double>(FConvertOptions.RecordingTime());
  const double D = FDuration;
  double p;
  if (S <= 0 && D * 1e6 <= R) {
    p = D <= 0 ? 0 : FConvertedDuration / D * 100;
  } else {
    // Measured from the start position, over what is left of the input or
    // the recording time, whichever is shorter.
    const double den = std::min(std::round(D * 1e6) - S, R);
    p = den > 0 ? FConvertedDuration * 100 * 1e6 / den : 0;
  }
  if (!std::isfinite(p) || p < 0) p = 0;
  // 100 is for a conversion that has ended complete: while the last pictures
  // are flushed and the trailers written, the figure stays below it.
  return std::min(p, 99.9);
}

// Whole percents reached, so a progress bar shows 100 only at the end.
int TAVConverter::GetProgress() const { return static_cast<int>(std::floor(ProgressPercent())); }

double TAVConverter::ConvertedDuration() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FConvertedDuration;
}
double TAVConverter::Duration() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FDuration;
}
int64_t TAVConverter::TargetFileSize() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FTargetFileSize;
}
int64_t TAVConverter::SourceFileSize() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FSourceFileSize;
}
double TAVConverter::Bitrate() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FBitrate;
}
int64_t TAVConverter::VideoSize() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FVideoSize;
}
int64_t TAVConverter::LastTime() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return last_time;
}

int64_t TAVConverter::GetUsedTime() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  if (!timer_start || last_time < timer_start) return 0;
  return (last_time - timer_start) / 1000000;
}

int64_t TAVConverter::GetLeftTime() const {
  const double p = ProgressPercent();
  if (p <= 0 || GetProgress() <= 0) return 362439;
  int64_t start, last;
  {
    std::lock_guard<std::mutex> lock(FFigureLock);
    start = timer_start;
    last = last_time;
  }
  // Microseconds, up to now while the conversion runs: whole seconds of used
  // time would make the estimate jump.
  const int64_t now = State() == csNone ? last : av_gettime_relative();
  if (!start || now < start) return 0;
  return static_cast<int64_t>(static_cast<double>(now - start) * (100 - p) / p / 1e6);
}

int64_t TAVConverter::GetSourceFileSize(int index) const {
  // The worker adds each input's size here, under this lock, as it opens it.
  std::lock_guard<std::mutex> lock(FFigureLock);
  if (index < 0 || index >= static_cast<int>(FSourceSizes.size())) return 0;
  return FSourceSizes[static_cast<size_t>(index)];
}

std::string TAVConverter::LastErrorMessage() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FLastErrorMessage;
}

void TAVConverter::SetLastErrorMessage(const std::string& Value) {
  std::lock_guard<std::mutex> lock(FFigureLock);
  FLastErrorMessage = Value;
}

void TAVConverter::DoLog(int level, const std::string& text) {
  if (level <= AV_LOG_ERROR) SetLastErrorMessage(text);
  TAVLogEvent handler = OnLog;
  if (!handler) return;
  try {
    handler(this, level, text);
  } catch (...) {
    // A log handler's failure must not reach FFmpeg's logging call.
  }
}

// ---- events ----

void TAVConverter::DoProgress(bool last) {
  if (!OnProgress) return;
  const int64_t now = av_gettime_relative();
  {
    std::lock_guard<std::mutex> lock(FFigureLock);
    // At most ten events a second: each is a round trip to the GUI thread.
    if (!last && FLastProgressEvent && now - FLastProgressEvent < 100000) return;
    FLastProgressEvent = now;
  }
  Dispatch([this] {
    try {
      if (OnProgress) OnProgress(this);
    } catch (const Exception& e) {
      ShowMessage(e.what());
    }
  });
}

void TAVConverter::DoStop() {
  Dispatch([this] {
    if (OnStopped) OnStopped(this);
  });
}

void TAVConverter::DoError() {
  std::string msg, log;
  {
    std::lock_guard<std::mutex> lock(FFigureLock);
    msg = FErrorMsg;
    log = FLastErrorMessage;
  }
  bool handled = false;
  Dispatch([&] {
    if (OnError) OnError(this, msg, log, handled);
  });
  if (!handled) {
    const std::string text = Format("%s:%s", msg.c_str(), log.c_str());
    // Message boxes belong to the GUI thread.
    if (MainThread::HasGuiThread())
      MainThread::Queue([text] { ShowMessage(text); });
    else
      ShowMessage(text);
  }
}

void TAVConverter::DoVideoBuffer(TAVBitmap& Bitmap, double timeStamp) {
  FBufferModified = false;
  if (!OnVideoBuffer) return;
  bool modified = false;
  Dispatch([&] { OnVideoBuffer(this, Bitmap, timeStamp, modified); });
  FBufferModified = modified;
}

void TAVConverter::DoConvertComplete() {
  // A copy: the handler may destroy the converter, and with it OnComplete.
  const TNotifyEvent handler = OnComplete;
  try {
    if (handler) handler(this);
  } catch (...) {
  }
}

}  // namespace kivora
