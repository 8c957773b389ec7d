#pragma once
// The player's insides: the state of the open movie, its threads, the queues,
// the clocks and the FFmpeg objects. TAVPlayer holds one Impl and forwards
// its public calls to it; everything of the player's own sources works on
// the Impl.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivora/platform/bitmap.h"
#include "kivora/platform/timer.h"
#include "kivora/player/clock.h"
#include "kivora/player/packet_queue.h"
#include "kivora/player/player.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/utils.h"

struct Mix_Chunk;

namespace kivora {

constexpr int STEP_AUDIO = 1;
constexpr int STEP_VIDEO = 2;
constexpr int VIDEO_PICTURE_QUEUE_SIZE = 4;
constexpr int SUBPICTURE_QUEUE_SIZE = 16;
constexpr int MAX_QUEUE_SIZE = 15 * 1024 * 1024;
constexpr int MIN_FRAMES = 25;
// The video graph cuts pictures to whole multiples of 16 pixels, the views'
// unit; a side shorter than 16 is kept whole rather than cut to nothing.
constexpr int CutTo16(int v) { return v < 16 ? v : v / 16 * 16; }

struct TVideoPicture {
  double pts = 0;       // seconds; NaN without a timestamp
  double duration = 0;  // seconds, from the frame rate; 0 when unknown
  int64_t pos = -1;     // byte position of the source packet
  AVFrame* bmp = nullptr;
  int width = 0;
  int height = 0;
  bool allocated = false;
  int serial = 0;
  int pix_fmt = -1;
  AVRational sar{0, 1};
};

struct TSubPicture {
  double pts = 0;
  AVSubtitle sub{};
  int serial = 0;
};

struct TAudioParams {
  int freq = 0;
  int channels = 0;
  int64_t channel_layout = 0;
  int fmt = -1;
  int frame_size = 0;
  int bytes_per_sec = 0;
};

struct TMovie;

// The module's list of live players (closed at process exit).
void AddToPlayerList(TAVPlayer* player);
void RemoveFromPlayerList(TAVPlayer* player);

struct TAVPlayer::Impl {
  TAVPlayer& q;  // the player this belongs to: its events, its virtual methods
  explicit Impl(TAVPlayer& owner);
  // The destructor's work, before the members go.
  void Destroy();

  // The public calls, as player.h describes them; TAVPlayer forwards here.
  void OpenMovie(const std::string& AMovie, bool Paused = false, bool Block = false);
  bool CloseMovie();
  void Play();
  void Pause();
  void StepForward();
  double GetPosition();
  void SetPosition(double x);
  bool Playing() const;
  bool Paused() const { return FPaused.load(); }

  void RegisterView(IAVView* AView);
  void UnRegisterView(IAVView* AView);

  void DrawVideo(TBitmap* ASurface, AVFrame* AFrame);
  void DrawVideo(TBitmap* YSurface, TBitmap* UVSurface, AVFrame* AFrame);
  void DrawVideo(TBitmap* YSurface, TBitmap* USurface, TBitmap* VSurface, AVFrame* AFrame);
  void DrawVideo(AVFrame* AFrame);
  void SaveFrameToBitmap(AVFrame* AFrame, TBitmap* ABitmap);

  int VideoStreamCount() const;
  int AudioStreamCount() const;
  int SubtitleStreamCount() const;
  int VideoStreamIndex() const;
  int AudioStreamIndex() const;
  int SubtitleStreamIndex() const;
  void SetVideoStreamIndex(int i);
  void SetAudioStreamIndex(int i);
  void SetSubtitleStreamIndex(int i);
  std::vector<TAVStreamProperties> VideoStreamProperties() const;
  std::vector<TAVStreamProperties> AudioStreamProperties() const;
  std::vector<TAVStreamProperties> SubtitleStreamProperties() const;
  int GetVideoStream() const;
  int GetAudioStream() const;
  int GetSubtitleStream() const;
  TStringList Metadatas() const;
  void UpdateMetaDatas();
  std::string GetShoutcastMeta();
  std::string GetShoutcastMetaHeader();

