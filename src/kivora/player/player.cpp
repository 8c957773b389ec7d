// The player component: construction, properties, open/close, the state
// timer and the teardown that joins every worker thread and frees the
// movie's state exactly once.
#include "kivora/player/player.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/thread.h"
#include "kivora/player/audio/mixer.h"

namespace kivora {

namespace {

// Every live player. At process exit the module closes the ones still open
// and then the sound device.
struct PlayerModule {
  std::mutex lock;
  std::vector<TAVPlayer*> players;
  ~PlayerModule() {
    std::vector<TAVPlayer*> left;
    {
      std::lock_guard<std::mutex> g(lock);
      left = players;
    }
    for (TAVPlayer* p : left) {
      p->CloseMovie();
      while (p->Playing()) Sleep(10);
    }
    ShutdownAudioDevice();
  }
};

PlayerModule& Module() {
  static PlayerModule m;
  return m;
}

const char kFlushData[] = "FLUSH";
const char kEofData[] = "EOF";

// Waits until done() holds. On the GUI thread the wait keeps serving the
// calls workers hand over with MainThread::Synchronize, so a worker waiting
// for the GUI thread can finish.
template <typename Pred>
void WaitPumping(Pred done) {
  while (!done()) {
    if (MainThread::HasGuiThread() && MainThread::IsMainThread()) MainThread::CheckSynchronize(10);
    else Sleep(5);
  }
}

}  // namespace

std::vector<TAVPlayer*> PlayerListSnapshot() {
  std::lock_guard<std::mutex> g(Module().lock);
  return Module().players;
}

TAVPlayer::TAVPlayer(TComponent* owner) : TComponent(owner) {
  // FFmpeg's log lines reach OnLog and LastErrorMessage only through the
  // library's log routing, so a player used on its own starts it too.
  LoadLibs();
  {
    std::lock_guard<std::mutex> g(Module().lock);
    Module().players.push_back(this);
  }
  // The markers are recognised by their data pointers, never by content.
  FFlushPkt = av_packet_alloc();
  FEofPkt = av_packet_alloc();
  if (!FFlushPkt || !FEofPkt) {
    av_packet_free(&FFlushPkt);
    av_packet_free(&FEofPkt);
    throw Exception("Out of memory");
  }
  FFlushPkt->data = reinterpret_cast<uint8_t*>(const_cast<char*>(kFlushData));
  FEofPkt->data = reinterpret_cast<uint8_t*>(const_cast<char*>(kEofData));
  FStateTimer.SetInterval(50);
  FStateTimer.OnTimer = [this] { OnStateTimer(); };
  init_clock(vidclk, nullptr);
  init_clock(audclk, nullptr);
  init_own_clock(extclk);
}

TAVPlayer::~TAVPlayer() {
  {
    std::lock_guard<std::mutex> g(Module().lock);
    auto& v = Module().players;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  FStateTimer.SetEnabled(false);
  while (!CloseMovie()) {
  }
  WaitForWorkers();
  av_frame_free(&FAudioFrame);
  av_freep(&FAudioBuf1);
  av_packet_free(&FAudioPkt);
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    FViewList.clear();
  }
  ThreadMap().RemoveLogger(this);
  // The markers' data are static strings: detach them before freeing.
  FFlushPkt->data = nullptr;
  FEofPkt->data = nullptr;
  av_packet_free(&FFlushPkt);
  av_packet_free(&FEofPkt);
}

void TAVPlayer::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == FVideoSurface) FVideoSurface = nullptr;
}

bool TAVPlayer::Playing() const { return FWorkersRunning.load(); }

void TAVPlayer::WaitForWorkers() {
  WaitPumping([this] { return !FWorkersRunning.load() && FOpenThreadDone.load() && FCloserDone.load(); });
  if (FOpenThread.joinable()) FOpenThread.join();
  JoinCloser();
}

void TAVPlayer::JoinCloser() {
  if (FCloseThread.joinable()) FCloseThread.join();
}

void TAVPlayer::OpenMovie(const std::string& AMovie, bool Paused, bool Block) {
  if (Playing() || FOpening.load()) {
    if (!CloseMovie()) return;
  }
  WaitForWorkers();
  FOutputPixelFormat = -1;
  FAbortRequest = false;
  FPlaybackFinished = false;
  FMovie = AMovie;
  FInitPaused = Paused;
  FBlockOpen = Block;
  SetLastError("");
  if (Block) {
    FOpening = true;
    try {
      OpenMovieInternal();
    } catch (...) {
      FOpening = false;
      FStateTimer.SetEnabled(true);
      throw;
    }
    FOpening = false;
  } else {
    FOpening = true;
    FOpenThreadDone = false;
    FOpenThread = std::thread([this] {
      try {
        OpenMovieInternal();
      } catch (...) {
        // OpenMovieInternal reports its own failures; nothing may leave a thread.
      }
      ReleaseAudioThreadState();
      FOpening = false;
      FOpenThreadDone = true;
    });
  }
  FStateTimer.SetEnabled(true);
}

