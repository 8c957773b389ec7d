// The player component: construction, properties, open/close, the state
// timer and the teardown that joins every worker thread and frees the
// movie's state exactly once.
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "kivora/platform/classes.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/thread.h"
#include "kivora/player/audio/mixer.h"
#include "kivora/player/frame_pool.h"

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
    for (TAVPlayer* p : left) ShutDownPlayer(p);
    ShutdownAudioDevice();
  }
};

}  // namespace

void ShutDownPlayer(TAVPlayer* player) {
  player->CloseMovie();
  player->d->WaitForWorkers();
}

namespace {

PlayerModule& Module() {
  static PlayerModule m;
  return m;
}

// The players whose handlers the current thread is running, innermost last.
thread_local std::vector<const TAVPlayer::Impl*> t_handlers;

const char kFlushData[] = "FLUSH";
const char kEofData[] = "EOF";

}  // namespace

// On the GUI thread the wait keeps serving the calls workers hand over, so a
// worker waiting for the GUI thread can finish; a worker's hand-off wakes
// CheckSynchronize at once. Elsewhere it sleeps on the state's condition.
template <typename Pred>
void TAVPlayer::Impl::WaitState(Pred done) {
  if (MainThread::HasGuiThread() && MainThread::IsMainThread()) {
    for (;;) {
      {
        std::lock_guard<std::mutex> g(FStateLock);
        if (done()) return;
      }
      MainThread::CheckSynchronize(5);
    }
  }
  std::unique_lock<std::mutex> g(FStateLock);
  FStateCond.wait(g, done);
}

void TAVPlayer::Impl::SetState(TLifeState s) {
  {
    std::lock_guard<std::mutex> g(FStateLock);
    FState = s;
  }
  NotifyState();
}

// Wakes every wait for the lifecycle: other threads on the condition, the GUI
// thread in its serving loop.
void TAVPlayer::Impl::NotifyState() {
  FStateCond.notify_all();
  MainThread::WakeWaiter();
}

std::vector<TAVPlayer*> PlayerListSnapshot() {
  std::lock_guard<std::mutex> g(Module().lock);
  return Module().players;
}

void AddToPlayerList(TAVPlayer* player) {
  std::lock_guard<std::mutex> g(Module().lock);
  Module().players.push_back(player);
}

void RemoveFromPlayerList(TAVPlayer* player) {
  std::lock_guard<std::mutex> g(Module().lock);
  auto& v = Module().players;
  v.erase(std::remove(v.begin(), v.end(), player), v.end());
}

TAVPlayer::Impl::Impl(TAVPlayer& owner)
    : q(owner),
      OnStart(owner.OnStart),
      OnConnectionError(owner.OnConnectionError),
      OnPlaybackFinished(owner.OnPlaybackFinished),
      OnLog(owner.OnLog),
      OnVideoDisplay(owner.OnVideoDisplay),
      OnAudioBuffer(owner.OnAudioBuffer),
      OnFrameAvailable(owner.OnFrameAvailable) {
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
  // The queues live as long as the player, so the clocks that compare with
  // their serials never read freed memory, whatever thread reads a clock
  // while a movie closes.
  FVideoQ = std::make_unique<TAVPacketQueue>(FFlushPkt, FEofPkt);
  FAudioQ = std::make_unique<TAVPacketQueue>(FFlushPkt, FEofPkt);
  FSubtitleQ = std::make_unique<TAVPacketQueue>(FFlushPkt, FEofPkt);
  for (TAVPacketQueue* queue : {FVideoQ.get(), FAudioQ.get(), FSubtitleQ.get()})
    queue->SetOnTaken([this] {
      if (FReadWaiting.load()) ReadSignal();
    });
  FStateTimer.SetInterval(50);
  FStateTimer.OnTimer = [this] { OnStateTimer(); };
  // Runs for the player's whole life: started and stopped by one thread
  // each, never by the threads that open movies.
  FStateTimer.SetEnabled(true);
  init_clock(vidclk, FVideoQ->SerialPtr());
  init_clock(audclk, FAudioQ->SerialPtr());
  init_own_clock(extclk);
}

