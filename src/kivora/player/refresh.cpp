// The refresh thread: decides when the next picture is due, shows it on the
// GUI thread through every registered view, and shows the cover image of
// sound-only inputs. Also the frame-to-bitmap copies views use.
#include <chrono>
#include <cstring>

#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/thread.h"
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"

namespace kivora {

namespace {

// Marks a call handed to the GUI thread finished when the GUI side is done
// with it: after it ran, or when the hand-off is dropped because the
// application shuts down.
template <typename Call>
struct TMarkFinished {
  std::shared_ptr<Call> call;
  ~TMarkFinished() {
    if (!call) return;
    {
      std::lock_guard<std::mutex> g(call->lock);
      call->finished = true;
    }
    call->cond.notify_all();
  }
};

}  // namespace

void TAVPlayer::Impl::RefreshThreadExecute() {
  TThreadLoggerGuard logger(&q);
  FViewWriterThread = std::this_thread::get_id();
  try {
    RefreshLoop();
  } catch (const TPlayerGone&) {
    // Destroyed from its own display call on this thread: the player and its
    // movie are gone, and the close has let this thread go.
    return;
  }
  EndViewWriter();
}

bool TAVPlayer::Impl::HandToViewWriter(const std::function<void()>& fn) {
  if (MainThread::HasGuiThread()) return false;
  {
    std::lock_guard<std::mutex> g(FViewCallLock);
    if (!FViewWriter || FViewWriterThread.load() == std::this_thread::get_id()) return false;
    FViewWork.push_back(fn);
  }
  KickRefresh();
  return true;
}

void TAVPlayer::Impl::RunViewWork() {
  if (FViewWriterThread.load() != std::this_thread::get_id()) return;
  for (;;) {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> g(FViewCallLock);
      work.swap(FViewWork);
    }
    if (work.empty()) return;
    const std::shared_ptr<TLifeToken> life = FLife;
    for (const auto& fn : work) {
      try {
        fn();
      } catch (const std::exception& e) {
        DoLog(AV_LOG_ERROR, e.what());
      }
      if (life->GoneHere()) throw TPlayerGone{};
    }
  }
}

void TAVPlayer::Impl::EndViewWriter() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> g(FViewCallLock);
    FViewWriter = false;
    work.swap(FViewWork);
  }
  FViewWriterThread = std::thread::id();
  for (const auto& fn : work) {
    try {
      fn();
    } catch (const std::exception& e) {
      DoLog(AV_LOG_ERROR, e.what());
    }
  }
}

void TAVPlayer::Impl::ViewsFromMovie(const std::function<void()>& fn) {
  if (MainThread::HasGuiThread()) {
    RunOnGui(fn);
    return;
  }
  if (!HandToViewWriter(fn)) fn();
}

void TAVPlayer::Impl::RefreshLoop() {
  while (!FAbortRequest.load()) {
    RunViewWork();
    // Without a picture to wait for, the thread sleeps until a picture is
    // queued, playback resumes, a seek or a close wakes it (FRefreshKick).
    double remaining = 0.1;
    unsigned seen;
    {
      std::lock_guard<std::mutex> g(FPictQMutex);
      seen = FRefreshKick;
    }
    if (!FRefresh.load() && !FPaused.load()) {
      FRefresh = true;
      try {
        video_refresh(remaining);
      } catch (const std::exception& e) {
        DoLog(AV_LOG_ERROR, e.what());
      }
      FRefresh = false;
    }
    const bool audioOnly = FAudioStreamIndex.load() >= 0 && FVideoStreamIndex.load() < 0;
    if (audioOnly) remaining = std::min(remaining, 0.02);
    // The external clock's speed follows the queues of a live input.
    if (get_master_sync_type() == 2 && FIsRealTime.load()) remaining = std::min(remaining, 0.01);
    if (remaining <= 0) continue;
    std::unique_lock<std::mutex> g(FPictQMutex);
    FPictQCond.wait_for(g, std::chrono::duration<double>(remaining),
                        [&] { return FRefreshKick != seen || FAbortRequest.load(); });
  }
}

void TAVPlayer::Impl::KickRefresh() {
  {
    std::lock_guard<std::mutex> g(FPictQMutex);
    FRefreshKick++;
  }
  FPictQCond.notify_all();
}

