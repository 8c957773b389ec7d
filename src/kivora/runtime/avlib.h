#pragma once
// Library start-up and log routing.
//
// FFmpeg logs from whatever thread runs it. Each line goes to the component
// registered for the calling thread in ThreadMap (the player registers itself
// for each of its worker threads), filtered by that component's log level.
// Lines from threads nobody registered are dropped.
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kivora/platform/thread.h"

namespace kivora {

enum TAVLogLevel { llPanic = 0, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// FFmpeg's level for a TAVLogLevel (0, 8, 16, 24, 32, 40, 48); any other
// ordinal gives 48.
int GetLogLevel(TAVLogLevel level);

// How the log callback reaches a component.
class IAVLogger {
public:
  virtual ~IAVLogger() = default;
  // From LogCallback on the logging thread, its registry entry held: level is
  // FFmpeg's AV_LOG_* value, message one line without its line break.
  virtual void DoLog(int level, const std::string& message) = 0;
  // The most verbose FFmpeg level (AV_LOG_*) the logger wants; any thread.
  virtual int GetLogLevel() = 0;
};

// The process-wide registry from thread id to logger. Safe for concurrent
// lookup, insertion and removal.
class TThreadMap {
public:
  // Adds the pair; false when the thread is already registered.
  bool Add(TThreadID id, IAVLogger* logger);
  // Adds or replaces.
  void AddOrSet(TThreadID id, IAVLogger* logger);
  void Remove(TThreadID id);
  // Removes every entry of this logger (a component being destroyed).
  void RemoveLogger(IAVLogger* logger);
  bool ContainsKey(TThreadID id) const;
  // Looks up and, when found, calls fn(logger) while the entry cannot be
  // removed, so the logger stays valid during the call. Returns whether found.
  template <typename Fn>
  bool WithLogger(TThreadID id, Fn&& fn) const {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    auto it = FMap.find(id);
    if (it == FMap.end()) return false;
    fn(it->second);
    return true;
  }
  // The number of registered threads.
  int Count() const;

private:
  mutable std::recursive_mutex FLock;
  std::unordered_map<TThreadID, IAVLogger*> FMap;
};

TThreadMap& ThreadMap();

// Registers a logger for the current thread for the guard's lifetime (a
// worker thread's whole run, or one blocking call on the caller's thread).
// When the thread already had an entry it is restored afterwards.
class TThreadLoggerGuard {
public:
  explicit TThreadLoggerGuard(IAVLogger* logger);
  ~TThreadLoggerGuard();
  TThreadLoggerGuard(const TThreadLoggerGuard&) = delete;
  TThreadLoggerGuard& operator=(const TThreadLoggerGuard&) = delete;

private:
  TThreadID FId;
  IAVLogger* FPrevious = nullptr;
  bool FHadPrevious = false;
};

// True after LoadLibs ran (and until UnloadLibs).
bool AVLoaded();
// Starts FFmpeg for the library: network, devices, the log callback. Does its
// work once; later calls return at once. Overlapping calls are serialised.
void LoadLibs();
// Attaches the library's own inputs to FFmpeg; called once from LoadLibs.
void RegisterCustomInputs();
// Undoes LoadLibs (network de-initialisation, default log callback). Nothing
// happens when LoadLibs has not run.
void UnloadLibs();

// The callback installed with av_log_set_callback. Never throws. A line is
// cut at 2047 bytes.
void LogCallback(void* avcl, int level, const char* fmt, va_list vl);

// A NUL-terminated byte string as text (UTF-8); empty for nullptr.
std::string PtrToStr(const char* p);

}  // namespace kivora
