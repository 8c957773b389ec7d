#pragma once
// TAVPlayer: plays a file, a network stream or an application stream.
//
// The read thread demuxes into packet queues; the video thread decodes and
// filters pictures into a small picture queue; the refresh thread shows each
// picture when the master clock reaches it, handing it to every registered
// view (IAVView) and to OnVideoDisplay on the GUI thread. Sound is decoded
// inside the sound device's callback, which also drives the audio clock.
//
// Units: positions, durations and clocks are seconds (double) counted from
// the file's start; StartTime and EndTime are microseconds on the same count.
// Threads: create, call and destroy a player on the GUI thread of a Qt
// application (any one thread in a program without one); the getters may be
// read from any thread. Where each event arrives is said at the event.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libavutil/rational.h>

#include "kivora/platform/component.h"
#include "kivora/platform/stringlist.h"
#include "kivora/player/stream_properties.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/events.h"

extern "C" {
struct AVFrame;
}

namespace kivora {

class TAVPlayer;
class TBitmap;  // kivora/platform/bitmap.h, for the cover image and DrawVideo
// Closes a player and waits until its threads are gone (used at process exit).
void ShutDownPlayer(TAVPlayer* player);

// How a player reaches its views. Every call arrives on the GUI thread; in a
// program without a Qt application, on one thread of the open movie (its
// refresh thread), or on the caller's while no movie is open. No lock of the
// player is held during a call, so a view may call the player. A view may
// unregister itself or other views from inside a call; views unregistered
// that way are not called again, and UnRegisterView on another thread returns
// once the view's call has ended. A view must not destroy the player from
// inside one of its calls.
class IAVView {
public:
  virtual ~IAVView() = default;
  // AFrame holds the picture to show (the player's output pixel format, or
  // the cover image as RGBA). It is valid only during the call.
  virtual void DoVideoDisplay(AVFrame* AFrame) = 0;
  // The size of the pictures that will follow, in pixels.
  virtual void SetViewSize(int Width, int Height) = 0;
  // Fill the view with a 32-bit ARGB colour.
  virtual void Clear(uint32_t Color) = 0;
};

// The clock the others follow: the sound's (default), the pictures', or the
// wall clock.
enum TAVClock { clAudio, clVideo, clExternal };
// Seeks land on the key frame before the target, or on the target's own frame.
enum TAVSeekMode { smKeyFrame = 0, smAnyFrame = 1 };
// Which way a key-frame seek may move from the target: the nearest key frame,
// the next one, or the one before.
enum TAVSeekPositionMode { spDefault = 0, spForwardRequest = 1, spBackwardRequest = 2 };

class TAVPlayer : public TComponent, public IAVLogger {
public:
  explicit TAVPlayer(TComponent* owner = nullptr);
  // May be called from any of the player's own event handlers too.
  ~TAVPlayer() override;

  // ---- operations (GUI thread, or from an event handler) ----
  // Opens and starts playing AMovie (a file name, a URL or a "stream:" URL).
  // Block: open on this thread and raise "Failed to open the file:..." on
  // failure; otherwise open in the background and report failures through
  // OnConnectionError. Called from an event handler, the open happens once
  // the handler has returned.
  void OpenMovie(const std::string& AMovie, bool Paused = false, bool Block = false);
  // Starts closing and returns true; Playing stays true until every worker
  // thread has ended. An open in progress (blocking on another thread, or in
  // the background) is cancelled and waited for first.
  bool CloseMovie();
  void Play();
  void Pause();
  // Shows the next picture, then pauses.
  void StepForward();
  // Seconds from the file's start, within 0..Duration; 0 before the clock runs.
  double GetPosition();
  // Seeks to x seconds from the file's start; does nothing while no movie plays.
  void SetPosition(double x);
  // True from a successful open until every thread of the closed movie ended.
  bool Playing() const;
  bool Paused() const;

  // Any thread; a view registered twice is called once.
  void RegisterView(IAVView* AView);
  void UnRegisterView(IAVView* AView);

  // Copies a frame into bitmaps (RGBA; two-plane; three-plane); the form
  // without a bitmap does nothing.
  void DrawVideo(TBitmap* ASurface, AVFrame* AFrame);
  void DrawVideo(TBitmap* YSurface, TBitmap* UVSurface, AVFrame* AFrame);
  void DrawVideo(TBitmap* YSurface, TBitmap* USurface, TBitmap* VSurface, AVFrame* AFrame);
  void DrawVideo(AVFrame* AFrame);
  // Converts a planar 4:2:0 frame into a 32-bit bitmap.
  void SaveFrameToBitmap(AVFrame* AFrame, TBitmap* ABitmap);