void TAVPlayer::Impl::Destroy() {
  FDestroyerThread = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> g(FLife->m);
    FLife->alive = false;
    FLife->destroyer = std::this_thread::get_id();
  }
  {
    std::lock_guard<std::mutex> g(FStateLock);
    FDestroying = true;
    FDeferred.reset();
  }
  NotifyState();
  FStateTimer.SetEnabled(false);
  CloseMovie();
  // A reopen asked for by a handler gives up; the thread ends.
  WaitState([this] { return !FDeferRunning; });
  if (FDeferThread.joinable()) FDeferThread.join();
  // Called from the opener's own OnStart or OnConnectionError, the opener
  // waits for us: it is let go, and finds the player gone when the handler
  // returns.
  if (FOpenerHandlerThread.load() == std::this_thread::get_id()) {
    WaitState([this] { return FState == TLifeState::Idle && !FCloserRunning; });
    {
      std::lock_guard<std::mutex> g(FOpenThreadLock);
      if (FOpenThread.joinable()) FOpenThread.detach();
    }
    if (FCloseThread.joinable()) FCloseThread.join();
  } else {
    WaitForWorkers();
  }
  StopLogThread();
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    FViewList.clear();
  }
  ThreadMap().RemoveLogger(&q);
  FVideoQ.reset();
  FAudioQ.reset();
  FSubtitleQ.reset();
  // The markers' data are static strings: detach them before freeing.
  FFlushPkt->data = nullptr;
  FEofPkt->data = nullptr;
  av_packet_free(&FFlushPkt);
  av_packet_free(&FEofPkt);
}

void TAVPlayer::Impl::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove && component == FVideoSurface) FVideoSurface = nullptr;
}

bool TAVPlayer::Impl::Playing() const {
  std::lock_guard<std::mutex> g(FStateLock);
  return FState == TLifeState::Playing || FState == TLifeState::Closing;
}

void TAVPlayer::Impl::WaitForWorkers() {
  // Inside our own display call the refresh thread waits for us: let it go.
  if (FDisplayDepth > 0 && MainThread::IsMainThread()) ReleaseDisplayCall();
  WaitState([this] { return FState == TLifeState::Idle && !FOpenerRunning && !FCloserRunning; });
  std::thread opener;
  {
    std::lock_guard<std::mutex> g(FOpenThreadLock);
    if (FOpenThread.joinable() && FOpenThread.get_id() != std::this_thread::get_id()) opener = std::move(FOpenThread);
  }
  if (opener.joinable()) opener.join();
  if (FCloseThread.joinable()) FCloseThread.join();
}

void TAVPlayer::Impl::OpenMovie(const std::string& AMovie, bool Paused, bool Block) {
  // Inside a handler, the thread the handler runs on (or one waiting for
  // it) belongs to the movie being replaced: waiting here for that movie to
  // end would wait for ourselves. The new movie opens once the handler has
  // returned.
  if (InOwnHandler()) {
    DeferOpen(AMovie, Paused);
    return;
  }
  OpenMovieNow(AMovie, Paused, Block);
}

TAVPlayer::Impl::THandlerResult TAVPlayer::Impl::RunHandler(const std::function<void()>& handler, bool logFailure) {
  THandlerResult r;
  const std::shared_ptr<TLifeToken> life = FLife;  // the handler may destroy this
  t_handlers.push_back(this);
  try {
    handler();
  } catch (const std::exception& e) {
    r.threw = true;
    r.error = e.what();
  } catch (...) {
    r.threw = true;
    r.error = "unknown exception";
  }
  t_handlers.pop_back();
  r.alive = !life->GoneHere();
  if (r.alive && r.threw && logFailure) DoLog(AV_LOG_ERROR, "An event handler failed: " + r.error);
  return r;
}