  int GetVideoWidth() const;
  int GetVideoHeight() const;
  double Duration() const { return FDuration.load(); }
  bool Infinite() const { return FInfinite.load(); }
  double VideoFrameRate() const { return FVideoFrameRate.load(); }
  int OutputPixelFormat() const { return FOutputPixelFormat.load(); }
  int DecoderPixelFormat() const { return FVideoStreamIndex.load() >= 0 ? FDecodedPixelFormat.load() : -1; }
  int64_t FramesDropped() const { return FFramesDropped.load(); }
  bool FilterChanged() const { return FVideoFiltersChanged.load() || FAudioFiltersChanged.load(); }
  AVRational Sar() const;
  double Fps() const { return FFps.load(); }
  int FrameNumber() const { return FFrameNumber.load(); }
  int64_t AudioCallbackTime() const { return FAudioCallbackTime.load(); }
  int AudioWriteBufSize() const { return audio_write_buf_size.load(); }
  std::string LastErrorMessage() const;
  const std::string& Movie() const { return FMovie; }
  double MasterClock() { return get_master_clock(); }
  double VideoClock() const { return get_clock(vidclk); }
  double AudioClock() const { return get_clock(audclk); }

  const std::string& InputFormat() const { return FInputFormat; }
  void SetInputFormat(const std::string& v) { FInputFormat = v; }
  int ThreadCount() const { return FThreadCount; }
  void SetThreadCount(int v) { FThreadCount = v; }
  std::string VideoFilters() const;
  void SetVideoFilters(const std::string& v);
  std::string AudioFilters() const;
  void SetAudioFilters(const std::string& v);
  bool FrameDrop() const { return FFrameDrop.load(); }
  void SetFrameDrop(bool v) { FFrameDrop = v; }
  double Volume() const { return FVolume.load(); }
  void SetVolume(double v);
  TAVLogLevel LogLevel() const { return FLogLevel.load(); }
  void SetLogLevel(TAVLogLevel v) { FLogLevel = v; }
  const TStringList& Options() const { return FOptions; }
  void SetOptions(const TStringList& v) { FOptions.Assign(v); }
  TBitmap& CoverImage() { return FCoverImage; }
  void SetCoverImage(const TBitmap& v);
  TAVClock ClockType() const { return FClockType.load(); }
  void SetClockType(TAVClock v) { FClockType = v; }
  bool DisableVideo() const { return FDisableVideo.load(); }
  void SetDisableVideo(bool v) { FDisableVideo = v; }
  bool DisableAudio() const { return FDisableAudio.load(); }
  void SetDisableAudio(bool v) { FDisableAudio = v; }
  bool DisableSubtitle() const { return FDisableSubtitle.load(); }
  void SetDisableSubtitle(bool v) { FDisableSubtitle = v; }
  bool RGBMode() const { return FRGBMode.load(); }
  void SetRGBMode(bool v) { FRGBMode = v; }
  bool HardwareAccelerated() const { return FHardwareAccelerated; }
  void SetHardwareAccelerated(bool v) { FHardwareAccelerated = v; }
  int Timeout() const { return FTimeout.load(); }
  void SetTimeout(int seconds) { FTimeout = seconds; }
  bool ForceYv12() const { return FForceYv12.load(); }
  void SetForceYv12(bool v) { FForceYv12 = v; }
  TComponent* VideoSurface() const { return FVideoSurface; }
  void SetVideoSurface(TComponent* v) { FVideoSurface = v; }
  TAVSeekMode SeekMode() const { return FSeekMode.load(); }
  void SetSeekMode(TAVSeekMode v) { FSeekMode = v; }
  TAVSeekPositionMode SeekPositionMode() const { return FSeekPositionMode.load(); }
  void SetSeekPositionMode(TAVSeekPositionMode v) { FSeekPositionMode = v; }
  int64_t StartTime() const { return FStartTime.load(); }
  void SetStartTime(int64_t us) { FStartTime = us; }
  int64_t EndTime() const { return FEndTime.load(); }
  void SetEndTime(int64_t us) { FEndTime = us; }

