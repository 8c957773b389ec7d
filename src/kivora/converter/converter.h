#pragma once
// TAVConverter: transcodes one or more input files into one or more output
// files on a worker thread. Fill InputFiles, OutputFiles and ConvertOptions,
// call Convert, and receive progress, completion and error events.
//
// Threads: Convert, Stop, Pause, Resume and the property getters are called
// from the application's thread (the GUI thread in a Qt application); the
// figures (Progress, sizes, LastErrorMessage) are safe to read at any time.
// OnProgress, OnStopped, OnError, OnComplete and OnVideoBuffer run on the GUI
// thread while the worker waits for them, or on the worker itself when
// ConvertOptions().Synchronous() is set (and in a program without a Qt
// application object). OnAudioBuffer and OnVideoStats always run on the
// worker; OnLog runs on the thread that logged. No handler runs while a lock
// of the converter is held, so a handler may call any method of it. Any
// handler may destroy the converter (the run then stops and ends its files
// by itself), and OnComplete may start the next conversion.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivora/converter/options.h"
#include "kivora/platform/component.h"
#include "kivora/platform/semaphore.h"
#include "kivora/platform/stringlist.h"
#include "kivora/runtime/avbitmap.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/events.h"

namespace kivora {

enum TAVConvertState { csNone = 0, csRunning, csStopped, csPaused, csWaiting };

using TAVProgressEvent = std::function<void(TComponent* Sender)>;
// errorMsg: what failed; lastestErrorLog: FFmpeg's last error line. Leave
// Handled false to have the message shown to the user as "errorMsg:lastestErrorLog".
using TAVConvertErrorEvent = std::function<void(TComponent* Sender, const std::string& errorMsg,
                                                const std::string& lastestErrorLog, bool& Handled)>;
// A filtered video frame as an RGBA bitmap; set BufferModified after drawing
// into it and the encoder receives the edited picture.
using TAVOnVideoBufferEvent =
    std::function<void(TComponent* Sender, TAVBitmap& Bitmap, double timeStamp, bool& BufferModified)>;
using TAVVideoStatsEvent =
    std::function<void(TComponent* Sender, int VideoWidth, int VideoHeight, double Bitrate,
                       double AvgBitrate, int FrameNumber, double elapse)>;

// Serialises FFmpeg calls that are not safe to run in several converters at
// once (codec opening and closing); held only around such calls.
std::mutex& AVMutex();

class TAVTranscoder;
class TConvertRun;

class TAVConverter : public TComponent, public IAVLogger {
public:
  explicit TAVConverter(TComponent* AOwner = nullptr);
  // Stops a running conversion and waits for its worker; no event reaches
  // the converter from then on. The stop ends the output files with their
  // trailers, so what was converted plays. Called from one of the run's own
  // handlers, it does not wait: the worker ends the run by itself. A worker
  // that does not end within two seconds (stuck in a read or write that
  // never returns: a stalled network peer) has its blocking reads and writes
  // abandoned; its files may then lack their endings. Errors of an abandoned
  // run are logged, not raised through OnError.
  ~TAVConverter() override;

  TAVConvertOptions& ConvertOptions() { return FConvertOptions; }
  const TAVConvertOptions& ConvertOptions() const { return FConvertOptions; }
  void SetConvertOptions(const TAVConvertOptions& Value) { FConvertOptions.Assign(Value); }
  TStringList& InputFiles() { return FInputFiles; }
  const TStringList& InputFiles() const { return FInputFiles; }
  void SetInputFiles(const TStringList& Value) { FInputFiles.Assign(Value); }
  TStringList& OutputFiles() { return FOutputFiles; }
  const TStringList& OutputFiles() const { return FOutputFiles; }
  void SetOutputFiles(const TStringList& Value) { FOutputFiles.Assign(Value); }
  TAVLogLevel LogLevel() const { return FLogLevel.load(); }
  void SetLogLevel(TAVLogLevel Value);
  // OnVideoBuffer fires for every n-th filtered video frame; below 1 counts as 1.
  int VideoBufferEventInterval() const { return FVideoBufferEventInterval; }
  void SetVideoBufferEventInterval(int Value) { FVideoBufferEventInterval = Value; }
  // Prefix of the two-pass statistics files ("<prefix>-<stream>.log"). Empty:
  // derived from the first output file's name, so that parallel two-pass
  // conversions never share a file; from the first input's when the output
  // is no plain file (/dev/null, a URL), and a second pass also looks there;
  // "ffmpeg2pass" in the current folder when neither is a plain file.
  const std::string& PassLogFile() const { return FPassLogFile; }
  void SetPassLogFile(const std::string& Value) { FPassLogFile = Value; }