bool TAVPlayer::Impl::InOwnHandler() const {
  return std::find(t_handlers.begin(), t_handlers.end(), this) != t_handlers.end();
}

void TAVPlayer::Impl::DeferOpen(const std::string& movie, bool paused) {
  {
    std::lock_guard<std::mutex> g(FStateLock);
    if (FDestroying) return;
    // The movie of the handler is closed now, so that its threads end.
    FAbortRequest = true;
    FDeferred = std::make_unique<TDeferredOpen>(TDeferredOpen{movie, paused});
    if (FDeferRunning) return;  // the running one takes the newest request
    FDeferRunning = true;
  }
  // The previous deferred open has finished (FDeferRunning was false).
  if (FDeferThread.joinable()) FDeferThread.join();
  FDeferThread = std::thread([this] { DeferredOpenLoop(); });
}

void TAVPlayer::Impl::DeferredOpenLoop() {
  // Takes the newest request, or ends the loop (and says so) when there is
  // none or the player is being destroyed. FStateLock held.
  auto take = [this](std::unique_ptr<TDeferredOpen>& next) {
    if (!FDestroying && FDeferred) {
      next = std::move(FDeferred);
      return true;
    }
    FDeferRunning = false;
    FDeferred.reset();
    FStateCond.notify_all();
    return false;
  };
  for (;;) {
    {
      // Nothing more was asked for: the movie just opened stays.
      std::lock_guard<std::mutex> g(FStateLock);
      if (FDestroying || !FDeferred) {
        std::unique_ptr<TDeferredOpen> none;
        take(none);
        break;
      }
    }
    CloseMovie();
    // Until the handler's movie has gone, or the player is being destroyed.
    WaitState([this] {
      return FDestroying || (FState == TLifeState::Idle && !FOpenerRunning && !FCloserRunning);
    });
    std::unique_ptr<TDeferredOpen> next;
    {
      std::lock_guard<std::mutex> g(FStateLock);
      if (!take(next)) break;
    }
    try {
      // Never blocking here: a failure is told through OnConnectionError.
      OpenMovieNow(next->movie, next->paused, false);
    } catch (const std::exception& e) {
      DoLog(AV_LOG_ERROR, e.what());
    }
  }
  MainThread::WakeWaiter();
}

void TAVPlayer::Impl::OpenMovieNow(const std::string& AMovie, bool Paused, bool Block) {
  for (;;) {
    CloseMovie();
    WaitForWorkers();
    // Another thread may have started an open meanwhile: close that one too.
    std::lock_guard<std::mutex> g(FStateLock);
    if (FDestroying) return;
    if (FState != TLifeState::Idle || FOpenerRunning || FCloserRunning) continue;
    FState = TLifeState::Opening;
    FOpenerRunning = true;
    FM = std::make_unique<TMovie>();
    // Cleared with the state changed, so a close that sees Opening also
    // sees the abort flag it may set.
    FAbortRequest = false;
    FPlaybackFinished = false;
    {
      std::lock_guard<std::mutex> d(FDisplayLock);
      FGuiClosed = false;
    }
    break;
  }
  {
    // A step or seek of the previous movie does not carry over.
    std::lock_guard<std::mutex> s(FStepLock);
    FStep = 0;
  }
  {
    std::lock_guard<std::mutex> s(FSeekLock);
    FSeekReq = false;
  }
  FOutputPixelFormat = -1;
  FMovie = AMovie;
  FInitPaused = Paused;
  FBlockOpen = Block;
  SetLastError("");
  auto finished = [this] {
    {
      std::lock_guard<std::mutex> g(FStateLock);
      FOpenerRunning = false;
    }
    NotifyState();
  };
  if (Block) {
    try {
      if (!OpenMovieInternal()) return;  // destroyed by its OnStart
    } catch (...) {
      finished();
      throw;
    }
    finished();
  } else {
    // The handle is set under its lock, so no thread reads it half-made
    // (the new thread may end before this assignment would otherwise be done).
    std::unique_lock<std::mutex> h(FOpenThreadLock);
    if (FOpenThread.joinable()) FOpenThread.detach();  // a finished earlier opener
    try {
      FOpenThread = std::thread([this, finished] {
        bool alive = true;
        try {
          alive = OpenMovieInternal();
        } catch (...) {
          // OpenMovieInternal reports its own failures; nothing may leave a thread.
        }
        ReleaseAudioThreadState();
        if (alive) finished();
      });
    } catch (const std::system_error& e) {
      // No thread to open on: the player goes back to closed, usable again,
      // instead of staying Opening for good.
      h.unlock();
      std::unique_ptr<TMovie> gone;
      {
        std::lock_guard<std::mutex> g(FStateLock);
        gone = std::move(FM);
        FState = TLifeState::Idle;
      }
      finished();
      throw Exception(std::string("Could not start the open thread: ") + e.what());
    }
  }
}