  TNotifyEvent& OnStart;
  TAVErrorEvent& OnConnectionError;
  TNotifyEvent& OnPlaybackFinished;
  TAVLogEvent& OnLog;
  TVideoDisplayEvent& OnVideoDisplay;
  TAVOnAudioBufferEvent& OnAudioBuffer;
  TNotifyEvent& OnFrameAvailable;

  void DoLog(int level, const std::string& message);
  int GetLogLevel();

  void DoPlaybackFinished() { q.DoPlaybackFinished(); }

  void sdl_audio_callback(uint8_t* stream, int len);

  void Notification(TComponent* component, TOperation operation);
  void DoStart() { q.DoStart(); }
  void DoError() { q.DoError(); }

  // ---- lifecycle (player.cpp) ----
  // The movie's life: Idle -> Opening -> Playing -> Closing -> Idle, or
  // Opening -> Idle when an open fails. Guarded by FStateLock.
  enum class TLifeState { Idle, Opening, Playing, Closing };
  void OnStateTimer();
  // A decoder's part of a step is done with data of `serial`; the one that
  // finishes the step pauses.
  void CheckStep(bool IsAudio, int serial);
  void EndStepWithoutPictures(bool picturesWaiting);
  // Starts a step (FStepLock held).
  void BeginStep();
  // After a seek: steps to the new position when paused or stepping.
  void StepAfterSeek();
  void stream_toggle_pause();
  // Pauses or resumes (no change when already so); one thread at a time.
  void SetPausedState(bool paused);
  // Ends the movie's decoders and sound channel and empties what the player
  // keeps between movies (queues, pictures, stream lists, clocks).
  void FreeResources();
  // Waits until no movie is open or opening and no open or close thread runs.
  void WaitForWorkers();
  // Waits (serving the GUI hand-off on the GUI thread) until done() holds
  // under FStateLock.
  template <typename Pred>
  void WaitState(Pred done);
  void SetState(TLifeState s);
  void NotifyState();
  void StartCloser();
  void CloseThreads();
  // Wakes the decoders waiting while paused.
  void WakePauseWaiters();
  // Runs fn on the GUI thread for the refresh thread and waits for it, unless
  // the player is closed from inside that very call (then it stops waiting).
  void ShowOnGui(const std::function<void()>& fn);
  // Runs fn on the GUI thread for a thread of the movie and waits for it;
  // false when the movie began closing before the GUI thread took it up
  // (then fn never runs). Runs fn at once without a GUI thread or on it.
  bool RunOnGui(const std::function<void()>& fn);
  // Cancels the hand-offs of the movie that the GUI thread has not begun and
  // refuses new ones until the next open; one it is running is waited for.
  void CancelGuiCalls();
  // Thrown on the refresh thread when the display call destroyed the player:
  // unwinds to the thread's entry, touching nothing of the freed player.
  struct TPlayerGone {};
  // On the GUI thread inside this player's own display call: lets the
  // refresh thread go on without waiting for the call to end.
  void ReleaseDisplayCall();
  // Calls fn for every registered view on the GUI thread, skipping views
  // unregistered meanwhile. Stops early (returning false) when the display
  // call was released (the player is gone).
  bool ForEachView(const std::function<void(IAVView*)>& fn);
  // Calls fn(view) with no lock of the player held, if the view is still
  // registered; UnRegisterView on another thread waits until the call is over.
  void CallView(IAVView* view, const std::function<void(IAVView*)>& fn);
  // Without a GUI thread (a console program) the views are written by one
  // thread only: while a movie is open, its refresh thread. Calls of views
  // from any other thread are handed to it (in order) and this returns true;
  // false when the caller is to call them itself.
  bool HandToViewWriter(const std::function<void()>& fn);
  // The refresh thread: makes the view calls handed to it so far.
  void RunViewWork();
  // The movie's view writer ends: the calls still waiting are made here.
  void EndViewWriter();
  // Sizes or clears the views for a thread of the movie: on the GUI thread,
  // or by the view writer.
  void ViewsFromMovie(const std::function<void()>& fn);
  // The log thread: hands queued lines to OnLog in order.
  void PostLog(int level, const std::string& message);
  void LogThreadExecute();
  void StopLogThread();
  // Wakes every thread waiting on the picture or subtitle queue.
  void WakeQueueWaiters();
  // Empties the stream lists (FStreamLock held) and forgets the chosen streams.
  void ClearStreamLists();
  static void JoinThreads(std::vector<std::thread>& threads);
  void SetLastError(const std::string& msg);

