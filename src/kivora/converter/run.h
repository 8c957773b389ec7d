#pragma once
// The shared state of one conversion: what the worker reads (its own copy of
// the settings), the state machine, the figures, and the way back to the
// converter for events. The converter and its worker each hold it, so the
// worker can end its run after the converter was destroyed from one of its
// own event handlers, without touching the freed converter.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivora/converter/converter.h"

namespace kivora {

class TConvertRun : public IAVLogger {
public:
  // Settings copied when the run starts: the worker never reads the
  // converter's own options, which the application may change or free.
  TAVConvertOptions options;
  TStringList inputs, outputs;
  std::string passLogFile;
  int videoBufferEventInterval = 1;
  bool direct = true;  // events on the worker (Synchronous, or no GUI thread)
  std::atomic<TAVLogLevel> logLevel{llInfo};

  const TStringList& InputFiles() const { return inputs; }
  const TStringList& OutputFiles() const { return outputs; }
  const std::string& PassLogFile() const { return passLogFile; }
  int VideoBufferEventInterval() const { return videoBufferEventInterval; }

  // ---- the way back to the converter ----
  // Runs call(owner) on the thread the event mode names. Nothing happens
  // when the converter is gone; returns whether it still exists afterwards
  // (the handler may have destroyed it). An exception of the handler is
  // raised again here, after the bookkeeping.
  bool Raise(const std::function<void(TAVConverter&)>& call);
  // The same, always on the calling thread (OnAudioBuffer, OnVideoStats, OnLog).
  bool RaiseHere(const std::function<void(TAVConverter&)>& call);
  // Called by the converter's destructor: no event reaches it from now on.
  // Returns true when the calling thread is inside one of this run's
  // handlers (or is the worker): the caller must not wait for the worker.
  bool Detach();
  bool Attached() const;
  bool InHandler() const;  // the calling thread runs one of this run's handlers

  std::thread::id worker;
  std::atomic<bool> inputAbort{false};   // Stop or destruction: blocking reads end
  std::atomic<bool> outputAbort{false};  // abandoned run: blocking writes end
  std::atomic<bool> finished{false};     // the worker has raised its last event
  std::atomic<bool> stopRaised{false};   // OnStopped has been raised for this run

  // ---- state machine ----
  TAVConvertState State() const;
  void SetState(TAVConvertState s);
  void Stop();
  bool AcquireSemaphore();  // false when stopped while waiting
  void ReleaseSemaphore();
  bool CheckPauseAndStop();  // between steps: waits while paused; false on a stop
  bool WaitFor(int timeoutMs);

  mutable std::mutex FStateLock;
  std::condition_variable FStateCond;
  TAVConvertState FState = csNone;
  TSemaphore* FSem = nullptr;
  bool FHoldsSlot = false;

  // ---- events the transcoder raises ----
  void DoProgress(bool last = false);
  void DoStop();
  void DoVideoBuffer(TAVBitmap& Bitmap, double timeStamp);
  bool HasVideoBuffer() const;
  bool HasAudioBuffer() const;
  bool HasVideoStats() const;
  void RaiseAudioBuffer(void* data, int size);
  void RaiseVideoStats(int w, int h, double rate, double avg, int frame, double elapse);
  std::string LastErrorMessage() const;

  // IAVLogger: the worker thread's logger; lines go on to the converter.
  void DoLog(int level, const std::string& text) override;
  int GetLogLevel() override { return kivora::GetLogLevel(logLevel.load()); }

  // ---- figures, readable at any time ----
  mutable std::mutex FFigureLock;
  std::string FErrorMsg;
  std::string FLastErrorMessage;
  double FConvertedDuration = 0;
  double FDuration = 0;
  // For outputs of a graph with several inputs: the share of those inputs
  // read so far (0..1), or -1 when there is none or a length is unknown.
  double FGraphInputsShare = -1;
  int64_t FTargetFileSize = 0;
  int64_t FSourceFileSize = 0;
  double FBitrate = 0;
  int64_t FVideoSize = 0;
  int64_t FAudioSize = 0;
  int64_t timer_start = 0;
  int64_t last_time = 0;
  int64_t FLastProgressEvent = 0;
  bool FFinished = false;  // the conversion ran to its end
  std::vector<int64_t> FSourceSizes;

  // OnVideoBuffer exchange (worker only).
  bool FBufferModified = false;
  int FVideoBufferCount = 0;

private:
  bool Call(const std::function<void(TAVConverter&)>& call);
  mutable std::mutex FOwnerLock;
  TAVConverter* FOwner = nullptr;
  std::vector<std::thread::id> FHandlerThreads;  // threads inside a handler now
  friend class TAVConverter;
};

// Worker threads whose converter was destroyed from one of their own event
// handlers, or restarted from OnComplete: nobody can wait for them there, so
// they are joined here once they have ended (at the latest when the program
// ends, with their blocking writes abandoned).
void AdoptOrphanWorker(std::thread thread, std::shared_ptr<TConvertRun> run);

}  // namespace kivora