// A step also ends where a decoder has nothing more to give for the current
// position: at the end of its stream, or on a cover picture, which is decoded
// once. The cover is shown again so the step still shows a picture.
void TAVPlayer::Impl::EndStepWithoutPictures(bool picturesWaiting) {
  const int step = FStep.load();
  if (!step || FPaused.load() || !FM) return;
  if ((step & STEP_AUDIO) && FAudioQ && FM->audio_finished.load() == FAudioQ->Serial())
    CheckStep(true, FAudioQ->Serial());
  if (picturesWaiting || !(FStep.load() & STEP_VIDEO) || !FVideoQ) return;
  const int serial = FVideoQ->Serial();
  if (!FVideoMoving.load()) {
    if (!FCurrentVP || !FCurrentVP->bmp || FCurrentVP->serial != serial) return;  // the cover is not decoded yet
    ShowOnGui([this] { DrawImage(); });
    CheckStep(false, serial);
  } else if (video_finished.load() == serial) {
    CheckStep(false, serial);
  }
}

void TAVPlayer::Impl::video_refresh(double& remaining) {
  if (!FPaused.load() && get_master_sync_type() == 2 && FIsRealTime.load()) check_external_clock_speed();
  if (FVideoStreamIndex.load() >= 0) {
    for (;;) {
      bool empty;
      {
        std::lock_guard<std::mutex> g(FPictQMutex);
        empty = pictq_size <= 0;
      }
      EndStepWithoutPictures(!empty);
      if (empty) return;
      TVideoPicture& vp = FPictq[pictq_rindex];
      if (vp.serial != FVideoQ->Serial()) {
        // Decoded before the last seek or stream switch.
        pictq_next_picture();
        video_current_pos = -1;
        continue;
      }
      const TVideoPicture& lastvp = FPictq[(pictq_rindex + VIDEO_PICTURE_QUEUE_SIZE - 1) % VIDEO_PICTURE_QUEUE_SIZE];
      if (lastvp.serial != vp.serial) frame_timer = NowSeconds();
      const double time = NowSeconds();
      if (!FPaused.load()) {
        const double delay = compute_target_delay(vp_duration(lastvp, vp));
        if (time < frame_timer.load() + delay) {
          remaining = std::min(remaining, frame_timer.load() + delay - time);
          return;  // not due yet
        }
        double ft = frame_timer.load() + delay;
        if (delay > 0 && time - ft > AV_SYNC_THRESHOLD_MAX) ft = time;
        frame_timer = ft;
      }
      {
        std::lock_guard<std::mutex> g(FPictQMutex);
        if (!std::isnan(vp.pts)) update_video_pts(vp.pts, vp.pos, vp.serial);
      }
      bool hasNext;
      {
        std::lock_guard<std::mutex> g(FPictQMutex);
        hasNext = pictq_size > 1;
      }
      if (hasNext) {
        const TVideoPicture& nextvp = FPictq[(pictq_rindex + 1) % VIDEO_PICTURE_QUEUE_SIZE];
        if (!(FStep.load() & STEP_VIDEO) && FFrameDrop.load() && time > frame_timer.load() + vp_duration(vp, nextvp)) {
          {
            std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
            av_frame_free(&vp.bmp);
          }
          FFramesDropped++;
          pictq_next_picture();
          continue;
        }
      }
      RetireSubtitles();
      const int shownSerial = vp.serial;
      video_display();
      pictq_next_picture();
      if (FStep.load() && !FPaused.load()) CheckStep(false, shownSerial);
      remaining = 0;  // the next picture's due time is worked out at once
      return;         // at most one picture per refresh
    }
  } else if (FAudioStreamIndex.load() >= 0) {
    video_display();
    EndStepWithoutPictures(false);
  }
}

void TAVPlayer::Impl::video_display() {
  if (FVideoStreamIndex.load() >= 0) video_image_display();
  else if (FAudioStreamIndex.load() >= 0) video_audio_display();
}

void TAVPlayer::Impl::video_image_display() {
  TVideoPicture& vp = FPictq[pictq_rindex];
  if (FSubtitleStreamIndex.load() >= 0 && vp.bmp) {
    // Held while blending: a stream switch on the read thread frees the
    // queued subtitles under this lock.
    std::lock_guard<std::mutex> g(FSubpQMutex);
    if (FM->FSubpQSize > 0) {
      const TSubPicture& sp = FM->FSubpQ[FM->FSubpQRindex];
      if (vp.pts >= sp.pts + sp.sub.start_display_time / 1000.0 && sp.sub.num_rects > 0) {
        std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
        if (av_frame_make_writable(vp.bmp) >= 0)
          for (unsigned i = 0; i < sp.sub.num_rects; i++) blend_rect(vp, sp.sub.rects[i]);
      }
    }
  }
  FCurrentVP = &vp;
  if (FAbortRequest.load()) return;
  ShowOnGui([this] { DrawImage(); });
}