  // ---- stream lists and metadata (any thread) ----
  int VideoStreamCount() const;
  int AudioStreamCount() const;
  int SubtitleStreamCount() const;
  // Positions in the stream lists (-1: none). A switch that was asked for
  // reads as done at once; the read thread carries it out.
  int VideoStreamIndex() const;
  int AudioStreamIndex() const;
  int SubtitleStreamIndex() const;
  void SetVideoStreamIndex(int i);
  void SetAudioStreamIndex(int i);
  void SetSubtitleStreamIndex(int i);
  // Copies, made under the lock, that stay readable while another thread
  // closes the movie. Each entry's Stream() belongs to the open movie and is
  // valid only while it is open.
  std::vector<TAVStreamProperties> VideoStreamProperties() const;
  std::vector<TAVStreamProperties> AudioStreamProperties() const;
  std::vector<TAVStreamProperties> SubtitleStreamProperties() const;
  // File stream index of the stream in use, -1 if none.
  int GetVideoStream() const;
  int GetAudioStream() const;
  int GetSubtitleStream() const;
  // "key=value" lines: the input's metadata, then each stream's.
  TStringList Metadatas() const;
  // Asks the reading thread to copy the input's metadata again (it owns the
  // input's dictionaries); Metadatas() shows them a moment later.
  void UpdateMetaDatas();
  // A network radio's current ICY title, and its ICY headers.
  std::string GetShoutcastMeta();
  std::string GetShoutcastMetaHeader();

  // ---- what is playing (any thread) ----
  // Size of the pictures shown, in pixels (0 without pictures).
  int GetVideoWidth() const;
  int GetVideoHeight() const;
  // Where the playable part ends (EndTime, else the input's length), in
  // seconds from the file's start; -1 for an input without an end.
  double Duration() const;
  // A live input without an end.
  bool Infinite() const;
  // The video stream's frame rate, pictures per second (0 when unknown).
  double VideoFrameRate() const;
  // The AVPixelFormat the views get (-1 before the first picture).
  int OutputPixelFormat() const;
  // The pixel format the video decoder gives (before the filter graph); -1
  // without a video stream or before the first picture.
  int DecoderPixelFormat() const;
  // Pictures decoded but never shown since the player was made: dropped late
  // before filtering, or skipped by the display to catch up with the clock.
  int64_t FramesDropped() const;
  // A filter text changed and is not in use yet.
  bool FilterChanged() const;
  // The pictures' sample aspect ratio ({0,1} when unknown).
  AVRational Sar() const;
  // Pictures shown per second since the movie's first one.
  double Fps() const;
  // Pictures shown since the movie opened.
  int FrameNumber() const;
  // When the sound device last asked for sound, microseconds of av_gettime_relative.
  int64_t AudioCallbackTime() const;
  // Bytes of decoded sound not yet handed to the device.
  int AudioWriteBufSize() const;
  // The last error: a failed open's reason or FFmpeg's last error line; kept
  // until the next error replaces it.
  std::string LastErrorMessage() const;
  // The name given to the last OpenMovie.
  const std::string& Movie() const;
  // The master clock's value (seconds; NaN when not known yet) and the
  // individual clocks, for diagnostics.
  double MasterClock();
  double VideoClock() const;
  double AudioClock() const;

