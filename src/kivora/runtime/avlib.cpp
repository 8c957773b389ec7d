// Library start-up and routing of FFmpeg's log lines to the component that
// owns the logging thread.
//
// Floating-point exceptions: FFmpeg's floating-point code expects IEEE results
// (infinities, NaNs) rather than traps. On our platforms every floating-point
// exception is masked by default for every thread (glibc's default
// environment), and the library never unmasks one, so nothing has to be done
// at start-up.
#include "kivora/runtime/avlib.h"

#include <atomic>
#include <cstring>

#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

std::atomic<bool> GAVLoaded{false};
// LoadLibs and UnloadLibs come from component constructors on the GUI thread;
// the lock only keeps two overlapping calls from both doing the work.
std::mutex GLoadLock;

// FFmpeg's line formatting remembers whether the next piece starts a new line
// (and so gets the "[name @ 0x...]" prefix). Pieces of one line come from one
// thread, so the state is kept per thread.
thread_local int t_print_prefix = 1;

constexpr int kLogLineSize = 2048;

}  // namespace

int GetLogLevel(TAVLogLevel level) {
  switch (level) {
    case llPanic: return AV_LOG_PANIC;
    case llFatal: return AV_LOG_FATAL;
    case llError: return AV_LOG_ERROR;
    case llWarning: return AV_LOG_WARNING;
    case llInfo: return AV_LOG_INFO;
    case llVerbose: return AV_LOG_VERBOSE;
    case llDebug: return AV_LOG_DEBUG;
  }
  return AV_LOG_DEBUG;
}

// ---- TThreadMap ----

bool TThreadMap::Add(TThreadID id, IAVLogger* logger) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FMap.emplace(id, logger).second;
}

void TThreadMap::AddOrSet(TThreadID id, IAVLogger* logger) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FMap[id] = logger;
}

void TThreadMap::Remove(TThreadID id) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FMap.erase(id);
}

void TThreadMap::RemoveLogger(IAVLogger* logger) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  std::erase_if(FMap, [logger](const auto& entry) { return entry.second == logger; });
}

bool TThreadMap::ContainsKey(TThreadID id) const {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FMap.count(id) != 0;
}

int TThreadMap::Count() const {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return static_cast<int>(FMap.size());
}

TThreadMap& ThreadMap() {
  // Never destroyed: FFmpeg may log from a thread that outlives static
  // destruction (or from an atexit handler), and the callback must still find
  // a valid registry then.
  static TThreadMap* map = new TThreadMap;
  return *map;
}

// ---- TThreadLoggerGuard ----

TThreadLoggerGuard::TThreadLoggerGuard(IAVLogger* logger) : FId(CurrentThreadId()) {
  FHadPrevious = ThreadMap().WithLogger(FId, [this](IAVLogger* previous) { FPrevious = previous; });
  ThreadMap().AddOrSet(FId, logger);
}

TThreadLoggerGuard::~TThreadLoggerGuard() {
  if (FHadPrevious)
    ThreadMap().AddOrSet(FId, FPrevious);
  else
    ThreadMap().Remove(FId);
}

// ---- start-up ----

bool AVLoaded() { return GAVLoaded.load(); }

void RegisterCustomInputs() {
  // FFmpeg no longer lets applications register protocols or input
  // formats: "stream:" URLs (and the schemes that build on them) are opened
  // through custom I/O by the URL resolver in io/url.h, where the player,
  // the converter and the preview open their inputs and outputs. Nothing
  // needs to be registered globally.
}

void LoadLibs() {
  std::lock_guard<std::mutex> lock(GLoadLock);
  if (GAVLoaded.load()) return;
  av_log_set_flags(AV_LOG_SKIP_REPEATED);
  avformat_network_init();
  // Formats, codecs and filters are always registered in FFmpeg 5; devices
  // still need this call.
  avdevice_register_all();
  RegisterCustomInputs();
  av_log_set_callback(LogCallback);
  GAVLoaded.store(true);
}

void UnloadLibs() {
  std::lock_guard<std::mutex> lock(GLoadLock);
  if (!GAVLoaded.load()) return;
  avformat_network_deinit();
  av_log_set_callback(av_log_default_callback);
  GAVLoaded.store(false);
}

// ---- the log callback ----

void LogCallback(void* avcl, int level, const char* fmt, va_list vl) {
  try {
    const TThreadID id = CurrentThreadId();
    // Looked up and used under the registry's lock, so the logger cannot be
    // unregistered (and destroyed) while its line is delivered.
    ThreadMap().WithLogger(id, [&](IAVLogger* logger) {
      Assert(logger != nullptr, "avlib", __LINE__);
      // The low byte is the level; higher bits carry colour hints.
      const int bareLevel = level & 0xff;
      if (logger->GetLogLevel() < bareLevel) return;
      char line[kLogLineSize] = {};
      va_list args;
      va_copy(args, vl);
      const int rc = av_log_format_line2(avcl, level, fmt, args, line, kLogLineSize, &t_print_prefix);
      va_end(args);
      if (rc < 0) return;
      size_t len = std::strlen(line);
      while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) --len;
      logger->DoLog(bareLevel, std::string(line, len));
    });
  } catch (...) {
    // Nothing may unwind into FFmpeg; a line that could not be delivered is lost.
  }
}

std::string PtrToStr(const char* p) { return p ? std::string(p) : std::string(); }

}  // namespace kivora