bool TAVPlayer::Impl::CloseMovie() {
  {
    std::lock_guard<std::mutex> g(FStateLock);
    if (FState == TLifeState::Idle || FState == TLifeState::Closing) return true;
    // An open in progress is interrupted inside FFmpeg by the abort flag
    // (decode_interrupt_cb) and ends on its own thread, freeing what it made.
    FAbortRequest = true;
  }
  // Threads of the movie waiting for the GUI thread are let go at once: the
  // GUI thread may be the one waiting for this close.
  CancelGuiCalls();
  TThreadLoggerGuard logger(&q);
  ReadSignal();
  WakeQueueWaiters();
  WaitState([this] { return FState != TLifeState::Opening; });
  {
    std::lock_guard<std::mutex> s(FStepLock);
    FStep = 0;
    SetPausedState(false);
  }
  FFps = 0;
  FFrameNumber = 0;
  FOutputPixelFormat = -1;
  StartCloser();
  return true;
}

void TAVPlayer::Impl::StartCloser() {
  {
    std::lock_guard<std::mutex> g(FStateLock);
    if (FState != TLifeState::Playing) return;
    FState = TLifeState::Closing;
    FCloserRunning = true;
  }
  // The previous close thread finished (its movie went back to Idle before
  // this one opened); only its handle is left.
  if (FCloseThread.joinable()) FCloseThread.join();
  // Whatever fails on the way, the movie ends closed: a player left Closing
  // would refuse every later call.
  auto close = [this] {
    {
      TThreadLoggerGuard logger(&q);
      CloseThreads();
      ReleaseAudioThreadState();
    }
    {
      std::lock_guard<std::mutex> g(FStateLock);
      FState = TLifeState::Idle;
      FCloserRunning = false;
    }
    NotifyState();
  };
  try {
    FCloseThread = std::thread(close);
  } catch (const std::system_error& e) {
    // No thread to be had (the process is at its limit): closed here instead.
    DoLog(AV_LOG_ERROR, std::string("Could not start the close thread (") + e.what() + "); closing on this thread");
    close();
  }
}

namespace {
// Joins a thread of the movie; false when it cannot be joined (it is the
// calling thread itself, or the system refuses), which is logged.
bool JoinMovieThread(TAVPlayer::Impl* player, std::thread& t) {
  if (!t.joinable()) return true;
  try {
    if (t.get_id() == std::this_thread::get_id()) throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    t.join();
    return true;
  } catch (const std::system_error& e) {
    player->DoLog(AV_LOG_ERROR, std::string("A thread of the movie could not be joined: ") + e.what());
    return false;
  }
}
}  // namespace