void TAVPlayer::Impl::ShowOnGui(const std::function<void()>& fn) {
  if (!MainThread::HasGuiThread()) {
    // A console program: no GUI thread to hand over to. The handler and the
    // views run here, and may destroy the player. The views' sizes asked for
    // before this picture was queued come first.
    RunViewWork();
    const std::shared_ptr<TLifeToken> life = FLife;
    fn();
    if (life->GoneHere()) throw TPlayerGone{};
    return;
  }
  auto call = std::make_shared<TDisplayCall>();
  {
    std::lock_guard<std::mutex> g(FDisplayLock);
    if (FGuiClosed) return;  // the movie closes: nothing more is shown
    FDisplayCall = call;
  }
  auto finish = std::make_shared<TMarkFinished<TDisplayCall>>();
  finish->call = call;
  MainThread::Queue([this, call, finish, fn] {
    {
      std::lock_guard<std::mutex> g(call->lock);
      if (call->released) return;  // the player is closed or gone: touch nothing
      call->started = true;
    }
    FDisplayDepth++;
    struct TDepth {
      TAVPlayer::Impl* p;
      std::shared_ptr<TDisplayCall> call;
      ~TDepth() {
        std::lock_guard<std::mutex> g(call->lock);
        if (!call->released) p->FDisplayDepth--;
      }
    } depth{this, call};
    try {
      fn();
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(call->lock);
      if (!call->released) DoLog(AV_LOG_ERROR, e.what());
    }
  });
  finish.reset();
  std::unique_lock<std::mutex> g(call->lock);
  call->cond.wait(g, [&] { return call->finished || call->released; });
  g.unlock();
  std::lock_guard<std::mutex> d(FDisplayLock);
  FDisplayCall.reset();
}

bool TAVPlayer::Impl::RunOnGui(const std::function<void()>& fn) {
  if (!MainThread::HasGuiThread() || MainThread::IsMainThread()) {
    fn();
    return true;
  }
  auto call = std::make_shared<TGuiCall>();
  const std::shared_ptr<TLifeToken> life = FLife;  // fn may destroy the player (OnStart)
  {
    std::lock_guard<std::mutex> g(FDisplayLock);
    if (FGuiClosed) return false;
    FGuiCalls.push_back(call);
  }
  auto finish = std::make_shared<TMarkFinished<TGuiCall>>();
  finish->call = call;
  // Once cancelled the queued call touches nothing of the player, which may
  // be gone by the time the GUI thread gets to it.
  MainThread::Queue([this, call, finish, fn] {
    {
      std::lock_guard<std::mutex> g(call->lock);
      if (call->cancelled) return;
      call->started = true;
    }
    try {
      fn();
    } catch (const std::exception& e) {
      DoLog(AV_LOG_ERROR, e.what());
    }
  });
  finish.reset();
  bool ran;
  {
    std::unique_lock<std::mutex> g(call->lock);
    call->cond.wait(g, [&] { return call->finished || call->cancelled; });
    ran = call->started;
  }
  {
    std::lock_guard<std::mutex> g(life->m);
    if (!life->alive) return ran;  // destroyed by fn: touch nothing
  }
  std::lock_guard<std::mutex> g(FDisplayLock);
  std::erase(FGuiCalls, call);
  return ran;
}

void TAVPlayer::Impl::CancelGuiCalls() {
  std::vector<std::shared_ptr<TGuiCall>> calls;
  std::shared_ptr<TDisplayCall> display;
  {
    std::lock_guard<std::mutex> g(FDisplayLock);
    FGuiClosed = true;
    calls = FGuiCalls;
    display = FDisplayCall;
  }
  for (const auto& c : calls) {
    {
      std::lock_guard<std::mutex> g(c->lock);
      if (!c->started) c->cancelled = true;
    }
    c->cond.notify_all();
  }
  if (display) {
    {
      std::lock_guard<std::mutex> g(display->lock);
      if (!display->started) display->released = true;
    }
    display->cond.notify_all();
  }
}