  TAVLogEvent OnLog;
  TAVProgressEvent OnProgress;
  TNotifyEvent OnComplete;
  TNotifyEvent OnStopped;
  TAVOnVideoBufferEvent OnVideoBuffer;
  TAVOnAudioBufferEvent OnAudioBuffer;
  TAVConvertErrorEvent OnError;
  TAVVideoStatsEvent OnVideoStats;

  // Starts a conversion on a new worker thread and returns at once. ASem, when
  // given, limits how many converters sharing it run at once (the converter
  // waits in csWaiting for a slot, and gives it back while paused). A call
  // while a conversion runs is refused with an Exception.
  void Convert(TSemaphore* ASem = nullptr);
  // Ends the conversion after the current step; the output files still get
  // their trailers. A converter waiting for the semaphore stops waiting.
  void Stop();
  void Pause();
  void Resume();
  // Waits until the conversion has ended (state csNone) or timeoutMs passed
  // (negative: for ever). On the GUI thread, pending events keep running.
  bool WaitFor(int timeoutMs = -1);
  // Zeroes the figures of the last conversion.
  void Reset();

  // The figures below may be read from any thread, during and after a run.
  // csNone idle or done, csRunning, csPaused, csWaiting for a semaphore slot,
  // csStopped while a stop is under way.
  TAVConvertState State() const;
  // Whole percent 0..100; 100 only once a conversion has ended complete.
  int Progress() const { return GetProgress(); }
  int GetProgress() const;
  // Seconds of media converted so far.
  double ConvertedDuration() const;
  // Seconds: the length of the input (the longest input for several).
  double Duration() const;
  // Bytes written to the first output file so far.
  int64_t TargetFileSize() const;
  // Bytes of the first input file; 0 when unknown.
  int64_t SourceFileSize() const;
  // kbit/s of the first output file so far.
  double Bitrate() const;
  // Bytes of video packets written so far, all outputs.
  int64_t VideoSize() const;
  // Microseconds on the monotonic clock at the last progress report.
  int64_t LastTime() const;
  // Seconds since the loop started.
  int64_t GetUsedTime() const;
  // Seconds left by the progress so far; 362439 before any progress.
  int64_t GetLeftTime() const;
  // Size of input file index of the running or last conversion; 0 for an
  // input not opened yet or of unknown size.
  int64_t GetSourceFileSize(int index) const;
  // The last line FFmpeg logged at error level (or worse) during the
  // running or last conversion: the detail behind OnError's message. Empty
  // until such a line comes; a new Convert starts it empty again.
  std::string LastErrorMessage() const;
  void SetLastErrorMessage(const std::string& Value);

  // IAVLogger
  void DoLog(int level, const std::string& text) override;
  int GetLogLevel() override { return kivora::GetLogLevel(LogLevel()); }

protected:
  // Event dispatchers: each calls its handler; the worker runs them on the
  // thread the header names. The handler may destroy the converter, so none
  // of them touches it after the handler returns.
  virtual void DoStop();
  virtual void DoError();
  virtual void DoVideoBuffer(TAVBitmap& Bitmap, double timeStamp);
  virtual void DoConvertComplete();
  void DoProgress();

private:
  friend class TConvertRun;
  std::shared_ptr<TConvertRun> Run() const;
  // The worker's whole life; it reaches the converter only through the run.
  static void Execute(std::shared_ptr<TConvertRun> run);
  static void ConvertAV(TConvertRun& run);
  static void RaiseError(TConvertRun& run, const std::string& msg);
  // Joins the previous worker, or hands it on when this thread is one of
  // its handlers (it cannot be waited for from there).
  void ReapWorker();
  double ProgressPercent() const;

  TAVConvertOptions FConvertOptions;
  TStringList FInputFiles;
  TStringList FOutputFiles;
  std::atomic<TAVLogLevel> FLogLevel{llInfo};
  int FVideoBufferEventInterval = 1;
  std::string FPassLogFile;

  mutable std::mutex FRunLock;
  std::shared_ptr<TConvertRun> FRun;  // the current or last run; never null
  std::thread FThread;
};

}  // namespace kivora