// Ends the movie's worker threads in order (read, refresh, decoders), then
// frees the movie's state. Runs on the closer thread, or on the opening
// thread when an open fails half-way. Never throws: a step that fails is
// logged and the rest still runs, so the player always ends closed.
void TAVPlayer::Impl::CloseThreads() {
  FAbortRequest = true;
  CancelGuiCalls();
  ReadSignal();
  WakePauseWaiters();
  // Each stage may be waiting on the picture or subtitle queue (the read
  // thread for the display to drain before a seek, decoders for room), so
  // the waiters are woken before each join.
  WakeQueueWaiters();
  bool joined = JoinMovieThread(this, FM->FReadThread);
  FreeQueue();
  WakeQueueWaiters();
  if (FM->FRefreshThread.joinable()) {
    // Destroyed from a display call on the refresh thread: that thread is
    // running the destructor, which waits for us; it ends on its own once
    // the call returns.
    if (FM->FRefreshThread.get_id() == FDestroyerThread.load())
      FM->FRefreshThread.detach();
    else
      joined = JoinMovieThread(this, FM->FRefreshThread) && joined;
  }
  FreeQueue();
  WakeQueueWaiters();
  for (auto* threads : {&FM->FVideoThreads, &FM->FSubtitleThreads}) {
    for (std::thread& t : *threads) joined = JoinMovieThread(this, t) && joined;
    if (joined) threads->clear();
  }
  // Without a refresh thread (an open that failed before starting it) the
  // view calls waiting for it are made here.
  if (joined) EndViewWriter();
  if (joined) {
    try {
      FreeResources();
    } catch (const std::exception& e) {
      DoLog(AV_LOG_ERROR, std::string("Closing the movie failed half-way: ") + e.what());
    }
  }
  // Every thread of the movie has ended and its sound channel is closed:
  // the movie goes, exactly once, here. One with a thread still running is
  // left allocated rather than freed under that thread.
  std::unique_ptr<TMovie> gone;
  {
    std::lock_guard<std::mutex> g(FStateLock);
    gone = std::move(FM);
  }
  if (!joined) (void)gone.release();
}

namespace {
std::atomic<int> g_movies{0};  // movies that exist in the process
}  // namespace

TMovie::TMovie() { g_movies++; }

TMovie::~TMovie() {
  for (TSubPicture& sp : FSubpQ) avsubtitle_free(&sp.sub);
  avfilter_graph_free(&video_graph);
  avfilter_graph_free(&agraph);
  swr_free(&FSwrCtx);
  av_frame_free(&FAudioFrame);
  av_freep(&FAudioBuf1);
  av_packet_free(&FAudioPkt);
  avformat_close_input(&FIc);
  FIO.reset();
  // With no movie left, nothing will reuse the pictures' memory soon; an
  // application that closed its last movie gets it back at once, and so
  // the heap's free pages (packets, decoder state and queue nodes freed
  // above, which the allocator would otherwise keep for itself).
  if (--g_movies == 0) {
    PictureMemory::Trim();
#ifdef __GLIBC__
    malloc_trim(0);
#endif
  }
}

namespace {
std::vector<TAVStreamProperties> CopyList(std::mutex& lock,
                                          const std::vector<std::unique_ptr<TAVStreamProperties>>& list) {
  std::lock_guard<std::mutex> g(lock);
  std::vector<TAVStreamProperties> copy;
  copy.reserve(list.size());
  for (const auto& p : list) copy.push_back(*p);
  return copy;
}
}  // namespace

std::vector<TAVStreamProperties> TAVPlayer::Impl::VideoStreamProperties() const {
  return CopyList(FStreamLock, FVideoPropList);
}
std::vector<TAVStreamProperties> TAVPlayer::Impl::AudioStreamProperties() const {
  return CopyList(FStreamLock, FAudioPropList);
}
std::vector<TAVStreamProperties> TAVPlayer::Impl::SubtitleStreamProperties() const {
  return CopyList(FStreamLock, FSubtitlePropList);
}

