// A program outside the Kivora tree that drives the installed player the way
// an application does, and checks that every run of it ends.
//
//   player_events events CLIP OTHER COVER [--mode qt|direct] [--case TEXT]
//                 [--jobs N | --serial] [--verbose] [--limit SECONDS]
//                 [--hold SECONDS]
//     Every event handler that can be made to run closes its player, opens
//     OTHER or destroys the player: once with a QApplication running its
//     event loop (handlers come on the GUI thread), once without any Qt
//     application (handlers come on the player's own threads). Without
//     --mode both run, the direct mode in a child process. CLIP is a short
//     clip with sound, OTHER another short file, COVER a sound file with a
//     cover picture; the connection error comes from CLIP with ".missing"
//     added. Each case ends when the next expected event has come; up to N
//     cases of one mode run side by side (8; --serial: one at a time).
//     --case runs only the cases whose name holds TEXT; --verbose prints
//     how long each case took. --hold keeps a process with a stuck case
//     alive that long, for a debugger.
//   player_events cycles CLIP [--count N] [--limit-mb M]
//     N blocking opens and closes of CLIP (each shows a picture first);
//     prints the resident memory after the first and after the last, and
//     fails when it grew by more than M MB (default 200 cycles, 5 MB). Large
//     blocks are given back to the system when freed, unless
//     --default-malloc (see RunCycles).
//
// Exit code 0 when everything ended as it should, 1 when a case failed, 2
// for a usage error, 3 when a case hung (then the process ends itself before
// its limit, default 8 s, and names the cases still running). One line per
// failed case; a crash names the cases that were running.
#include <kivora/kivora.h>

#include <QApplication>
#include <QTimer>

#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using kivora::TAVPlayer;
using kivora::TComponent;
using Clock = std::chrono::steady_clock;

enum class TEvent { Start, VideoDisplay, PlaybackFinished, ConnectionError, Log };
enum class TAction { Close, OpenOther, Destroy };
// A case's course: the player opens its first file and waits for the event;
// the handler acts; the outcome of the action is checked; the player that
// is left is closed and destroyed by the program. Stuck: a call into the
// player did not return, so the case is left as it is.
enum class TPhase { NotStarted, Waiting, Verifying, Settling, CleaningUp, Done, Stuck };

const char* EventName(TEvent e) {
  switch (e) {
    case TEvent::Start: return "OnStart";
    case TEvent::VideoDisplay: return "OnVideoDisplay";
    case TEvent::PlaybackFinished: return "OnPlaybackFinished";
    case TEvent::ConnectionError: return "OnConnectionError";
    case TEvent::Log: return "OnLog";
  }
  return "?";
}

const char* ActionName(TAction a) {
  switch (a) {
    case TAction::Close: return "CloseMovie";
    case TAction::OpenOther: return "OpenMovie(other)";
    case TAction::Destroy: return "delete";
  }
  return "?";
}

const char* PhaseName(TPhase p) {
  switch (p) {
    case TPhase::NotStarted: return "not started";
    case TPhase::Waiting: return "waiting for the event or inside its handler";
    case TPhase::Verifying: return "waiting for what the action leads to";
    case TPhase::Settling: return "closed, watching for late events";
    case TPhase::CleaningUp: return "closing and destroying the player";
    case TPhase::Done: return "done";
    case TPhase::Stuck: return "stuck";
  }
  return "?";
}

// The time each step of a case may take (the event, the action's outcome,
// the final close); a whole run normally takes well under a second.
constexpr int kStepMs = 2500;
// After a close, how long the case watches for events that must not come.
constexpr int kSettleMs = 100;

std::thread::id g_mainThread;