  // ---- handlers that close, reopen or destroy the player ----
  // Whether the player still exists: handlers may destroy it, so whoever
  // calls one keeps a copy of FLife and touches nothing of the player after
  // the handler unless it says alive.
  struct TLifeToken {
    std::mutex m;
    bool alive = true;
    std::thread::id destroyer;  // the thread running the destructor
    // Whether the calling thread must leave the player alone: it is being
    // destroyed on this very thread (by a handler this thread ran). A
    // destructor running on another thread waits for this thread instead,
    // which goes on to its normal end.
    bool GoneHere() {
      std::lock_guard<std::mutex> g(m);
      return !alive && destroyer == std::this_thread::get_id();
    }
  };
  struct THandlerResult {
    bool alive = true;   // the player was not destroyed by the handler
    bool threw = false;  // the handler threw; error says what
    std::string error;
  };
  // Runs a user handler: the calling thread counts as inside a handler of
  // this player meanwhile, and an exception stops at this boundary (logged
  // through OnLog while the player lives).
  THandlerResult RunHandler(const std::function<void()>& handler, bool logFailure = true);
  // True on a thread that is running one of this player's handlers now.
  bool InOwnHandler() const;
  // An open asked for from inside a handler: carried out on FDeferThread
  // once the movie the handler belongs to has closed; the newest request wins.
  void DeferOpen(const std::string& movie, bool paused);
  void DeferredOpenLoop();
  void OpenMovieNow(const std::string& movie, bool paused, bool block);

  // ---- opening and demuxing (demux.cpp) ----
  // False when a handler it called destroyed the player: the caller must
  // then return without touching it.
  bool OpenMovieInternal();
  bool Stream_Open();
  void InitQueue();
  void FreeQueue();
  void ReadSignal();
  // The read thread sleeps until ready() holds or something it serves asks
  // for it (a close, a seek, a stream switch, a pause change, metadata).
  void WaitForRead(const std::function<bool()>& ready);
  // Something other than packets asks for the read thread (wait_mutex held).
  bool ReadThreadWanted() const;
  // Whether the queues hold enough for now (read thread).
  bool QueuesFull() const;
  // Asks the read thread to seek; a request not served yet is replaced,
  // unless unlessPending (then the pending one stays).
  void stream_seek(int64_t pos, int64_t rel, bool unlessPending = false);
  static int decode_interrupt_cb(void* opaque);
  bool is_realtime(AVFormatContext* ic) const;
  void ReadThreadExecute();
  void SignalFinishEvent();
  void HandleStreamSwitches();
  bool TryInit(bool (Impl::*init)());
  void FreeAudioCtxQuietly();
  void DisableCurrVideoStream();
  void DisableCurrAudioStream();
  void DisableCurrSubtitleStream();
  void GetMetadatas(AVDictionary* dict, TStringList& out) const;
  // Copies the input's and streams' metadata into FMetadatas (threads of the
  // movie only).
  void CopyMetadatas();
  std::atomic<bool> FMetadataRequest{false};
  std::string IcyOption(const char* name);
  void UpdateIcy();
  AVStream* StreamAt(const std::vector<int>& list, int position) const;
  // A stream switch asked for by the application and not yet carried out.
  struct TStreamRequest {
    int position = -2;  // -2: none
    unsigned serial = 0;
  };
  void RequestStreamSwitch(TStreamRequest& req, std::atomic<bool>& changed, int position);
  int RequestedPosition(const TStreamRequest& req, const std::atomic<int>& current) const;
  bool TakeStreamSwitch(TStreamRequest& req, std::atomic<bool>& changed, int& position, unsigned& serial);
  void EndStreamSwitch(TStreamRequest& req, std::atomic<bool>& changed, unsigned serial);
  void ClearStreamSwitches();
  // Where playback is now, for going on from there after a switch: a seek
  // not yet carried out, else the master clock, else (the clock has no
  // data since the last flush) the position playback was last sent to.
  double ResumePosition();
  void ResumeAt(double position, bool forwardOnly = false);
  // Where position 0 lies on the input's timeline, in microseconds: the
  // file's start time (0 when it has none). Positions, Duration, seek
  // targets, StartTime and EndTime all count from there.
  int64_t PositionBase() const;