void TAVPlayer::Impl::ClearStreamLists() {
  FVideoIdxList.clear();
  FAudioIdxList.clear();
  FSubtitleIdxList.clear();
  FVideoPropList.clear();
  FAudioPropList.clear();
  FSubtitlePropList.clear();
  FVideoStreamIndex = FAudioStreamIndex = FSubtitleStreamIndex = -1;
}

void TAVPlayer::Impl::WakePauseWaiters() {
  std::lock_guard<std::mutex> g(FPauseLock);
  FPauseCond.notify_all();
}

void TAVPlayer::Impl::WakeQueueWaiters() {
  WakePauseWaiters();
  KickRefresh();
  std::lock_guard<std::mutex> g(FSubpQMutex);
  FSubpQCond.notify_all();
}

void TAVPlayer::Impl::JoinThreads(std::vector<std::thread>& threads) {
  for (std::thread& t : threads)
    if (t.joinable()) t.join();
  threads.clear();
}

void TAVPlayer::Impl::FreeResources() {
  FreeQueueFrames();
  FreeVideoCtx();
  FreeAudioCtx();
  FreeSubtitleCtx();
  FreeQueue();
  FVideoQ->Flush();
  FAudioQ->Flush();
  FSubtitleQ->Flush();
  {
    std::lock_guard<std::mutex> g(FStreamLock);
    ClearStreamLists();
  }
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
  FGraphWidth = FGraphHeight = 0;
  FCodecWidth = FCodecHeight = 0;
  FViewsSizedTo = 0;
  init_clock(vidclk, FVideoQ->SerialPtr());
  init_clock(audclk, FAudioQ->SerialPtr());
}

void TAVPlayer::Impl::OnStateTimer() {
  if (FPlaybackFinished.exchange(false) && Playing() && !FAbortRequest.load()) {
    if (OnPlaybackFinished) {
      try {
        OnPlaybackFinished(&q);
      } catch (const std::exception& e) {
        DoLog(AV_LOG_ERROR, std::string("OnPlaybackFinished failed: ") + e.what());
      }
    }
  }
}

// FFmpeg's lines arrive here under the logger registry's lock: the handler
// runs later on the log thread, so it may wait for the GUI thread while the
// GUI thread registers a logger.
void TAVPlayer::Impl::DoLog(int level, const std::string& message) {
  if (level <= AV_LOG_ERROR) SetLastError(message);
  if (OnLog) PostLog(level, message);
}

void TAVPlayer::Impl::PostLog(int level, const std::string& message) {
  {
    std::lock_guard<std::mutex> g(FLogLock);
    if (FLogStop) return;
    // A chatty decoder logs faster than a slow handler takes lines: the
    // queue stays bounded and the rest is counted.
    if (FLogLines.size() >= MaxWaitingLogLines) {
      FLogDropped++;
      return;
    }
    FLogLines.emplace_back(level, message);
    if (!FLogThread.joinable()) FLogThread = std::thread([this] { LogThreadExecute(); });
  }
  FLogCond.notify_one();
}

void TAVPlayer::Impl::LogThreadExecute() {
  // The handler may close, reopen or destroy the player; destroyed from here,
  // the thread was let go and touches nothing of the player any more.
  const std::shared_ptr<TLifeToken> life = FLife;
  std::unique_lock<std::mutex> g(FLogLock);
  for (;;) {
    FLogCond.wait(g, [this] { return FLogStop || !FLogLines.empty(); });
    if (FLogLines.empty()) return;  // stopping, everything delivered
    std::vector<std::pair<int, std::string>> lines;
    lines.swap(FLogLines);
    if (FLogDropped > 0) {
      lines.emplace_back(AV_LOG_WARNING, "… " + std::to_string(FLogDropped) + " lines dropped");
      FLogDropped = 0;
    }
    g.unlock();
    for (const auto& [level, text] : lines) {
      if (!OnLog) continue;
      // A failing handler loses its line, not the player (and is not told
      // about it through itself).
      const TAVLogEvent handler = OnLog;
      if (!RunHandler([&] { handler(&q, level, text); }, false).alive) return;
    }
    g.lock();
  }
}