bool TAVPlayer::CloseMovie() {
  if (!Playing() && !FOpening.load()) return true;
  // The refresh thread holds this gate while the GUI thread draws; waiting a
  // little (and serving the GUI hand-off meanwhile) lets it finish.
  bool gate = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (!(gate = FAbortMutex.try_lock())) {
    if (std::chrono::steady_clock::now() >= until) break;
    if (MainThread::HasGuiThread() && MainThread::IsMainThread()) MainThread::CheckSynchronize(2);
    else Sleep(1);
  }
  if (!gate && FVideoStreamIndex.load() >= 0) return false;
  TThreadLoggerGuard logger(this);
  FAbortRequest = true;
  ReadSignal();
  if (FOpenThread.joinable()) {
    // A background open still inside FFmpeg is interrupted by the abort flag.
    WaitPumping([this] { return FOpenThreadDone.load(); });
    FOpenThread.join();
  }
  FStep = 0;
  FPaused = false;
  FFps = 0;
  FFrameNumber = 0;
  FOutputPixelFormat = -1;
  StartCloser();
  if (gate) FAbortMutex.unlock();
  return true;
}

void TAVPlayer::StartCloser() {
  if (!FWorkersRunning.load() || !FCloserDone.load()) return;
  JoinCloser();
  FCloserDone = false;
  FCloseThread = std::thread([this] {
    TThreadLoggerGuard logger(this);
    CloseThreads();
    ReleaseAudioThreadState();
    FCloserDone = true;
  });
}

// Ends the movie's worker threads in order (read, refresh, decoders), then
// frees the movie's state. Runs on the closer thread, or on the opening
// thread when an open fails half-way.
void TAVPlayer::CloseThreads() {
  FAbortRequest = true;
  FVideoThreadRun = true;  // release decoder threads that were never resumed
  FSubtitleThreadRun = true;
  ReadSignal();
  // Each stage may be waiting on the picture or subtitle queue (the read
  // thread for the display to drain before a seek, decoders for room), so
  // the waiters are woken before each join.
  WakeQueueWaiters();
  if (FReadThread.joinable()) FReadThread.join();
  FreeQueue();
  WakeQueueWaiters();
  if (FRefreshThread.joinable()) FRefreshThread.join();
  FreeQueue();
  WakeQueueWaiters();
  JoinThreads(FVideoThreads);
  JoinThreads(FSubtitleThreads);
  FreeResources();
  FWorkersRunning = false;
}

void TAVPlayer::ClearStreamLists() {
  FVideoIdxList.clear();
  FAudioIdxList.clear();
  FSubtitleIdxList.clear();
  FVideoPropList.clear();
  FAudioPropList.clear();
  FSubtitlePropList.clear();
  FVideoStreamIndex = FAudioStreamIndex = FSubtitleStreamIndex = -1;
}

void TAVPlayer::WakeQueueWaiters() {
  {
    std::lock_guard<std::mutex> g(FPictQMutex);
    FPictQCond.notify_all();
  }
  std::lock_guard<std::mutex> g(FSubpQMutex);
  FSubpQCond.notify_all();
}

void TAVPlayer::JoinThreads(std::vector<std::thread>& threads) {
  for (std::thread& t : threads)
    if (t.joinable()) t.join();
  threads.clear();
}

void TAVPlayer::FreeResources() {
  FreeQueueFrames();
  FreeVideoCtx();
  FreeAudioCtx();
  FreeSubtitleCtx();
  {
    std::lock_guard<std::mutex> g(FStreamLock);
    FVideoQ.reset();
    FAudioQ.reset();
    FSubtitleQ.reset();
    ClearStreamLists();
  }
  for (TSubPicture& sp : FSubpQ) avsubtitle_free(&sp.sub);
  FSubpQSize = FSubpQRindex = FSubpQWindex = 0;
  DestroyVideoFilterGraph();
  DestroyAudioFilterGraph();
  {
    std::lock_guard<std::recursive_mutex> g(FBitmapMutex);
    for (TVideoPicture& vp : FPictq) {
      av_frame_free(&vp.bmp);
      vp = TVideoPicture{};
    }
    FCurrentVP = nullptr;
    av_frame_free(&FFrameCover);
  }
  pictq_size = pictq_rindex = pictq_windex = pictq_rindex_shown = 0;
  format_opts.reset();
  codec_opts.reset();
  avformat_close_input(&FIc);
  FGraphWidth = FGraphHeight = 0;
  FCodecWidth = FCodecHeight = 0;
  FVideoStream = FAudioStream = FSubtitleStream = nullptr;
  init_clock(vidclk, nullptr);
  init_clock(audclk, nullptr);
}

void TAVPlayer::OnStateTimer() {
  if (FPlaybackFinished.exchange(false) && Playing() && !FAbortRequest.load()) {
    if (OnPlaybackFinished) OnPlaybackFinished(this);
  }
}

void TAVPlayer::DoPlaybackFinished() { FPlaybackFinished = true; }

void TAVPlayer::DoStart() {
  if (OnStart) OnStart(this);
}