void TAVPlayer::Impl::ReleaseDisplayCall() {
  std::shared_ptr<TDisplayCall> call;
  {
    std::lock_guard<std::mutex> g(FDisplayLock);
    call = FDisplayCall;
  }
  if (!call) return;
  {
    std::lock_guard<std::mutex> g(call->lock);
    call->released = true;
  }
  call->cond.notify_all();
  FDisplayDepth = 0;
}

bool TAVPlayer::Impl::ForEachView(const std::function<void(IAVView*)>& fn) {
  if (HandToViewWriter([this, fn] { ForEachView(fn); })) return true;
  if (!MainThread::IsMainThread()) {
    bool all = true;
    MainThread::Synchronize([&] { all = ForEachView(fn); });
    return all;
  }
  std::shared_ptr<TDisplayCall> call;
  {
    std::lock_guard<std::mutex> g(FDisplayLock);
    call = FDisplayCall;
  }
  auto released = [&] {
    if (!call) return false;
    std::lock_guard<std::mutex> g(call->lock);
    return call->released;
  };
  std::vector<IAVView*> views;
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    views = FViewList;
  }
  // A view may unregister views itself; those are not called any more.
  for (IAVView* view : views) CallView(view, fn);
  return !released();
}

void TAVPlayer::Impl::CallView(IAVView* view, const std::function<void(IAVView*)>& fn) {
  {
    // Marked as in a call while still registered, so another thread's
    // UnRegisterView (after which the view may be destroyed) waits for it.
    std::lock_guard<std::recursive_mutex> g(FMutex);
    if (std::find(FViewList.begin(), FViewList.end(), view) == FViewList.end()) return;
    std::lock_guard<std::mutex> c(FViewCallLock);
    FViewsInCall.emplace_back(view, std::this_thread::get_id());
  }
  struct TEnd {
    TAVPlayer::Impl* p;
    IAVView* view;
    ~TEnd() {
      {
        std::lock_guard<std::mutex> c(p->FViewCallLock);
        auto& v = p->FViewsInCall;
        const auto it = std::find(v.begin(), v.end(), std::make_pair(view, std::this_thread::get_id()));
        if (it != v.end()) v.erase(it);
      }
      p->FViewCallCond.notify_all();
    }
  } end{this, view};
  // No lock of the player is held here: a view may call back into the
  // player, and hand work to threads that do.
  fn(view);
}

void TAVPlayer::Impl::video_audio_display() {
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    if (FCoverImage.IsEmpty()) return;
  }
  if (FAbortRequest.load()) return;
  FCurrentVP = &FPictq[0];
  ShowOnGui([this] { DrawBitmap(); });
  // About ten times a second; a close ends the wait at once.
  std::unique_lock<std::mutex> g(wait_mutex);
  continue_read_thread.wait_for(g, std::chrono::milliseconds(100), [this] { return FAbortRequest.load(); });
}

void TAVPlayer::Impl::DrawImage() {
  if (FAbortRequest.load() || !FCurrentVP) return;
  // The handler and the views get a reference of their own to the picture,
  // so no lock of the player is held while they run.
  AVFramePtr shown;
  {
    std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
    if (FCurrentVP->bmp) shown.reset(av_frame_clone(FCurrentVP->bmp));
  }
  AVFrame* const frame = shown.get();
  if (frame && OnVideoDisplay) {
    // The handler may destroy or reopen the player: it runs from a copy, and
    // nothing of the player is touched after it unless the call still holds.
    std::shared_ptr<TDisplayCall> call;
    {
      std::lock_guard<std::mutex> g(FDisplayLock);
      call = FDisplayCall;
    }
    const TVideoDisplayEvent handler = OnVideoDisplay;
    if (!RunHandler([&] { handler(&q, frame); }).alive) return;
    if (call) {
      std::lock_guard<std::mutex> g(call->lock);
      if (call->released) return;
    }
    if (FAbortRequest.load()) return;
  }
  if (frame && !ForEachView([this, frame](IAVView* view) {
        if (!FAbortRequest.load()) view->DoVideoDisplay(frame);
      }))
    return;
  if (FVideoMoving.load()) {
    // Shown: its memory goes back to the pool. A cover is kept, as it is
    // decoded only once and a step shows it again.
    std::lock_guard<std::recursive_mutex> b(FBitmapMutex);
    av_frame_free(&FCurrentVP->bmp);
  }
  if (FFrameNumber.load() == 0) FFPSTime = NowSeconds();
  const int n = ++FFrameNumber;
  const double secs = std::max(1.0, std::floor(NowSeconds() - FFPSTime));
  FFps = n / secs;
}