  // ---- clocks (sync.cpp) ----
  int get_master_sync_type() const;
  double get_master_clock();
  double compute_target_delay(double delay);
  double vp_duration(const TVideoPicture& vp, const TVideoPicture& nextvp) const;
  void update_video_pts(double pts, int64_t pos, int serial);
  void check_external_clock_speed();
  int synchronize_audio(int nb_samples);

  // ---- video (video.cpp) ----
  bool InitVideo();
  void FreeVideoCtx();
  void DestroyVideoFilterGraph();
  // The first picture after an open or a seek comes from a second,
  // single-threaded decoder that is drained after the key packet: the main
  // decoder holds its first picture back until several more packets are in
  // (reordering and frame threads). The main decoder's own copy of that
  // picture, and anything before it, is dropped. Video thread only.
  struct TQuickStart {
    AVCodecContextPtr ctx;      // opened on first use
    bool failed = false;        // cannot be opened for this stream
    bool armed = true;          // the next key packet may take the quick path
    int serial = -1;            // of the picture shown early
    int64_t pts = AV_NOPTS_VALUE;
  };
  bool QuickDecode(TQuickStart& quick, AVPacket* pkt, AVFrame* frame);
  int get_video_frame(AVFrame* frame, AVPacket* pkt, int& serial, TQuickStart& quick);
  // Builds the graph for pictures like `frame`; returns the views' format.
  AVPixelFormat configure_video_filters(AVFrame* frame);
  int queue_picture(AVFrame* frame, double pts, double duration, int64_t pos, int serial);
  void pictq_next_picture();
  void FreeQueueFrames();
  void FlushVideoQueue();
  void VideoThreadExecute();
  AVPixelFormat ChooseOutputFormat(int decoded) const;
  // The size of the first pictures the graph will give, guessed from the
  // decoder's before any is decoded; false where it is not guessed.
  bool GuessPictureSize(int& w, int& h) const;
  // Readies the memory of the first converted picture while the first
  // picture is being decoded (open thread).
  void WarmPictureMemory();
  bool IsMediacodec() const;

  // ---- refresh and display (refresh.cpp) ----
  void RefreshThreadExecute();
  void RefreshLoop();
  // Shows the picture that is due, if any; lowers `remaining` to the seconds
  // until the next one is due.
  void video_refresh(double& remaining);
  // Wakes the refresh thread to look at the picture queue again.
  void KickRefresh();
  void video_display();
  void video_image_display();
  void video_audio_display();
  void DrawImage();
  void DrawBitmap();
  void UpdateBitmapSize();
  // Gives every view the size `w` x `h` and clears it to black.
  void SizeViews(int w, int h);
  // Sizes the views for the pictures the video stream is expected to give,
  // while its first picture is still being decoded.
  void PresizeViews();
  void UpdateCoverSize();
  // Gives every view the cover's size `w` x `h` (not cut, not cleared).
  void CoverViews(int w, int h);
  void RetireSubtitles();

  // ---- subtitles (subtitle.cpp) ----
  bool InitSubtitle();
  void FreeSubtitleCtx();
  void FlushSubtitleQueue();
  void SubtitleThreadExecute();
  void blend_rect(TVideoPicture& vp, const AVSubtitleRect* rect);