void TAVPlayer::Impl::StopLogThread() {
  {
    std::lock_guard<std::mutex> g(FLogLock);
    FLogStop = true;
  }
  FLogCond.notify_all();
  if (!FLogThread.joinable()) return;
  // Destroyed from OnLog: the log thread cannot wait for itself; it ends
  // once the handler returns, touching nothing.
  if (FLogThread.get_id() == std::this_thread::get_id()) {
    FLogThread.detach();
    return;
  }
  // The handler may be waiting for the GUI thread: serve it while waiting.
  if (MainThread::HasGuiThread() && MainThread::IsMainThread()) {
    std::atomic<bool> done{false};
    std::thread waiter([&] {
      FLogThread.join();
      done = true;
    });
    while (!done.load()) MainThread::CheckSynchronize(5);
    waiter.join();
  } else {
    FLogThread.join();
  }
}

int TAVPlayer::Impl::GetLogLevel() { return kivora::GetLogLevel(FLogLevel.load()); }

void TAVPlayer::Impl::SetLastError(const std::string& msg) {
  std::lock_guard<std::mutex> g(FErrorLock);
  FLastErrorMessage = msg;
}

std::string TAVPlayer::Impl::LastErrorMessage() const {
  std::lock_guard<std::mutex> g(FErrorLock);
  return FLastErrorMessage;
}

void TAVPlayer::Impl::Play() {
  std::lock_guard<std::mutex> s(FStepLock);
  FStep = 0;
  SetPausedState(false);
}

void TAVPlayer::Impl::Pause() {
  std::lock_guard<std::mutex> s(FStepLock);
  FStep = 0;
  SetPausedState(true);
}

void TAVPlayer::Impl::StepForward() {
  std::lock_guard<std::mutex> s(FStepLock);
  BeginStep();
}

// FStepLock held. The step is set before playback resumes, so no decoder
// sees a running player without it.
void TAVPlayer::Impl::BeginStep() {
  int step = 0;
  if (FVideoStreamIndex.load() >= 0) step |= STEP_VIDEO;
  if (FAudioStreamIndex.load() >= 0) step |= STEP_AUDIO;
  FStep = step;
  SetPausedState(false);
}

void TAVPlayer::Impl::StepAfterSeek() {
  std::lock_guard<std::mutex> s(FStepLock);
  // Paused, or a step of the previous position still running: the new
  // position is shown by a step of its own, which both decoders must finish
  // again with data of the new position.
  if (FPaused.load() || FStep.load() != 0) BeginStep();
}

void TAVPlayer::Impl::CheckStep(bool IsAudio, int serial) {
  std::lock_guard<std::mutex> s(FStepLock);
  const int bit = IsAudio ? STEP_AUDIO : STEP_VIDEO;
  const int before = FStep.load();
  if (!(before & bit) || FPaused.load()) return;
  // A picture or sound decoded before a later seek does not end that seek's
  // step. The queue's serial changes before the seek re-arms the step, and
  // the step is re-armed under FStepLock, so stale data never clears it.
  TAVPacketQueue* q = IsAudio ? FAudioQ.get() : FVideoQ.get();
  if (!q || serial != q->Serial()) return;
  FStep = before & ~bit;
  if ((before & ~bit) != 0) return;
  // The last decoder's part is done: pause. A running external clock would
  // go on counting the time the step took; it stops at the picture shown.
  SetPausedState(true);
  if (FVideoStreamIndex.load() >= 0 && get_master_sync_type() == 2) {
    const double shown = get_clock(vidclk);
    if (!std::isnan(shown)) set_clock(extclk, shown, clock_serial(extclk));
  }
}

