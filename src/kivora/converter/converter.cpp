// The converter component: its worker thread, the state machine with pause,
// resume and stop, the shared semaphore, progress figures and events.
#include "kivora/converter/converter.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "kivora/converter/run.h"
#include "kivora/converter/transcoder.h"
#include "kivora/platform/classes.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/message.h"
#include "kivora/runtime/avlib.h"

namespace kivora {

std::mutex& AVMutex() {
  static std::mutex m;
  return m;
}

// ---- the run: the worker's side, shared with the converter ----

bool TConvertRun::Call(const std::function<void(TAVConverter&)>& call) {
  TAVConverter* self;
  const std::thread::id me = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(FOwnerLock);
    self = FOwner;
    if (!self) return false;
    FHandlerThreads.push_back(me);
  }
  std::exception_ptr error;
  try {
    call(*self);
  } catch (...) {
    error = std::current_exception();
  }
  bool alive;
  {
    std::lock_guard<std::mutex> lock(FOwnerLock);
    FHandlerThreads.erase(std::find(FHandlerThreads.begin(), FHandlerThreads.end(), me));
    alive = FOwner != nullptr;
  }
  if (error) std::rethrow_exception(error);
  return alive;
}

bool TConvertRun::Raise(const std::function<void(TAVConverter&)>& call) {
  if (direct) return Call(call);
  if (!Attached()) return false;
  // The worker waits here for the GUI thread; if the converter is destroyed
  // meanwhile (by this handler or another), the call finds no owner.
  MainThread::Synchronize([this, &call] { Call(call); });
  return Attached();
}

bool TConvertRun::RaiseHere(const std::function<void(TAVConverter&)>& call) { return Call(call); }

bool TConvertRun::Detach() {
  std::lock_guard<std::mutex> lock(FOwnerLock);
  FOwner = nullptr;
  const std::thread::id me = std::this_thread::get_id();
  return me == worker || std::find(FHandlerThreads.begin(), FHandlerThreads.end(), me) != FHandlerThreads.end();
}

bool TConvertRun::Attached() const {
  std::lock_guard<std::mutex> lock(FOwnerLock);
  return FOwner != nullptr;
}

bool TConvertRun::InHandler() const {
  std::lock_guard<std::mutex> lock(FOwnerLock);
  return std::find(FHandlerThreads.begin(), FHandlerThreads.end(), std::this_thread::get_id()) !=
         FHandlerThreads.end();
}

TAVConvertState TConvertRun::State() const {
  std::lock_guard<std::mutex> lock(FStateLock);
  return FState;
}

void TConvertRun::SetState(TAVConvertState s) {
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    FState = s;
  }
  FStateCond.notify_all();
  MainThread::WakeWaiter();
}

void TConvertRun::Stop() {
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    if (FState == csRunning || FState == csPaused || FState == csWaiting) {
      FState = csStopped;
      inputAbort = true;
    }
  }
  FStateCond.notify_all();
}

bool TConvertRun::AcquireSemaphore() {
  TSemaphore* sem;
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    sem = FSem;
    if (!sem) return FState != csStopped;
    if (FState == csStopped) return false;
    FState = csWaiting;
  }
  // A wait is said in the log (and State reads csWaiting), so that one that
  // never ends, a semaphore without free slots, is visible.
  const auto since = std::chrono::steady_clock::now();
  auto nextNote = since + std::chrono::seconds(10);
  bool said = false;
  for (;;) {
    if (sem->WaitFor(20)) {
      std::lock_guard<std::mutex> lock(FStateLock);
      FHoldsSlot = true;
      if (FState == csStopped) return false;
      FState = csRunning;
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(FStateLock);
      if (FState == csStopped) return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!said) {
      av_log(nullptr, AV_LOG_INFO, "Waiting for a free conversion slot\n");
      said = true;
    } else if (now >= nextNote) {
      av_log(nullptr, AV_LOG_WARNING, "Still waiting for a free conversion slot after %lld s\n",
             static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now - since).count()));
      nextNote = now + std::chrono::seconds(10);
    }
  }
}

void TConvertRun::ReleaseSemaphore() {
  TSemaphore* sem;
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    sem = FSem;
    if (!FHoldsSlot || !sem) return;
    FHoldsSlot = false;
  }
  sem->Release();
}