  // ---- audio (audio/*.cpp) ----
  bool InitAudio();
  void FreeAudioCtx();
  void FreeSwrCtx();
  int configure_audio_filters(bool force_output_format);
  void DestroyAudioFilterGraph();
  int audio_decode_frame();
  void audio_open();
  void OpenAudio();
  void CloseAudio();
  int audio_receive_frame();
  void StepDone();
  enum class TSoundStart { Start, Wait, Drop };
  TSoundStart AlignSoundToPicture(int passBytes, int bytesAhead);
  void apply_audio_volume();

  // ---- opening and control ----
  std::string FMovie;
  std::atomic<bool> FInitPaused{false};
  std::atomic<bool> FBlockOpen{true};
  std::atomic<bool> FAbortRequest{false};
  std::atomic<bool> FPaused{false};
  std::mutex FPauseLock;  // pausing, resuming and the waits of paused decoders
  std::condition_variable FPauseCond;
  std::atomic<int> FReadPauseReturn{0};  // what pausing the input gave (read thread)
  std::atomic<int> FStep{0};
  // Starting, ending and re-arming steps, and Play/Pause, one at a time;
  // taken before FPauseLock.
  std::mutex FStepLock;
  std::atomic<bool> FIsRealTime{false};
  std::atomic<int64_t> FReadTime{0};
  std::atomic<double> FDuration{0};
  std::atomic<bool> FInfinite{false};
  std::atomic<int64_t> FStartTime{AV_NOPTS_VALUE};
  std::atomic<int64_t> FEndTime{AV_NOPTS_VALUE};
  std::atomic<double> FSavedPosition{0};
  mutable std::mutex FErrorLock;
  std::string FLastErrorMessage;
  std::atomic<bool> FPlaybackFinished{false};
  TTimer FStateTimer;
  std::atomic<double> FVideoFrameRate{0};
  std::atomic<int64_t> FContainerStartTime{AV_NOPTS_VALUE};
  std::atomic<int64_t> FContainerDuration{AV_NOPTS_VALUE};

  // ---- seeking ----
  // A request is written whole under FSeekLock; the newest one wins. The
  // read thread serves it and clears FSeekReq only if nothing newer came
  // meanwhile (FSeekGen counts requests).
  std::mutex FSeekLock;
  uint64_t FSeekGen = 0;
  std::atomic<bool> FSeekReq{false};
  std::atomic<int64_t> FSeekPos{0};
  std::atomic<int64_t> FSeekRel{0};
  std::atomic<TAVSeekMode> FSeekMode{smKeyFrame};
  std::atomic<TAVSeekPositionMode> FSeekPositionMode{spDefault};
  std::atomic<bool> queue_attachments_req{false};

  // ---- streams ----
  std::atomic<int> FVideoStreamIndex{-1};
  std::atomic<int> FAudioStreamIndex{-1};
  std::atomic<int> FSubtitleStreamIndex{-1};
  std::vector<int> FVideoIdxList, FAudioIdxList, FSubtitleIdxList;
  std::vector<std::unique_ptr<TAVStreamProperties>> FVideoPropList, FAudioPropList, FSubtitlePropList;
  std::atomic<bool> FVideoMoving{false};  // the video stream is moving pictures, not a cover
  std::atomic<bool> FVideoStreamChanged{false}, FAudioStreamChanged{false}, FSubtitleStreamChanged{false};
  mutable std::mutex FSwitchLock;  // the requests below
  TStreamRequest FVideoRequest, FAudioRequest, FSubtitleRequest;
  std::atomic<double> FResumePosition{0};  // seconds from the start
  std::atomic<bool> FDisableVideo{false}, FDisableAudio{false}, FDisableSubtitle{false};
  mutable std::mutex FStreamLock;  // guards the lists and Metadatas against readers on other threads
  TStringList FMetadatas;
  bool FIcyAvailable = false;          // the input's I/O has ICY options (open and read threads)
  std::string FIcyMeta, FIcyHeaders;  // copies of them, guarded by FStreamLock