void TAVPlayer::DoError() {
  if (OnConnectionError) OnConnectionError(this, LastErrorMessage());
}

void TAVPlayer::DoLog(int level, const std::string& message) {
  if (level <= AV_LOG_ERROR) SetLastError(message);
  if (OnLog) OnLog(this, level, message);
}

int TAVPlayer::GetLogLevel() { return kivora::GetLogLevel(FLogLevel.load()); }

void TAVPlayer::SetLastError(const std::string& msg) {
  std::lock_guard<std::mutex> g(FErrorLock);
  FLastErrorMessage = msg;
}

std::string TAVPlayer::LastErrorMessage() const {
  std::lock_guard<std::mutex> g(FErrorLock);
  return FLastErrorMessage;
}

void TAVPlayer::Play() {
  if (FPaused.load()) {
    stream_toggle_pause();
    FStep = 0;
  }
}

void TAVPlayer::Pause() {
  if (!FPaused.load()) {
    stream_toggle_pause();
    FStep = 0;
  }
}

void TAVPlayer::StepForward() {
  if (FPaused.load()) stream_toggle_pause();
  int step = 0;
  if (FVideoStreamIndex.load() >= 0) step |= STEP_VIDEO;
  if (FAudioStreamIndex.load() >= 0) step |= STEP_AUDIO;
  FStep = step;
}

void TAVPlayer::CheckStep(bool IsAudio) {
  if (IsAudio) {
    if (FAudioStreamIndex.load() >= 0) FStep &= ~STEP_AUDIO;
  } else {
    if (FVideoStreamIndex.load() >= 0) FStep &= ~STEP_VIDEO;
  }
}

double TAVPlayer::GetPosition() {
  double start = 0;
  if (FStartTime.load() != AV_NOPTS_VALUE) start = static_cast<double>(FStartTime.load());
  else if (FContainerStartTime.load() != AV_NOPTS_VALUE) start = static_cast<double>(FContainerStartTime.load());
  double duration = FDuration.load();
  if (duration < 0 || FInfinite.load()) duration = std::numeric_limits<double>::max();
  double clock = get_master_clock();
  if (std::isnan(clock)) clock = 0;
  return std::clamp(clock - start / 1000000.0, 0.0, duration);
}

void TAVPlayer::SetPosition(double x) {
  if (!Playing() || FAbortRequest.load()) return;
  double cur = GetPosition();
  const int64_t cst = FContainerStartTime.load();
  if (cst != AV_NOPTS_VALUE && cst / 1000000.0 > cur) cur = cst / 1000000.0;
  double base = 0;
  if (FStartTime.load() != AV_NOPTS_VALUE) base = static_cast<double>(FStartTime.load());
  else if (cst != AV_NOPTS_VALUE) base = static_cast<double>(cst);
  const double f = base / 1000000.0 + x;
  const auto target = static_cast<int64_t>(f * 1000000.0);
  const auto rel = static_cast<int64_t>((f - (base / 1000000.0 + cur)) * 1000000.0);
  stream_seek(target, rel);
}

std::string TAVPlayer::VideoFilters() const {
  std::lock_guard<std::mutex> g(FFilterLock);
  return FVideoFilters;
}

void TAVPlayer::SetVideoFilters(const std::string& v) {
  std::lock_guard<std::mutex> g(FFilterLock);
  if (v == FVideoFilters) return;
  FVideoFilters = v;
  FVideoFiltersChanged = true;
}

void TAVPlayer::SetCoverImage(const TBitmap& v) {
  std::lock_guard<std::recursive_mutex> g(FMutex);
  {
    std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
    FCoverImage.Assign(v);
  }
  for (IAVView* view : FViewList) view->SetViewSize(FCoverImage.Width(), FCoverImage.Height());
}

AVRational TAVPlayer::Sar() const {
  std::lock_guard<std::mutex> g(const_cast<std::mutex&>(FPictQMutex));
  return FSar;
}

void TAVPlayer::RegisterView(IAVView* AView) {
  if (!AView) return;
  std::lock_guard<std::recursive_mutex> g(FMutex);
  if (std::find(FViewList.begin(), FViewList.end(), AView) != FViewList.end()) return;
  FViewList.push_back(AView);
  const int w = GetVideoWidth(), h = GetVideoHeight();
  if (w > 0 && h > 0) AView->SetViewSize(RoundTo16(w), h);
}

void TAVPlayer::UnRegisterView(IAVView* AView) {
  std::lock_guard<std::recursive_mutex> g(FMutex);
  FViewList.erase(std::remove(FViewList.begin(), FViewList.end(), AView), FViewList.end());
}

int TAVPlayer::GetVideoWidth() const {
  if (FVideoStreamIndex.load() < 0) return 0;
  if (FGraphWidth.load() > 0) return FGraphWidth.load();
  return FCodecWidth.load();
}

int TAVPlayer::GetVideoHeight() const {
  if (FVideoStreamIndex.load() < 0) return 0;
  if (FGraphHeight.load() > 0) return FGraphHeight.load();
  return FCodecHeight.load();
}

}  // namespace kivora