void TAVPlayer::Impl::DrawBitmap() {
  if (FAbortRequest.load() || !FCurrentVP) return;
  // The cover goes out as a picture of its own: no lock of the player is
  // held while the handler and the views run, and nothing they keep points
  // into the player.
  AVFramePtr cover(av_frame_alloc());
  if (!cover) return;
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    TBitmapData data;
    if (!FCoverImage.Map(TMapAccess::Read, data)) return;
    cover->width = data.Width;
    cover->height = data.Height;
    cover->format = AV_PIX_FMT_RGBA;
    const bool made = av_frame_get_buffer(cover.get(), 0) >= 0;
    if (made)
      av_image_copy_plane(cover->data[0], cover->linesize[0], data.Data, data.Pitch, data.Width * 4, data.Height);
    FCoverImage.Unmap(data);
    if (!made) return;
  }
  if (OnVideoDisplay) {
    std::shared_ptr<TDisplayCall> call;
    {
      std::lock_guard<std::mutex> g(FDisplayLock);
      call = FDisplayCall;
    }
    const TVideoDisplayEvent handler = OnVideoDisplay;
    if (!RunHandler([&] { handler(&q, cover.get()); }).alive) return;
    if (call) {
      std::lock_guard<std::mutex> g(call->lock);
      if (call->released) return;
    }
    if (FAbortRequest.load()) return;
  }
  ForEachView([&](IAVView* view) { view->DoVideoDisplay(cover.get()); });
}

void TAVPlayer::Impl::UpdateBitmapSize() { SizeViews(RoundTo16(GetVideoWidth()), GetVideoHeight()); }

void TAVPlayer::Impl::SizeViews(int w, int h) {
  // A view added or sized elsewhere meanwhile moves the epoch on, and the
  // size is then not taken as every view's.
  const uint32_t epoch = FViewsEpoch.load();
  ForEachView([w, h](IAVView* view) { view->SetViewSize(w, h); });
  ForEachView([](IAVView* view) { view->Clear(0xFF000000u); });
  FViewsSizedTo = ViewsSizeKey(w, h, epoch);
}

void TAVPlayer::Impl::PresizeViews() {
  // Where no size is guessed, or a cover is shown, the views are sized when
  // the graph is built. A wrong guess costs one more resize, never a wrong
  // size: the graph's real size is compared before its first picture.
  int w, h;
  if (!GuessPictureSize(w, h)) return;
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    if (!FCoverImage.IsEmpty()) return;
  }
  ViewsFromMovie([this, vw = RoundTo16(w), h] { SizeViews(vw, h); });
}

void TAVPlayer::Impl::UpdateCoverSize() {
  int w, h;
  {
    std::lock_guard<std::recursive_mutex> g(FMutex);
    if (FCoverImage.IsEmpty()) return;
    w = FCoverImage.Width();
    h = FCoverImage.Height();
  }
  CoverViews(w, h);
}

void TAVPlayer::Impl::CoverViews(int w, int h) {
  ForEachView([w, h](IAVView* view) { view->SetViewSize(w, h); });
  FViewsEpoch++;  // no longer the size SizeViews gave
}

// Drops subtitles whose time is over, or that a seek or a stream switch made
// obsolete.
void TAVPlayer::Impl::RetireSubtitles() {
  if (FSubtitleStreamIndex.load() < 0 || !FSubtitleQ) return;
  const double t = clock_pts(vidclk);
  const int serial = FSubtitleQ->Serial();
  std::lock_guard<std::mutex> g(FSubpQMutex);
  bool retired = false;
  while (FM->FSubpQSize > 0) {
    TSubPicture& sp = FM->FSubpQ[FM->FSubpQRindex];
    const TSubPicture* sp2 = FM->FSubpQSize > 1 ? &FM->FSubpQ[(FM->FSubpQRindex + 1) % SUBPICTURE_QUEUE_SIZE] : nullptr;
    if (sp.serial == serial && !(t > sp.pts + sp.sub.end_display_time / 1000.0) &&
        !(sp2 && t > sp2->pts + sp2->sub.start_display_time / 1000.0))
      break;
    avsubtitle_free(&sp.sub);
    FM->FSubpQRindex = (FM->FSubpQRindex + 1) % SUBPICTURE_QUEUE_SIZE;
    FM->FSubpQSize--;
    retired = true;
  }
  if (retired) FSubpQCond.notify_all();
}