  // ---- lifecycle and threads ----
  mutable std::mutex FStateLock;
  std::condition_variable FStateCond;
  TLifeState FState = TLifeState::Idle;  // guarded by FStateLock
  bool FOpenerRunning = false;           // an OpenMovie (either kind) is not finished; FStateLock
  bool FCloserRunning = false;           // the close thread has not finished; FStateLock
  std::mutex FOpenThreadLock;  // FOpenThread's handle
  std::thread FOpenThread;
  std::thread FCloseThread;
  std::shared_ptr<TLifeToken> FLife = std::make_shared<TLifeToken>();
  struct TDeferredOpen {
    std::string movie;
    bool paused = false;
  };
  std::unique_ptr<TDeferredOpen> FDeferred;  // FStateLock
  bool FDeferRunning = false;                // FDeferThread has work or runs; FStateLock
  bool FDestroying = false;                  // the destructor has begun; FStateLock
  std::thread FDeferThread;
  // The thread running the opener's OnStart or OnConnectionError, while it
  // runs: the opener waits for that handler, so a destructor called from it
  // must not wait for the opener.
  std::atomic<std::thread::id> FOpenerHandlerThread{};
  // The thread running the destructor. When it is the refresh thread (a
  // handler or view called on it without a GUI thread destroyed the player),
  // the close lets that thread go instead of waiting for it.
  std::atomic<std::thread::id> FDestroyerThread{};
  // The open movie: made by OpenMovie, freed once by whoever ends it (the
  // close thread, or the opening thread when the open fails). Worker threads
  // of the movie use it while they run; they are all joined before it is
  // freed. Null while no movie is open or opening. Set and cleared under
  // FStateLock.
  std::unique_ptr<TMovie> FM;
  std::mutex wait_mutex;
  std::condition_variable continue_read_thread;
  // The read thread waits for room in the queues: decoders taking packets
  // wake it (only then, so they do not take the lock for every packet).
  std::atomic<bool> FReadWaiting{false};
  std::recursive_mutex FMutex;                // view list and cover image
  // The views being called now, with the calling thread (FViewCallLock).
  std::mutex FViewCallLock;
  std::condition_variable FViewCallCond;
  std::vector<std::pair<IAVView*, std::thread::id>> FViewsInCall;
  // Direct mode: view calls waiting for the movie's refresh thread, and
  // whether that thread is the views' writer now (FViewCallLock).
  std::vector<std::function<void()>> FViewWork;
  bool FViewWriter = false;
  std::atomic<std::thread::id> FViewWriterThread{};
  std::recursive_mutex FBitmapMutex;          // the shown picture's frame
  // The display call the refresh thread waits for (FDisplayLock).
  struct TDisplayCall {
    std::mutex lock;
    std::condition_variable cond;
    bool started = false;   // the GUI thread has begun it
    bool finished = false;  // the GUI side ended (or was dropped)
    bool released = false;  // the player was closed or destroyed from inside it, or it was cancelled unstarted
  };
  // Any other call a thread of the movie hands to the GUI thread and waits for.
  struct TGuiCall {
    std::mutex lock;
    std::condition_variable cond;
    bool started = false;
    bool finished = false;
    bool cancelled = false;  // the movie closes: it will never run
  };
  std::mutex FDisplayLock;  // FDisplayCall, FGuiCalls, FGuiClosed
  std::shared_ptr<TDisplayCall> FDisplayCall;
  std::vector<std::shared_ptr<TGuiCall>> FGuiCalls;
  // The movie is closing: hand-offs not begun yet are cancelled and new ones
  // refused, so a close never waits for an event loop that may not run.
  bool FGuiClosed = false;
  int FDisplayDepth = 0;  // GUI thread only: inside this player's display call
  // ---- the log thread ----
  std::mutex FLogLock;
  std::condition_variable FLogCond;
  std::vector<std::pair<int, std::string>> FLogLines;  // FLogLock
  bool FLogStop = false;                               // FLogLock
  // Lines beyond the bound while the handler is behind: counted, and said in
  // one line when the handler catches up. FLogLock.
  size_t FLogDropped = 0;
  static constexpr size_t MaxWaitingLogLines = 1000;
  std::thread FLogThread;

