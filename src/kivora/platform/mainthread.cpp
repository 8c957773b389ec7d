#include "kivora/platform/mainthread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace kivora {

namespace {

// How long a waiting worker sleeps before it looks again at the shutdown
// state; short enough that nothing hangs noticeably, long enough to cost
// nothing.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

enum class TaskState { Pending, Running, Done, Dropped };

struct Task {
  std::function<void()> fn;
  bool synchronous = false;
  TaskState state = TaskState::Pending;
  std::exception_ptr error;
};

// Lives in the GUI thread; the wake-up posted by workers is delivered to it.
class Helper : public QObject {
public:
  ~Helper() override;
};

// Everything the hand-off shares between threads, guarded by one mutex.
// Allocated once and never freed: it must outlive static destructors that
// might still hand work over while the program ends.
struct State {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::shared_ptr<Task>> pending;
  QCoreApplication* app = nullptr;  // the application we are set up for
  QThread* guiThread = nullptr;     // its thread
  Helper* helper = nullptr;
  bool closing = false;     // the application is shutting down
  bool wakePosted = false;  // a wake-up is already on its way to the GUI thread
  unsigned wakes = 0;       // bumped by WakeWaiter: a waiting loop's condition may hold now
};

State& S() {
  static State* state = new State;
  return *state;
}

Helper::~Helper() {
  std::lock_guard lock(S().m);
  if (S().helper == this) {
    S().helper = nullptr;
    S().wakePosted = false;
  }
}

void DropPendingLocked(State& s) {
  for (const auto& t : s.pending) t->state = TaskState::Dropped;
  s.pending.clear();
  s.cv.notify_all();
}

void RunQueued(const std::function<void()>& fn) noexcept {
  try {
    fn();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kivora: exception in queued call: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "kivora: unknown exception in queued call\n");
  }
}

int DrainPending();

void PostWakeUpLocked(State& s) {
  if (!s.helper || s.wakePosted || s.closing || s.pending.empty()) return;
  s.wakePosted = QMetaObject::invokeMethod(
      s.helper, [] { DrainPending(); }, Qt::QueuedConnection);
}

// Runs on the GUI thread. Only the calls pending when it starts are taken, so
// workers that keep queueing cannot keep the GUI thread here forever.
int DrainPending() {
  State& s = S();
  size_t budget;
  {
    std::lock_guard lock(s.m);
    s.wakePosted = false;
    budget = s.pending.size();
  }
  int ran = 0;
  for (; budget > 0; --budget) {
    std::shared_ptr<Task> task;
    {
      std::lock_guard lock(s.m);
      if (s.closing || s.pending.empty()) break;
      task = std::move(s.pending.front());
      s.pending.pop_front();
      task->state = TaskState::Running;
    }
    std::exception_ptr error;
    if (task->synchronous) {
      try {
        task->fn();
      } catch (...) {
        error = std::current_exception();
      }
    } else {
      RunQueued(task->fn);
    }
    ++ran;
    {
      std::lock_guard lock(s.m);
      task->error = error;
      task->state = TaskState::Done;
      task->fn = nullptr;  // release captures on the GUI thread
    }
    s.cv.notify_all();
  }
  return ran;
}

// Shutdown: from aboutToQuit, from the start of the application's destructor
// (a post routine) and from its destroyed signal. Workers waiting for the GUI
// thread are released; they would wait for an event loop that is gone.
void Close(bool appGone, bool deleteHelper) {
  State& s = S();
  Helper* helper = nullptr;
  {
    std::lock_guard lock(s.m);
    s.closing = true;
    DropPendingLocked(s);
    if (deleteHelper) {
      helper = s.helper;
      s.helper = nullptr;
      s.wakePosted = false;
    }
    if (appGone) {
      // With the application object gone there is no GUI thread any more:
      // later calls run on their own thread, as in a console program.
      s.app = nullptr;
      s.guiThread = nullptr;
      s.closing = false;
    }
  }
  delete helper;  // we are on the GUI thread here
}

void OnPostRoutine() { Close(false, true); }