  // ---- properties (set on the GUI thread; read from any thread) ----
  // Unless said otherwise a property takes effect at the next OpenMovie.
  // At once: VideoFilters, AudioFilters, FrameDrop, Volume, LogLevel,
  // ClockType, SeekMode, SeekPositionMode, CoverImage, VideoSurface and
  // Timeout (for the next blocking read). At the next open: InputFormat,
  // ThreadCount, Options, DisableVideo/Audio/Subtitle, RGBMode, ForceYv12,
  // HardwareAccelerated, StartTime, EndTime.
  // FFmpeg's short name of the input format ("" to probe).
  const std::string& InputFormat() const;
  void SetInputFormat(const std::string& v);
  // Decoder threads: 1 (the default) lets FFmpeg use every core, any other
  // value is the count (0: FFmpeg's choice); a "threads" entry in Options
  // wins over both.
  int ThreadCount() const;
  void SetThreadCount(int v);
  // FFmpeg filter graph texts for the pictures and the sound ("" for none).
  std::string VideoFilters() const;
  void SetVideoFilters(const std::string& v);
  std::string AudioFilters() const;
  void SetAudioFilters(const std::string& v);
  // Late pictures are dropped to keep up with the clock (default true).
  bool FrameDrop() const;
  void SetFrameDrop(bool v);
  // 0 (silent) to 1 (as recorded, the default); more amplifies.
  double Volume() const;
  void SetVolume(double v);
  // Which of FFmpeg's and the player's lines reach OnLog (default llWarning).
  TAVLogLevel LogLevel() const;
  void SetLogLevel(TAVLogLevel v);
  // "name=value" lines: FFmpeg format and codec options for the input.
  const TStringList& Options() const;
  void SetOptions(const TStringList& v);
  // Shown instead of pictures for an input without video.
  TBitmap& CoverImage();
  void SetCoverImage(const TBitmap& v);
  TAVClock ClockType() const;
  void SetClockType(TAVClock v);
  bool DisableVideo() const;
  void SetDisableVideo(bool v);
  bool DisableAudio() const;
  void SetDisableAudio(bool v);
  bool DisableSubtitle() const;
  void SetDisableSubtitle(bool v);
  // Views get RGBA pictures (default true); false: the decoder's YUV.
  bool RGBMode() const;
  void SetRGBMode(bool v);
  // Use a hardware decoder where one is available (default true).
  bool HardwareAccelerated() const;
  void SetHardwareAccelerated(bool v);
  // Seconds a blocking read of the input may take before it fails (default 15).
  int Timeout() const;
  void SetTimeout(int seconds);
  // Views get planar 4:2:0 pictures whatever the decoder gives.
  bool ForceYv12() const;
  void SetForceYv12(bool v);
  // The component pictures are drawn on; cleared when it is freed.
  TComponent* VideoSurface() const;
  void SetVideoSurface(TComponent* v);
  TAVSeekMode SeekMode() const;
  void SetSeekMode(TAVSeekMode v);
  TAVSeekPositionMode SeekPositionMode() const;
  void SetSeekPositionMode(TAVSeekPositionMode v);
  // Microseconds from the file's start (MPEG-TS and other inputs whose
  // times do not begin at 0 count from their first timestamp), the same
  // count GetPosition, SetPosition and Duration use: with StartTime 0.2 s,
  // the position reads 0.2 once playback starts there. AV_NOPTS_VALUE: none.
  int64_t StartTime() const;
  void SetStartTime(int64_t us);
  int64_t EndTime() const;
  void SetEndTime(int64_t us);

  // ---- events ----
  // Every handler is called with no lock of the player held; an exception a
  // handler throws is caught at the event and logged through OnLog. Set the
  // handlers before OpenMovie: the worker threads read them while a movie is
  // open, so replacing one then races with its caller. In a program without
  // a Qt application, "GUI thread" below reads "a thread of the player".
  //
  // GUI thread, once the movie is open and before its first picture. May
  // call any method, CloseMovie, OpenMovie and the destructor included.
  TNotifyEvent OnStart;
  // GUI thread, when a background open fails (a blocking open raises
  // instead). May open another movie or destroy the player.
  TAVErrorEvent OnConnectionError;
  // GUI thread, from the state timer, once per end of input and never after
  // CloseMovie.
  TNotifyEvent OnPlaybackFinished;
  // The player's own log thread, in order, for FFmpeg's lines and the
  // player's own (level: FFmpeg's AV_LOG_* value). It may hand lines to the
  // GUI thread and wait there, and may close, reopen or destroy the player.
  TAVLogEvent OnLog;
  // GUI thread, for each shown picture before the views get it; the frame is
  // valid only during the call. May close, reopen or destroy the player.
  TVideoDisplayEvent OnVideoDisplay;
  // The sound device's thread, with the bytes about to be played (they may
  // be changed in place). Must not block: it holds up every player's sound.
  TAVOnAudioBufferEvent OnAudioBuffer;
  // Never raised by the player itself: kept for views drawing on VideoSurface.
  TNotifyEvent OnFrameAvailable;

  // ---- IAVLogger (FFmpeg's log routing; any thread) ----
  void DoLog(int level, const std::string& message) override;
  int GetLogLevel() override;

  // Called when a decoder consumed the end-of-stream marker (a thread of the
  // movie); the default raises OnPlaybackFinished from the state timer.
  virtual void DoPlaybackFinished();

protected:
  void Notification(TComponent* component, TOperation operation) override;
  // Raise OnStart and OnConnectionError (GUI thread).
  virtual void DoStart();
  virtual void DoError();

public:
  // Everything of the running player: movie state, threads, queues, clocks.
  // Defined inside the library only.
  struct Impl;

private:
  friend void ShutDownPlayer(TAVPlayer* player);
  friend class TAVPlayerTestAccess;
  friend class TAVPlayerFaultsAccess;
  std::unique_ptr<Impl> d;
};

// Every live player (the module shuts them down at exit).
std::vector<TAVPlayer*> PlayerListSnapshot();

}  // namespace kivora