long Ms(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

struct TCase {
  TEvent event;
  TAction action;
  bool cover;  // the first file is the sound file with a cover picture
  bool qt;     // a Qt application runs its event loop
  std::string name;
  std::string first, other;

  std::atomic<int> phase{static_cast<int>(TPhase::NotStarted)};
  Clock::time_point since;            // main thread: when the phase began
  bool cleanupClosed = false;         // main thread: the final CloseMovie was asked
  std::vector<std::string> failures;  // main thread
  Clock::time_point began;            // main thread: when the player was made
  long took = 0;                      // main thread: ms from then to the end

  std::atomic<TAVPlayer*> player{nullptr};
  std::atomic<bool> acted{false};          // the handler began the action
  std::atomic<Clock::rep> actedAt{0};      // ... at this time
  std::atomic<bool> actionDone{false};     // ... and the action returned
  std::atomic<bool> destroyed{false};      // the handler's delete returned
  std::atomic<bool> closeReturned{false};  // the handler's CloseMovie returned
  std::atomic<bool> otherStarted{false}, otherFinished{false};
  std::atomic<int> inHandler{0};  // handlers of this case running now

  std::mutex lock;
  std::vector<std::string> handlerFailures;  // found on the handlers' threads

  TPhase Phase() const { return static_cast<TPhase>(phase.load()); }
  void SetPhase(TPhase p) {
    phase = static_cast<int>(p);
    since = Clock::now();
  }
  long Elapsed() const { return Ms(Clock::now() - since); }

  void HandlerFailure(const std::string& what) {
    std::lock_guard<std::mutex> g(lock);
    for (const std::string& f : handlerFailures)
      if (f == what) return;
    handlerFailures.push_back(what);
  }

  // Checks made at the start of every handler: the player still exists, and
  // the handler runs on the thread its mode promises (the GUI thread with a
  // Qt application, a thread of the player's without one; OnLog always on
  // the player's log thread).
  void Enter(const char* handler, bool guiEvent) {
    if (destroyed) HandlerFailure(std::string(handler) + " ran after the player was destroyed");
    const bool onMain = std::this_thread::get_id() == g_mainThread;
    if (guiEvent && qt && !onMain) HandlerFailure(std::string(handler) + " ran off the GUI thread");
    if ((!guiEvent || !qt) && onMain) HandlerFailure(std::string(handler) + " ran on the application's main thread");
  }

  void Act(TAVPlayer* p) {
    if (acted.exchange(true)) return;  // once per case
    actedAt = Clock::now().time_since_epoch().count();
    switch (action) {
      case TAction::Close:
        p->CloseMovie();
        closeReturned = true;
        break;
      case TAction::OpenOther: p->OpenMovie(other, false, false); break;
      case TAction::Destroy: {
        TAVPlayer* mine = player.exchange(nullptr);
        delete mine;
        destroyed = true;
        break;
      }
    }
    actionDone = true;
  }
};

// Counts a case's handler as running while it lives (for the hang and
// crash reports).
struct THandlerScope {
  explicit THandlerScope(TCase& c) : c(c) { c.inHandler++; }
  ~THandlerScope() { c.inHandler--; }
  TCase& c;
};

// Every case of this process; never freed, so the watchdog and the crash
// report may read them until the process is gone.
std::vector<TCase*>* g_cases = new std::vector<TCase*>;
std::atomic<TCase*> g_mainIn{nullptr};  // the case the main thread is calling the player for
const char* g_modeName = "";
// What the process is doing, for the hang report.
std::atomic<const char*> g_stage{"starting"};

void SetHandlers(TCase& c, TAVPlayer& p) {
  TCase* k = &c;
  p.OnStart = [k](TComponent* s) {
    THandlerScope scope(*k);
    auto* p = static_cast<TAVPlayer*>(s);
    k->Enter("OnStart", true);
    if (k->closeReturned) k->HandlerFailure("OnStart ran after CloseMovie had returned");
    if (p->Movie() == k->other) k->otherStarted = true;
    if (k->event == TEvent::Start) k->Act(p);
  };
  p.OnConnectionError = [k](TComponent* s, const std::string& error) {
    THandlerScope scope(*k);
    k->Enter("OnConnectionError", true);
    // A handler of OnLog that closes or reopens may cancel the first open,
    // which may then be told as an error; no other case expects one, and
    // the other file always opens.
    const bool expected =
        k->event == TEvent::ConnectionError ? !k->acted.load() : k->event == TEvent::Log && !k->otherStarted;
    if (!expected) k->HandlerFailure("unexpected OnConnectionError: " + error);
    if (k->event == TEvent::ConnectionError) k->Act(static_cast<TAVPlayer*>(s));
  };
  p.OnPlaybackFinished = [k](TComponent* s) {
    THandlerScope scope(*k);
    k->Enter("OnPlaybackFinished", true);
    // Only checked with a Qt application, where the close and the event
    // share the GUI thread; without one the state timer's thread may be
    // just about to call the handler when another thread closes.
    if (k->qt && k->closeReturned) k->HandlerFailure("OnPlaybackFinished ran after CloseMovie had returned");
    if (k->otherStarted) k->otherFinished = true;
    if (k->event == TEvent::PlaybackFinished) k->Act(static_cast<TAVPlayer*>(s));
  };
  p.OnVideoDisplay = [k](TComponent* s, AVFrame* frame) {
    THandlerScope scope(*k);
    k->Enter("OnVideoDisplay", true);
    if (!frame) k->HandlerFailure("OnVideoDisplay without a frame");
    if (k->event == TEvent::VideoDisplay) k->Act(static_cast<TAVPlayer*>(s));
  };
  if (c.event == TEvent::Log) {
    // FFmpeg's debug lines come from the first moments of the open.
    p.SetLogLevel(kivora::llDebug);
    p.OnLog = [k](TComponent* s, int, const std::string&) {
      THandlerScope scope(*k);
      k->Enter("OnLog", false);
      k->Act(static_cast<TAVPlayer*>(s));
    };
  }
}

void Fail(TCase& c, const std::string& why) { c.failures.push_back(why); }

std::string PlayerState(TAVPlayer* p) {
  if (!p) return "the player is gone";
  std::string s = p->Playing() ? "playing" : "not playing";
  const std::string error = p->LastErrorMessage();
  if (!error.empty()) s += ", last error: " + error;
  return s;
}

void Finish(TCase& c) {
  c.took = Ms(Clock::now() - c.began);
  {
    std::lock_guard<std::mutex> g(c.lock);
    for (const std::string& f : c.handlerFailures) c.failures.push_back(f);
  }
  c.SetPhase(TPhase::Done);
}

// One step of a case, on the main thread; never waits itself.
void Poll(TCase& c) {
  g_mainIn = &c;
  try {
    switch (c.Phase()) {
      case TPhase::NotStarted: {
        c.began = Clock::now();
        auto* p = new TAVPlayer;
        c.player = p;
        SetHandlers(c, *p);
        c.SetPhase(TPhase::Waiting);
        p->OpenMovie(c.first, false, false);  // in the background
        break;
      }
      case TPhase::Waiting:
        if (c.actionDone) {
          c.SetPhase(TPhase::Verifying);
        } else if (c.acted) {
          const Clock::rep at = c.actedAt;  // 0 for a moment after acted is set
          if (at != 0 && Ms(Clock::now() - Clock::time_point(Clock::duration(at))) > kStepMs) {
            Fail(c, std::string(ActionName(c.action)) + " inside " + EventName(c.event) + " did not return within " +
                        std::to_string(kStepMs) + " ms");
            c.SetPhase(TPhase::Stuck);
          }
        } else if (c.Elapsed() > kStepMs && !c.acted.exchange(true)) {
          // Taken from the handlers: a late event does nothing now, so the
          // player stays the program's to close.
          Fail(c, std::string(EventName(c.event)) + " did not come within " + std::to_string(kStepMs) + " ms (" +
                      PlayerState(c.player) + ")");
          c.SetPhase(TPhase::CleaningUp);
        }
        break;
      case TPhase::Verifying: {
        TAVPlayer* p = c.player;
        switch (c.action) {
          case TAction::Close:
            if (!p) {
              Fail(c, "the player was gone after CloseMovie");
              Finish(c);
            } else if (!p->Playing()) {
              c.SetPhase(TPhase::Settling);
            } else if (c.Elapsed() > kStepMs) {
              Fail(c, "still playing " + std::to_string(kStepMs) + " ms after CloseMovie");
              c.SetPhase(TPhase::CleaningUp);
            }
            break;
          case TAction::OpenOther:
            if (c.otherFinished) {
              c.SetPhase(TPhase::CleaningUp);
            } else if (c.Elapsed() > kStepMs) {
              Fail(c, std::string("the other file ") +
                          (c.otherStarted ? "started but did not play to its end" : "did not start") + " within " +
                          std::to_string(kStepMs) + " ms (" + PlayerState(p) + ")");
              c.SetPhase(TPhase::CleaningUp);
            }
            break;
          case TAction::Destroy:
            if (p || !c.destroyed) Fail(c, "the player was not destroyed");
            Finish(c);
            break;
        }
        break;
      }
      case TPhase::Settling:
        if (c.Elapsed() >= kSettleMs) c.SetPhase(TPhase::CleaningUp);
        break;
      case TPhase::CleaningUp: {
        TAVPlayer* p = c.player;
        if (!p) {
          Finish(c);
          break;
        }
        if (!c.cleanupClosed) {
          c.cleanupClosed = true;
          p->CloseMovie();
        }
        if (!p->Playing()) {
          c.player = nullptr;
          delete p;
          Finish(c);
        } else if (c.Elapsed() > kStepMs) {
          Fail(c, "still playing " + std::to_string(kStepMs) + " ms after the program's own CloseMovie");
          c.SetPhase(TPhase::Stuck);
        }
        break;
      }
      case TPhase::Done:
      case TPhase::Stuck: break;
    }
  } catch (const std::exception& e) {
    Fail(c, std::string("a call into the player threw: ") + e.what());
    c.SetPhase(c.player ? TPhase::CleaningUp : TPhase::Done);
  }
  g_mainIn = nullptr;
}

bool Over(const TCase& c) { return c.Phase() == TPhase::Done || c.Phase() == TPhase::Stuck; }

// Advances the cases, at most `jobs` of them running at once; true once
// every one has ended.
bool Step(const std::vector<TCase*>& cases, int jobs) {
  // A player waiting on the main thread may serve events there: the tick
  // must not step the cases again from inside one of their own calls.
  static bool stepping = false;
  if (stepping) return false;
  stepping = true;
  struct TReset {
    ~TReset() { stepping = false; }
  } reset;
  bool all = true;
  int running = 0;
  for (TCase* c : cases) {
    if (Over(*c)) continue;
    all = false;
    if (c->Phase() == TPhase::NotStarted && running >= jobs) break;
    Poll(*c);
    if (!Over(*c)) running++;
  }
  return all;
}

// ---- hang and crash reports ----

void WriteAll(const char* s) {
  size_t n = std::strlen(s);
  while (n > 0) {
    const ssize_t w = write(STDOUT_FILENO, s, n);
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

// The cases still running, one line each (for the hang report and, with
// only write(), for the crash report).
void WriteRunning(const char* prefix) {
  for (TCase* c : *g_cases) {
    const TPhase p = c->Phase();
    if (p == TPhase::Done || p == TPhase::NotStarted) continue;
    WriteAll(prefix);
    WriteAll(c->name.c_str());
    WriteAll(": ");
    WriteAll(PhaseName(p));
    if (c->inHandler.load() > 0) WriteAll(", a handler of it is running");
    if (g_mainIn.load() == c) WriteAll(", the main thread is in a call for it");
    WriteAll("\n");
  }
}

extern "C" void OnCrash(int sig) {
  WriteAll("FAIL ");
  WriteAll(g_modeName);
  WriteAll(" mode: the process crashed (");
  WriteAll(strsignal(sig));
  WriteAll("); cases still running:\n");
  WriteRunning("  ");
  signal(sig, SIG_DFL);
  raise(sig);
}

void InstallCrashReport() {
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, OnCrash);
}

// Ends the process with a report when it is still running after `seconds`
// (a case hung where the program cannot time it out itself: a call into the
// player on the main thread that does not return).
void StartWatchdog(double seconds) {
  std::thread([seconds] {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::fflush(stdout);
    char line[160];
    std::snprintf(line, sizeof line, "FAIL %s mode: hung while %s, ended after %.1f s; cases still running:\n",
                  g_modeName, g_stage.load(), seconds);
    WriteAll(line);
    WriteRunning("  ");
    _exit(3);
  }).detach();
}

// ---- the events run ----

struct TOptions {
  std::string clip, other, cover;
  std::string mode;  // "qt", "direct" or empty for both
  std::string only;
  // Cases running at once.
  int jobs = 8;
  bool verbose = false;
  double limit = 8;
  double hold = 0;  // seconds a process with a stuck case waits before it ends
};

std::vector<TCase*> MakeCases(const TOptions& o, bool qt) {
  std::vector<TCase*> v;
  auto add = [&](TEvent e, TAction a, bool cover) {
    auto* c = new TCase;
    c->event = e;
    c->action = a;
    c->cover = cover;
    c->qt = qt;
    c->other = o.other;
    c->first = e == TEvent::ConnectionError ? o.clip + ".missing" : cover ? o.cover : o.clip;
    c->name = std::string(EventName(e)) + " -> " + ActionName(a) + (cover ? " on the cover file" : "") +
              (qt ? " (Qt event loop)" : " (direct)");
    if (!o.only.empty() && c->name.find(o.only) == std::string::npos) {
      delete c;
      return;
    }
    v.push_back(c);
    g_cases->push_back(c);
  };
  for (TEvent e : {TEvent::Start, TEvent::VideoDisplay, TEvent::PlaybackFinished, TEvent::ConnectionError, TEvent::Log})
    for (TAction a : {TAction::Close, TAction::OpenOther, TAction::Destroy}) {
      add(e, a, false);
      // The cover is shown once, by a different path than moving pictures.
      if (e == TEvent::Start || e == TEvent::VideoDisplay || e == TEvent::PlaybackFinished) add(e, a, true);
    }
  // The cases that play a file to its end first, so the short ones fill the
  // slots around them.
  auto length = [](const TCase* c) {
    return (c->event == TEvent::PlaybackFinished ? 2 : 0) + (c->action == TAction::OpenOther ? 1 : 0);
  };
  std::stable_sort(v.begin(), v.end(), [&](const TCase* a, const TCase* b) { return length(a) > length(b); });
  return v;
}

// Runs one mode's cases to their end; 0 when all passed, 1 when one failed.
// A case left stuck ends the process at once (its player cannot be closed).
int RunMode(const TOptions& o, bool qt, double limit) {
  g_modeName = qt ? "Qt event loop" : "direct";
  g_mainThread = std::this_thread::get_id();
  InstallCrashReport();
  StartWatchdog(limit);
  g_stage = "running the cases";
  const std::vector<TCase*> cases = MakeCases(o, qt);
  if (cases.empty()) {
    std::printf("no case matches '%s'\n", o.only.c_str());
    return 2;
  }
  const auto start = Clock::now();
  if (qt) {
    static int argc = 1;
    static char name[] = "player_events";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      if (Step(cases, o.jobs)) app.quit();
    });
    tick.start(2);
    app.exec();
  } else {
    while (!Step(cases, o.jobs)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const long took = Ms(Clock::now() - start);
  g_stage = "ending the process";
  int failed = 0;
  bool stuck = false;
  for (TCase* c : cases) {
    if (o.verbose) std::printf("%6ld ms  %s\n", c->took, c->name.c_str());
    if (c->failures.empty()) continue;
    failed++;
    stuck = stuck || c->Phase() == TPhase::Stuck;
    std::string line = "FAIL " + c->name + ": ";
    for (size_t i = 0; i < c->failures.size(); i++) line += (i ? "; " : "") + c->failures[i];
    std::printf("%s\n", line.c_str());
  }
  std::printf("events (%s): %zu cases, %d failed, %ld ms\n", g_modeName, cases.size(), failed, took);
  std::fflush(stdout);
  // A stuck player cannot be closed: ending normally would wait for it.
  if (stuck) {
    if (o.hold > 0) {
      std::printf("holding the stuck process %d for %.0f s (for a debugger)\n", static_cast<int>(getpid()), o.hold);
      std::this_thread::sleep_for(std::chrono::duration<double>(o.hold));
    }
    _exit(3);
  }
  return failed ? 1 : 0;
}

int RunEvents(const TOptions& o) {
  for (const std::string& f : {o.clip, o.other, o.cover})
    if (!std::ifstream(f)) {
      std::printf("player_events: cannot read %s\n", f.c_str());
      return 2;
    }
  if (o.mode == "qt") return RunMode(o, true, o.limit);
  if (o.mode == "direct") return RunMode(o, false, o.limit);
  // Both: the direct mode in a child made before any thread or Qt object
  // exists, the Qt mode here.
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) return RunMode(o, false, o.limit);
  // A little longer than the child's limit, so a hung child reports itself.
  int result = RunMode(o, true, o.limit + 0.5);
  g_stage = "waiting for the direct mode's process";
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  g_stage = "ending the process";
  if (WIFSIGNALED(status)) {
    std::printf("FAIL direct mode: the process ended by %s\n", strsignal(WTERMSIG(status)));
    return 4;
  }
  const int childResult = WIFEXITED(status) ? WEXITSTATUS(status) : 4;
  return std::max(result, childResult);
}

// ---- the cycles run ----

long ResidentKb() {
  long size = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool SleepUntil(const std::function<bool()>& done, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int RunCycles(const std::string& clip, int count, double limitMb, bool verbose, bool defaultMalloc) {
  g_modeName = "cycles";
  InstallCrashReport();
  // glibc raises its mmap threshold each time a large block is freed, so
  // later picture buffers come from the heap arenas of the threads that made
  // them, and each arena keeps what it once held: resident memory then moves
  // by several MB from cycle to cycle (and up to some 15 MB for this clip)
  // with no leak anywhere. A fixed threshold gives large blocks back to the
  // system when freed, so what is left is what the player keeps.
  if (!defaultMalloc) mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  TAVPlayer p;
  std::atomic<int> shown{0};
  p.OnVideoDisplay = [&](TComponent*, AVFrame*) { shown++; };
  long first = 0, last = 0;
  const auto start = Clock::now();
  for (int i = 0; i < count; i++) {
    const int before = shown;
    try {
      p.OpenMovie(clip, false, true);
    } catch (const std::exception& e) {
      std::printf("FAIL cycle %d: the open failed: %s\n", i + 1, e.what());
      return 1;
    }
    if (!SleepUntil([&] { return shown > before; }, 5000)) {
      std::printf("FAIL cycle %d: no picture shown within 5 s (%s)\n", i + 1, PlayerState(&p).c_str());
      return 1;
    }
    p.CloseMovie();
    if (!SleepUntil([&] { return !p.Playing(); }, 5000)) {
      std::printf("FAIL cycle %d: still playing 5 s after CloseMovie\n", i + 1);
      return 1;
    }
    last = ResidentKb();
    if (i == 0) first = last;
    if (verbose && (i == 0 || (i + 1) % 10 == 0)) std::printf("cycle %d: %.1f MB\n", i + 1, last / 1024.0);
  }
  const double grewMb = (last - first) / 1024.0;
  std::printf(
      "cycles: %d opens and closes in %.1f s; resident %.1f MB after the first, %.1f MB after the last (%+.1f MB)\n",
      count, Ms(Clock::now() - start) / 1000.0, first / 1024.0, last / 1024.0, grewMb);
  if (grewMb > limitMb) {
    std::printf("FAIL cycles: resident memory grew by %.1f MB, more than %.1f MB\n", grewMb, limitMb);
    return 1;
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: player_events events CLIP OTHER COVER [--mode qt|direct] [--case TEXT]\n"
               "                            [--jobs N | --serial] [--verbose] [--limit SECONDS]\n"
               "                            [--hold SECONDS]\n"
               "       player_events cycles CLIP [--count N] [--limit-mb M] [--verbose]\n"
               "                            [--default-malloc]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so nothing printed is lost when the process crashes or
  // ends itself.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  std::vector<std::string> files;
  TOptions o;
  int count = 200;
  double limitMb = 5;
  bool defaultMalloc = false;
  for (size_t i = 1; i < args.size(); i++) {
    const std::string& a = args[i];
    // The option's value, or null when it has none.
    auto value = [&]() -> const char* { return i + 1 < args.size() ? args[++i].c_str() : nullptr; };
    const char* v = nullptr;
    if (a == "--serial") {
      o.jobs = 1;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--default-malloc") {
      defaultMalloc = true;
    } else if (a.rfind("--", 0) != 0) {
      files.push_back(a);
    } else if (!(v = value())) {
      return Usage();
    } else if (a == "--mode") {
      o.mode = v;
    } else if (a == "--case") {
      o.only = v;
    } else if (a == "--limit") {
      o.limit = std::atof(v);
    } else if (a == "--hold") {
      o.hold = std::atof(v);
    } else if (a == "--jobs") {
      o.jobs = std::atoi(v);
    } else if (a == "--count") {
      count = std::atoi(v);
    } else if (a == "--limit-mb") {
      limitMb = std::atof(v);
    } else {
      return Usage();
    }
  }
  if (args[0] == "events" && files.size() == 3 && (o.mode.empty() || o.mode == "qt" || o.mode == "direct") &&
      o.limit > 0 && o.jobs > 0) {
    o.clip = files[0];
    o.other = files[1];
    o.cover = files[2];
    return RunEvents(o);
  }
  if (args[0] == "cycles" && files.size() == 1 && count > 0)
    return RunCycles(files[0], count, limitMb, o.verbose, defaultMalloc);
  return Usage();
}