int64_t TAVPlayer::Impl::PositionBase() const {
  if (FContainerStartTime.load() != AV_NOPTS_VALUE) return FContainerStartTime.load();
  return 0;
}

double TAVPlayer::Impl::GetPosition() {
  const auto start = static_cast<double>(PositionBase());
  double duration = FDuration.load();
  if (duration < 0 || FInfinite.load()) duration = std::numeric_limits<double>::max();
  double clock = get_master_clock();
  if (std::isnan(clock)) clock = 0;
  return std::clamp(clock - start / 1000000.0, 0.0, duration);
}

void TAVPlayer::Impl::SetPosition(double x) {
  if (!Playing() || FAbortRequest.load()) return;
  const double cur = GetPosition();
  const auto base = static_cast<double>(PositionBase());
  const double f = base / 1000000.0 + x;
  const auto target = static_cast<int64_t>(f * 1000000.0);
  const auto rel = static_cast<int64_t>((f - (base / 1000000.0 + cur)) * 1000000.0);
  stream_seek(target, rel);
}

std::string TAVPlayer::Impl::VideoFilters() const {
  std::lock_guard<std::mutex> g(FFilterLock);
  return FVideoFilters;
}

void TAVPlayer::Impl::SetVideoFilters(const std::string& v) {
  std::lock_guard<std::mutex> g(FFilterLock);
  if (v == FVideoFilters) return;
  FVideoFilters = v;
  FVideoFiltersChanged = true;
}

void TAVPlayer::Impl::SetCoverImage(const TBitmap& v) {
  int w, h;
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
    FCoverImage.Assign(v);
    w = FCoverImage.Width();
    h = FCoverImage.Height();
  }
  CoverViews(w, h);
}

AVRational TAVPlayer::Impl::Sar() const {
  std::lock_guard<std::mutex> g(const_cast<std::mutex&>(FPictQMutex));
  return FSar;
}

void TAVPlayer::Impl::RegisterView(IAVView* AView) {
  if (!AView) return;
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    if (std::find(FViewList.begin(), FViewList.end(), AView) != FViewList.end()) return;
    FViewList.push_back(AView);
  }
  FViewsEpoch++;  // the new view has not been given the graph's size
  const int w = GetVideoWidth(), h = GetVideoHeight();
  if (w <= 0 || h <= 0) return;
  auto size = [this, AView, w, h] {
    CallView(AView, [w, h](IAVView* v) { v->SetViewSize(RoundTo16(w), h); });
    FViewsEpoch++;
  };
  if (HandToViewWriter(size)) return;
  if (MainThread::IsMainThread()) size();
  else MainThread::Synchronize(size);
}

void TAVPlayer::Impl::UnRegisterView(IAVView* AView) {
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    FViewList.erase(std::remove(FViewList.begin(), FViewList.end(), AView), FViewList.end());
  }
  // Once this returns the caller may destroy the view: a call of it running
  // on another thread is waited for (one on this thread is the caller itself).
  const auto self = std::this_thread::get_id();
  std::unique_lock<std::mutex> c(FViewCallLock);
  FViewCallCond.wait(c, [&] {
    return std::none_of(FViewsInCall.begin(), FViewsInCall.end(),
                        [&](const auto& e) { return e.first == AView && e.second != self; });
  });
}

int TAVPlayer::Impl::GetVideoWidth() const {
  if (FVideoStreamIndex.load() < 0) return 0;
  if (FGraphWidth.load() > 0) return FGraphWidth.load();
  return FCodecWidth.load();
}

int TAVPlayer::Impl::GetVideoHeight() const {
  if (FVideoStreamIndex.load() < 0) return 0;
  if (FGraphHeight.load() > 0) return FGraphHeight.load();
  return FCodecHeight.load();
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TAVPlayer, "player");

}  // namespace kivora