// ---- frame copies into bitmaps ----

namespace {

// Resizes a bitmap on the GUI thread (bitmaps belong to it).
void ResizeOnGui(TBitmap* bmp, int w, int h) {
  if (bmp->Width() == w && bmp->Height() == h) return;
  MainThread::Synchronize([bmp, w, h] { bmp->SetSize(w, h); });
}

// Copies `rows` rows of one plane into a mapped bitmap, each row at most as
// long as both the source row and the bitmap row.
void CopyPlane(const uint8_t* src, int srcPitch, int rows, TBitmapData& dst) {
  if (!src || srcPitch <= 0) return;
  const int n = std::min(srcPitch, dst.Pitch);
  rows = std::min(rows, dst.Height);
  for (int y = 0; y < rows; y++) std::memcpy(dst.Data + static_cast<ptrdiff_t>(y) * dst.Pitch, src + static_cast<ptrdiff_t>(y) * srcPitch, static_cast<size_t>(n));
}

}  // namespace

void TAVPlayer::Impl::DrawVideo(TBitmap* ASurface, AVFrame* AFrame) {
  Assert(ASurface != nullptr, "AVPlayer", 3746);
  if (!AFrame || AFrame->width <= 0 || AFrame->height <= 0 || !AFrame->data[0]) return;
  ResizeOnGui(ASurface, AFrame->width, AFrame->height);
  TBitmapData d;
  if (!ASurface->Map(TMapAccess::Write, d)) return;
  const int w = std::min(AFrame->width, d.Width), h = std::min(AFrame->height, d.Height);
  const auto fmt = static_cast<AVPixelFormat>(AFrame->format);
  if (fmt == AV_PIX_FMT_RGBA || fmt == AV_PIX_FMT_BGRA || fmt == AV_PIX_FMT_RGB0 || fmt == AV_PIX_FMT_BGR0) {
    const int rowBytes = std::min(w * 4, AFrame->linesize[0] > 0 ? AFrame->linesize[0] : w * 4);
    if (AFrame->linesize[0] == d.Pitch && w == d.Width) {
      std::memcpy(d.Data, AFrame->data[0], static_cast<size_t>(d.Pitch) * h);
    } else {
      for (int y = 0; y < h; y++)
        std::memcpy(d.Data + static_cast<ptrdiff_t>(y) * d.Pitch, AFrame->data[0] + static_cast<ptrdiff_t>(y) * AFrame->linesize[0],
                    static_cast<size_t>(rowBytes));
    }
  } else if (fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_NV12) {
    // Y, U, V of each pixel side by side in its 4 bytes; the fourth byte is
    // left as it was.
    const bool nv12 = fmt == AV_PIX_FMT_NV12;
    for (int y = 0; y < h; y++) {
      const uint8_t* Y = AFrame->data[0] + static_cast<ptrdiff_t>(y) * AFrame->linesize[0];
      const uint8_t* U = AFrame->data[1] + static_cast<ptrdiff_t>(y / 2) * AFrame->linesize[1];
      const uint8_t* V = nv12 ? U + 1 : AFrame->data[2] + static_cast<ptrdiff_t>(y / 2) * AFrame->linesize[2];
      uint8_t* out = d.Data + static_cast<ptrdiff_t>(y) * d.Pitch;
      for (int x = 0; x < w; x++) {
        const int c = nv12 ? (x / 2) * 2 : x / 2;
        out[x * 4 + 0] = Y[x];
        out[x * 4 + 1] = U[c];
        out[x * 4 + 2] = V[c];
      }
    }
  } else {
    // Any other format is converted to RGBA first.
    SwsContextPtr sws(sws_getContext(AFrame->width, AFrame->height, fmt, w, h, AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr,
                                     nullptr, nullptr));
    if (sws) {
      uint8_t* dst[4] = {d.Data, nullptr, nullptr, nullptr};
      int dstStride[4] = {d.Pitch, 0, 0, 0};
      sws_scale(sws.get(), AFrame->data, AFrame->linesize, 0, AFrame->height, dst, dstStride);
    }
  }
  ASurface->Unmap(d);
}