// Runs on the GUI thread, once for each application object: from its
// constructor (the start-up routine below) or, if this code was loaded after
// the application was created, from the first call made on the GUI thread.
void SetUp(QCoreApplication* app) {
  State& s = S();
  {
    std::lock_guard lock(s.m);
    // Once per application: during shutdown the helper is gone on purpose.
    if (s.app == app) return;
  }
  auto* helper = new Helper;
  QObject::connect(app, &QCoreApplication::aboutToQuit, helper, [] { Close(false, false); },
                   Qt::DirectConnection);
  QObject::connect(app, &QObject::destroyed, [] { Close(true, true); });
  qAddPostRoutine(&OnPostRoutine);
  Helper* old = nullptr;
  {
    std::lock_guard lock(s.m);
    old = s.helper;
    s.app = app;
    s.guiThread = QThread::currentThread();
    s.helper = helper;
    s.closing = false;
    s.wakePosted = false;
    // Calls queued before we were set up get their wake-up now.
    PostWakeUpLocked(s);
  }
  delete old;
}

void StartUpRoutine() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app && QThread::currentThread() == app->thread()) SetUp(app);
}

enum class Route { Inline, Closed, Post };

Route RouteCall() {
  State& s = S();
  QThread* current = QThread::currentThread();
  QCoreApplication* app = QCoreApplication::instance();
  {
    std::lock_guard lock(s.m);
    if (s.closing) return current == s.guiThread ? Route::Inline : Route::Closed;
    if (!app) return Route::Inline;
    if (s.app == app) return current == s.guiThread ? Route::Inline : Route::Post;
  }
  // Not set up for this application yet.
  if (current == app->thread()) {
    SetUp(app);
    return Route::Inline;
  }
  return Route::Post;
}

}  // namespace

// Every new application object gets its helper from its own constructor, on
// its own thread, before any worker can ask for the GUI thread.
Q_COREAPP_STARTUP_FUNCTION(StartUpRoutine)

bool MainThread::Synchronize(const std::function<void()>& fn) {
  if (!fn) return false;
  switch (RouteCall()) {
    case Route::Inline: fn(); return true;
    case Route::Closed: return false;
    case Route::Post: break;
  }
  State& s = S();
  auto task = std::make_shared<Task>();
  task->fn = fn;
  task->synchronous = true;
  std::unique_lock lock(s.m);
  if (s.closing) return false;
  s.pending.push_back(task);
  PostWakeUpLocked(s);
  s.cv.notify_all();  // a GUI thread waiting in CheckSynchronize
  while (task->state == TaskState::Pending || task->state == TaskState::Running) {
    s.cv.wait_for(lock, kWaitSlice);
    if (task->state != TaskState::Pending) continue;
    // Still waiting for the GUI thread to pick it up: make sure it can.
    if (s.closing || !QCoreApplication::instance()) {
      std::erase(s.pending, task);
      task->state = TaskState::Dropped;
    } else {
      PostWakeUpLocked(s);
    }
  }
  if (task->state == TaskState::Dropped) return false;
  if (task->error) {
    std::exception_ptr error = task->error;
    lock.unlock();
    std::rethrow_exception(error);
  }
  return true;
}

void MainThread::Queue(std::function<void()> fn) {
  if (!fn) return;
  switch (RouteCall()) {
    case Route::Inline: RunQueued(fn); return;
    case Route::Closed: return;
    case Route::Post: break;
  }
  State& s = S();
  auto task = std::make_shared<Task>();
  task->fn = std::move(fn);
  std::lock_guard lock(s.m);
  if (s.closing) return;
  s.pending.push_back(std::move(task));
  PostWakeUpLocked(s);
  s.cv.notify_all();
}

bool MainThread::IsMainThread() {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return true;
  QThread* current = QThread::currentThread();
  {
    std::lock_guard lock(S().m);
    if (S().app == app) return current == S().guiThread;
  }
  return current == app->thread();
}

bool MainThread::HasGuiThread() { return QCoreApplication::instance() != nullptr; }

bool MainThread::CheckSynchronize(int timeoutMs) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || !IsMainThread()) return false;
  SetUp(app);
  State& s = S();
  if (timeoutMs > 0) {
    std::unique_lock lock(s.m);
    const unsigned seen = s.wakes;
    s.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                  [&s, seen] { return !s.pending.empty() || s.closing || s.wakes != seen; });
  }
  return DrainPending() > 0;
}

void MainThread::WakeWaiter() {
  State& s = S();
  {
    std::lock_guard lock(s.m);
    s.wakes++;
  }
  s.cv.notify_all();
}

}  // namespace kivora