  // ---- packet queues ----
  std::unique_ptr<TAVPacketQueue> FVideoQ, FAudioQ, FSubtitleQ;
  AVPacket* FFlushPkt = nullptr;
  AVPacket* FEofPkt = nullptr;
  int FLastPktType = 0;

  // ---- video ----
  TVideoPicture FPictq[VIDEO_PICTURE_QUEUE_SIZE];
  int pictq_size = 0;  // guarded by FPictQMutex
  unsigned FRefreshKick = 0;  // FPictQMutex: bumped by whatever the refresh thread must look at
  int pictq_rindex = 0;
  int pictq_windex = 0;
  int pictq_rindex_shown = 0;
  TVideoPicture* FCurrentVP = nullptr;
  AVFrame* FFrameCover = nullptr;
  std::mutex FPictQMutex;
  std::condition_variable FPictQCond;
  mutable std::mutex FFilterLock;  // FVideoFilters / FAudioFilters texts
  std::string FVideoFilters;
  std::atomic<bool> FVideoFiltersChanged{false};
  std::atomic<bool> FFrameDrop{true};
  int FSwsFlags = SWS_BICUBIC;
  std::atomic<double> frame_timer{0};
  std::atomic<double> frame_last_filter_delay{0};
  double max_frame_duration = 10.0;
  std::atomic<int64_t> video_current_pos{-1};
  std::atomic<bool> FRefresh{false};
  std::atomic<int> video_finished{0};
  AVRational FSar{0, 1};  // guarded by FPictQMutex
  std::atomic<int> FOutputPixelFormat{-1};
  std::atomic<int> FDecodedPixelFormat{-1};
  std::atomic<int64_t> FFramesDropped{0};
  std::atomic<bool> FRGBMode{true};
  std::atomic<bool> FForceYv12{false};
  bool FHardwareAccelerated = true;
  int FThreadCount = 1;
  std::atomic<double> FFps{0};
  double FFPSTime = 0;  // GUI thread: when the first picture was shown
  std::atomic<int> FFrameNumber{0};
  std::atomic<int> FGraphWidth{0}, FGraphHeight{0};  // output of the current video graph
  // The size every view was last given by SizeViews, with the views' epoch
  // it began in (ViewsSizeKey); 0 for none. Anything else that sizes a view
  // or adds one moves the epoch on, after it has done so. A graph whose
  // pictures have this size in the current epoch needs no round trip to the
  // views.
  std::atomic<uint64_t> FViewsSizedTo{0};
  std::atomic<uint32_t> FViewsEpoch{0};
  static uint64_t ViewsSizeKey(int w, int h, uint32_t epoch) {
    return (static_cast<uint64_t>(w & 0xFFFF) << 48) | (static_cast<uint64_t>(h & 0xFFFF) << 32) | epoch;
  }
  std::atomic<int> FCodecWidth{0}, FCodecHeight{0};  // the decoder's, before any graph exists
  std::vector<IAVView*> FViewList;
  TBitmap FCoverImage;
  TComponent* FVideoSurface = nullptr;

  // ---- subtitles ----
  std::mutex FSubpQMutex;
  std::condition_variable FSubpQCond;

  // ---- clocks ----
  TClock audclk, vidclk, extclk;
  std::atomic<TAVClock> FClockType{clAudio};
  TAudioSyncState audio_sync;

  // ---- audio ----
  std::atomic<int64_t> FAudioCallbackTime{0};
  std::atomic<int> audio_write_buf_size{0};
  std::string FAudioFilters;
  std::atomic<bool> FAudioFiltersChanged{false};
  std::atomic<double> FVolume{1.0};
  std::atomic<AVFilterContext*> FVolumeCtx{nullptr};

  // ---- configuration ----
  std::string FInputFormat;
  TStringList FOptions;
  std::atomic<TAVLogLevel> FLogLevel{llWarning};
  std::atomic<int> FTimeout{15};
};

}  // namespace kivora