void TAVPlayer::Impl::DrawVideo(TBitmap* YSurface, TBitmap* UVSurface, AVFrame* AFrame) {
  Assert(YSurface != nullptr && UVSurface != nullptr, "AVPlayer", 3746);
  if (!AFrame || AFrame->width <= 0 || AFrame->height <= 0) return;
  if (YSurface->Width() != AFrame->width || YSurface->Height() != AFrame->height) {
    ResizeOnGui(YSurface, AFrame->width, AFrame->height);
    ResizeOnGui(UVSurface, std::max(1, AFrame->width / 2), std::max(1, AFrame->height / 2));
  }
  TBitmapData d;
  if (YSurface->Map(TMapAccess::Write, d)) {
    CopyPlane(AFrame->data[0], AFrame->linesize[0], AFrame->height, d);
    YSurface->Unmap(d);
  }
  if (UVSurface->Map(TMapAccess::Write, d)) {
    CopyPlane(AFrame->data[1], AFrame->linesize[1], (AFrame->height + 1) / 2, d);
    UVSurface->Unmap(d);
  }
}

void TAVPlayer::Impl::DrawVideo(TBitmap* YSurface, TBitmap* USurface, TBitmap* VSurface, AVFrame* AFrame) {
  Assert(YSurface != nullptr && USurface != nullptr && VSurface != nullptr, "AVPlayer", 3746);
  if (!AFrame || AFrame->width <= 0 || AFrame->height <= 0) return;
  if (YSurface->Width() != AFrame->width || YSurface->Height() != AFrame->height) {
    ResizeOnGui(YSurface, AFrame->width, AFrame->height);
    ResizeOnGui(USurface, std::max(1, AFrame->width / 2), std::max(1, AFrame->height / 2));
    ResizeOnGui(VSurface, std::max(1, AFrame->width / 2), std::max(1, AFrame->height / 2));
  }
  TBitmap* planes[3] = {YSurface, USurface, VSurface};
  for (int p = 0; p < 3; p++) {
    TBitmapData d;
    if (!planes[p]->Map(TMapAccess::Write, d)) continue;
    CopyPlane(AFrame->data[p], AFrame->linesize[p], p == 0 ? AFrame->height : (AFrame->height + 1) / 2, d);
    planes[p]->Unmap(d);
  }
}

void TAVPlayer::Impl::DrawVideo(AVFrame* /*AFrame*/) {}

void TAVPlayer::Impl::SaveFrameToBitmap(AVFrame* AFrame, TBitmap* ABitmap) {
  if (!AFrame || !ABitmap || AFrame->width <= 0 || AFrame->height <= 0) return;
  const auto fmt = static_cast<AVPixelFormat>(AFrame->format);
  if (fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_YUVJ420P) return;
  ABitmap->SetSize(AFrame->width, AFrame->height);
  TBitmapData d;
  if (!ABitmap->Map(TMapAccess::Write, d)) return;
  auto clamp8 = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
  for (int y = 0; y < AFrame->height; y++) {
    const uint8_t* Yp = AFrame->data[0] + static_cast<ptrdiff_t>(y) * AFrame->linesize[0];
    const uint8_t* Up = AFrame->data[1] + static_cast<ptrdiff_t>(y / 2) * AFrame->linesize[1];
    const uint8_t* Vp = AFrame->data[2] + static_cast<ptrdiff_t>(y / 2) * AFrame->linesize[2];
    uint8_t* out = d.Data + static_cast<ptrdiff_t>(y) * d.Pitch;
    for (int x = 0; x < AFrame->width; x++) {
      const double Y = Yp[x] - 16.0, Cb = Up[x / 2] - 128.0, Cr = Vp[x / 2] - 128.0;
      // The bitmap's bytes are R, G, B, A.
      out[x * 4 + 0] = clamp8(1.164 * Y + 1.596 * Cr);
      out[x * 4 + 1] = clamp8(1.164 * Y - 0.813 * Cr - 0.391 * Cb);
      out[x * 4 + 2] = clamp8(1.164 * Y + 2.018 * Cb);
      out[x * 4 + 3] = 255;
    }
  }
  ABitmap->Unmap(d);
}

}  // namespace kivora