bool TConvertRun::CheckPauseAndStop() {
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

bool TConvertRun::WaitFor(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool gui = MainThread::HasGuiThread() && MainThread::IsMainThread();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FStateLock);
      // Done once the worker has raised its last event (or, before any run,
      // when the state is idle).
      if (FState == csNone && (finished || worker == std::thread::id())) return true;
      if (!gui) {
        if (timeoutMs < 0)
          FStateCond.wait_for(lock, std::chrono::milliseconds(20));
        else if (FStateCond.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                                     std::chrono::milliseconds(20))) ==
                     std::cv_status::timeout &&
                 std::chrono::steady_clock::now() >= deadline)
          return FState == csNone && finished;
        continue;
      }
    }
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
    MainThread::CheckSynchronize(10);
  }
}

void TConvertRun::DoProgress(bool last) {
  if (!Attached()) return;
  const int64_t now = av_gettime_relative();
  {
    std::lock_guard<std::mutex> lock(FFigureLock);
    // At most ten events a second: each is a round trip to the GUI thread.
    if (!last && FLastProgressEvent && now - FLastProgressEvent < 100000) return;
    FLastProgressEvent = now;
  }
  Raise([](TAVConverter& c) { c.DoProgress(); });
}

void TConvertRun::DoStop() {
  stopRaised = true;
  Raise([](TAVConverter& c) { c.DoStop(); });
}

void TConvertRun::DoVideoBuffer(TAVBitmap& Bitmap, double timeStamp) {
  FBufferModified = false;
  Raise([&](TAVConverter& c) { c.DoVideoBuffer(Bitmap, timeStamp); });
}

bool TConvertRun::HasVideoBuffer() const {
  std::lock_guard<std::mutex> lock(FOwnerLock);
  return FOwner && FOwner->OnVideoBuffer;
}

bool TConvertRun::HasAudioBuffer() const {
  std::lock_guard<std::mutex> lock(FOwnerLock);
  return FOwner && FOwner->OnAudioBuffer;
}

bool TConvertRun::HasVideoStats() const {
  std::lock_guard<std::mutex> lock(FOwnerLock);
  return FOwner && FOwner->OnVideoStats;
}

void TConvertRun::RaiseAudioBuffer(void* data, int size) {
  try {
    RaiseHere([&](TAVConverter& c) {
      const TAVOnAudioBufferEvent handler = c.OnAudioBuffer;
      if (handler) handler(&c, data, size);
    });
  } catch (const std::exception& e) {
    av_log(nullptr, AV_LOG_ERROR, "OnAudioBuffer: %s\n", e.what());
  } catch (...) {
    av_log(nullptr, AV_LOG_ERROR, "OnAudioBuffer raised an unknown exception\n");
  }
}

void TConvertRun::RaiseVideoStats(int w, int h, double rate, double avg, int frame, double elapse) {
  try {
    RaiseHere([&](TAVConverter& c) {
      const TAVVideoStatsEvent handler = c.OnVideoStats;
      if (handler) handler(&c, w, h, rate, avg, frame, elapse);
    });
  } catch (const std::exception& e) {
    av_log(nullptr, AV_LOG_ERROR, "OnVideoStats: %s\n", e.what());
  } catch (...) {
    av_log(nullptr, AV_LOG_ERROR, "OnVideoStats raised an unknown exception\n");
  }
}

std::string TConvertRun::LastErrorMessage() const {
  std::lock_guard<std::mutex> lock(FFigureLock);
  return FLastErrorMessage;
}

void TConvertRun::DoLog(int level, const std::string& text) {
  if (level <= AV_LOG_ERROR) {
    std::lock_guard<std::mutex> lock(FFigureLock);
    FLastErrorMessage = text;
  }
  try {
    RaiseHere([&](TAVConverter& c) { c.DoLog(level, text); });
  } catch (...) {
    // A log handler's failure must not reach FFmpeg's logging call.
  }
}

// ---- workers nobody can wait for where they were let go ----

namespace {

class TOrphanWorkers {
public:
  void Add(std::thread t, std::shared_ptr<TConvertRun> run) {
    std::vector<std::thread> done;
    {
      std::lock_guard<std::mutex> lock(FLock);
      TakeFinishedLocked(done);
      FList.push_back({std::move(t), std::move(run)});
    }
    for (auto& d : done) d.join();
  }
  ~TOrphanWorkers() {
    std::vector<Entry> all;
    {
      std::lock_guard<std::mutex> lock(FLock);
      all.swap(FList);
    }
    for (auto& e : all) {
      e.run->outputAbort = true;
      e.run->inputAbort = true;
      e.run->Stop();
      if (e.thread.get_id() == std::this_thread::get_id())
        e.thread.detach();
      else
        e.thread.join();
    }
  }

private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<TConvertRun> run;
  };
  // Workers that have raised their last event end at once: joining them
  // costs nothing. A worker never joins itself.
  void TakeFinishedLocked(std::vector<std::thread>& done) {
    for (auto it = FList.begin(); it != FList.end();) {
      if (it->run->finished && it->thread.get_id() != std::this_thread::get_id()) {
        done.push_back(std::move(it->thread));
        it = FList.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::mutex FLock;
  std::vector<Entry> FList;
};

TOrphanWorkers& Orphans() {
  static TOrphanWorkers orphans;
  return orphans;
}

}  // namespace

void AdoptOrphanWorker(std::thread thread, std::shared_ptr<TConvertRun> run) {
  if (thread.joinable()) Orphans().Add(std::move(thread), std::move(run));
}

// ---- the component ----

TAVConverter::TAVConverter(TComponent* AOwner) : TComponent(AOwner), FRun(std::make_shared<TConvertRun>()) {
  if (!Designing()) LoadLibs();
  Orphans();  // made before any converter, so it outlives them all
}

// How long a destructor waits for a stopped conversion to end its files before
// it abandons blocking reads and writes.
constexpr int kDestroyGraceMs = 2000;

TAVConverter::~TAVConverter() {
  ThreadMap().RemoveLogger(this);
  std::shared_ptr<TConvertRun> run = Run();
  // From here on no event reaches this converter.
  const bool fromHandler = run->Detach();
  run->Stop();
  if (FThread.joinable()) {
    if (fromHandler) {
      // The worker is running (or waiting for) the very handler that
      // destroys us: it ends the run by itself, writing the trailers.
      AdoptOrphanWorker(std::move(FThread), run);
    } else {
      // Let the worker finish its files. A worker stuck in a write to an
      // output that takes nothing (a stalled network peer) never comes back
      // to see the stop: after a grace period its blocking reads and writes
      // are abandoned.
      if (!run->WaitFor(kDestroyGraceMs)) {
        run->inputAbort = true;
        run->outputAbort = true;
        run->WaitFor(-1);
      }
      FThread.join();
    }
  }
}

std::shared_ptr<TConvertRun> TAVConverter::Run() const {
  std::lock_guard<std::mutex> lock(FRunLock);
  return FRun;
}

void TAVConverter::SetLogLevel(TAVLogLevel Value) {
  FLogLevel = Value;
  Run()->logLevel = Value;
}

void TAVConverter::ReapWorker() {
  if (!FThread.joinable()) return;
  std::shared_ptr<TConvertRun> run = Run();
  if (std::this_thread::get_id() == run->worker || run->InHandler()) {
    AdoptOrphanWorker(std::move(FThread), run);
    return;
  }
  // The worker may be about to hand OnComplete to the GUI thread: keep
  // running those calls while waiting, or both threads would wait for ever.
  run->WaitFor(-1);
  FThread.join();
}

TAVConvertState TAVConverter::State() const { return Run()->State(); }

void TAVConverter::Convert(TSemaphore* ASem) {
  if (State() != csNone) throw Exception("A conversion is already running");
  ReapWorker();
  auto run = std::make_shared<TConvertRun>();
  run->options.CopyAll(FConvertOptions);
  run->inputs.Assign(FInputFiles);
  run->outputs.Assign(FOutputFiles);
  run->passLogFile = FPassLogFile;
  run->videoBufferEventInterval = FVideoBufferEventInterval;
  run->direct = FConvertOptions.Synchronous() || !MainThread::HasGuiThread();
  run->logLevel = FLogLevel.load();
  run->FOwner = this;
  run->FSem = ASem;
  run->FState = csRunning;
  {
    std::lock_guard<std::mutex> lock(FRunLock);
    FRun = run;
  }
  try {
    // The worker id is known before the thread runs any of the run's code.
    std::lock_guard<std::mutex> lock(run->FStateLock);
    FThread = std::thread([run] { Execute(run); });
    run->worker = FThread.get_id();
  } catch (const std::exception&) {
    run->SetState(csNone);
    run->finished = true;
    throw Exception("Could not start the conversion thread");
  }
}

void TAVConverter::Stop() { Run()->Stop(); }

void TAVConverter::Pause() {
  auto run = Run();
  {
    std::lock_guard<std::mutex> lock(run->FStateLock);
    if (run->FState == csRunning) run->FState = csPaused;
  }
  run->FStateCond.notify_all();
}

void TAVConverter::Resume() {
  auto run = Run();
  {
    std::lock_guard<std::mutex> lock(run->FStateLock);
    if (run->FState == csPaused) run->FState = csRunning;
  }
  run->FStateCond.notify_all();
}

bool TAVConverter::WaitFor(int timeoutMs) {
  // The state is csNone before the last event; waiting from that event's
  // own handler ends there.
  auto run = Run();
  if (run->InHandler() || std::this_thread::get_id() == run->worker) {
    return run->State() == csNone;
  }
  return run->WaitFor(timeoutMs);
}

void TAVConverter::Reset() {
  auto run = Run();
  std::lock_guard<std::mutex> lock(run->FFigureLock);
  run->FVideoSize = 0;
  run->timer_start = 0;
  run->last_time = 0;
  run->FConvertedDuration = 0;
  run->FGraphInputsShare = -1;
  run->FLastProgressEvent = 0;
}

// ---- worker side ----

void TAVConverter::RaiseError(TConvertRun& run, const std::string& msg) {
  {
    std::lock_guard<std::mutex> lock(run.FFigureLock);
    run.FErrorMsg = msg;
  }
  try {
    run.Raise([](TAVConverter& c) { c.DoError(); });
  } catch (const std::exception& e) {
    av_log(nullptr, AV_LOG_ERROR, "OnError: %s\n", e.what());
  } catch (...) {
  }
}

void TAVConverter::Execute(std::shared_ptr<TConvertRun> run) {
  {
    // Wait until Convert has recorded the worker's id.
    std::lock_guard<std::mutex> lock(run->FStateLock);
  }
  {
    TThreadLoggerGuard logger(run.get());
    ConvertAV(*run);
  }
  // The conversion is over: the slot is back, the state is csNone, so
  // OnComplete may destroy the converter or start the next conversion.
  try {
    run->Raise([](TAVConverter& c) { c.DoConvertComplete(); });
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(run->FStateLock);
    run->finished = true;
  }
  run->FStateCond.notify_all();
  MainThread::WakeWaiter();
}

void TAVConverter::ConvertAV(TConvertRun& run) {
  std::unique_ptr<TAVTranscoder> t;
  std::string error;
  bool stoppedWaiting = false;
  try {
    if (run.inputs.Empty()) Fail("At least one input file must be specified");
    if (run.outputs.Empty()) Fail("At least one output file must be specified");
    const std::string fmt = Trim(run.options.OutputFormat());
    if (!fmt.empty() && !av_guess_format(fmt.c_str(), nullptr, nullptr))
      Fail(Format("Unknown Output format %s", run.options.OutputFormat().c_str()));
    if (!run.AcquireSemaphore()) {
      stoppedWaiting = true;
    } else {
      t = std::make_unique<TAVTranscoder>(run);
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
  // A failure that comes from the stop itself (an input interrupted while
  // it opened, a read cut off) is the stop the application asked for.
  const bool stopped = stoppedWaiting || run.State() == csStopped;
  if (!error.empty() && stopped) {
    av_log(nullptr, AV_LOG_VERBOSE, "Conversion stopped: %s\n", error.c_str());
    error.clear();
  }
  if (stopped && !run.stopRaised) {
    try {
      run.DoStop();
    } catch (...) {
    }
  }
  if (!error.empty()) {
    // A run abandoned by the destructor fails because of the abort itself;
    // the application asked for the end, so it gets no error (and no
    // message box) for it.
    if (run.outputAbort || !run.Attached())
      av_log(nullptr, AV_LOG_WARNING, "Conversion abandoned: %s\n", error.c_str());
    else
      RaiseError(run, error);
  }
  run.ReleaseSemaphore();
  {
    std::lock_guard<std::mutex> lock(run.FStateLock);
    run.FSem = nullptr;
    run.FState = csNone;
  }
  run.FStateCond.notify_all();
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
  auto run = Run();
  std::lock_guard<std::mutex> lock(run->FFigureLock);
  if (run->FFinished) return 100;
  const TAVConvertOptions& o = run->options;
  const double S = static_cast<double>(o.StartTime());
  const double R = o.RecordingTime() == 0 ? 9.2e18 : static_cast<double>(o.RecordingTime());
  const double D = run->FDuration;
  const double done = run->FConvertedDuration;
  double p;
  if (S <= 0 && R > 9e18 && run->FGraphInputsShare >= 0) {
    // A graph of several inputs: its own output length is not known ahead,
    // but how much of its inputs has been read is.
    p = run->FGraphInputsShare * 100;
  } else if (S <= 0 && D * 1e6 <= R) {
    p = D <= 0 ? 0 : done / D * 100;
  } else {
    // Measured from the start position, over what is left of the input or
    // the recording time, whichever is shorter.
    const double den = std::min(std::round(D * 1e6) - S, R);
    p = den > 0 ? done * 100 * 1e6 / den : 0;
  }
  if (!std::isfinite(p) || p < 0) p = 0;
  // 100 is for a conversion that has ended complete: while the last pictures
  // are flushed and the trailers written, the figure stays below it.
  return std::min(p, 99.9);
}

// Whole percents reached, so a progress bar shows 100 only at the end.
int TAVConverter::GetProgress() const { return static_cast<int>(std::floor(ProgressPercent())); }

#define KIVORA_FIGURE(type, name, field)             \
  type TAVConverter::name() const {                  \
    auto run = Run();                                \
    std::lock_guard<std::mutex> lock(run->FFigureLock); \
    return run->field;                               \
  }
KIVORA_FIGURE(double, ConvertedDuration, FConvertedDuration)
KIVORA_FIGURE(double, Duration, FDuration)
KIVORA_FIGURE(int64_t, TargetFileSize, FTargetFileSize)
KIVORA_FIGURE(int64_t, SourceFileSize, FSourceFileSize)
KIVORA_FIGURE(double, Bitrate, FBitrate)
KIVORA_FIGURE(int64_t, VideoSize, FVideoSize)
KIVORA_FIGURE(int64_t, LastTime, last_time)
KIVORA_FIGURE(std::string, LastErrorMessage, FLastErrorMessage)
#undef KIVORA_FIGURE

int64_t TAVConverter::GetUsedTime() const {
  auto run = Run();
  std::lock_guard<std::mutex> lock(run->FFigureLock);
  if (!run->timer_start || run->last_time < run->timer_start) return 0;
  return (run->last_time - run->timer_start) / 1000000;
}

int64_t TAVConverter::GetLeftTime() const {
  const double p = ProgressPercent();
  if (p <= 0 || GetProgress() <= 0) return 362439;
  auto run = Run();
  int64_t start, last;
  {
    std::lock_guard<std::mutex> lock(run->FFigureLock);
    start = run->timer_start;
    last = run->last_time;
  }
  // Microseconds, up to now while the conversion runs: whole seconds of used
  // time would make the estimate jump.
  const int64_t now = State() == csNone ? last : av_gettime_relative();
  if (!start || now < start) return 0;
  return static_cast<int64_t>(static_cast<double>(now - start) * (100 - p) / p / 1e6);
}

int64_t TAVConverter::GetSourceFileSize(int index) const {
  // The worker adds each input's size here, under this lock, as it opens it.
  auto run = Run();
  std::lock_guard<std::mutex> lock(run->FFigureLock);
  if (index < 0 || index >= static_cast<int>(run->FSourceSizes.size())) return 0;
  return run->FSourceSizes[static_cast<size_t>(index)];
}

void TAVConverter::SetLastErrorMessage(const std::string& Value) {
  auto run = Run();
  std::lock_guard<std::mutex> lock(run->FFigureLock);
  run->FLastErrorMessage = Value;
}

void TAVConverter::DoLog(int level, const std::string& text) {
  if (level <= AV_LOG_ERROR) SetLastErrorMessage(text);
  const TAVLogEvent handler = OnLog;
  if (!handler) return;
  try {
    handler(this, level, text);
  } catch (...) {
    // A log handler's failure must not reach FFmpeg's logging call.
  }
}

// ---- events ----
// Each handler is copied first: it may destroy the converter, and with it
// the handler itself.

void TAVConverter::DoProgress() {
  const TAVProgressEvent handler = OnProgress;
  try {
    if (handler) handler(this);
  } catch (const Exception& e) {
    DoLog(AV_LOG_ERROR, std::string("OnProgress: ") + e.what());
    ShowMessage(e.what());
  }
}

void TAVConverter::DoStop() {
  const TNotifyEvent handler = OnStopped;
  if (handler) handler(this);
}

void TAVConverter::DoError() {
  std::string msg, log;
  {
    auto run = Run();
    std::lock_guard<std::mutex> lock(run->FFigureLock);
    msg = run->FErrorMsg;
    log = run->FLastErrorMessage;
  }
  bool handled = false;
  const TAVConvertErrorEvent handler = OnError;
  if (handler) handler(this, msg, log, handled);
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
  const TAVOnVideoBufferEvent handler = OnVideoBuffer;
  if (!handler) return;
  std::shared_ptr<TConvertRun> run = Run();
  bool modified = false;
  handler(this, Bitmap, timeStamp, modified);
  run->FBufferModified = modified;
}

void TAVConverter::DoConvertComplete() {
  const TNotifyEvent handler = OnComplete;
  try {
    if (handler) handler(this);
  } catch (...) {
  }
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TAVConverter, "converter");

}  // namespace kivora
