#include "kivora/platform/timer.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include "kivora/platform/mainthread.h"

namespace kivora {

struct TTimer::Impl {
  // GUI flavour: a QTimer living on the GUI thread.
  QPointer<QTimer> qtimer;
  // Console flavour: a thread that ticks until stopped.
  std::thread ticker;
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
};

static void RunHandler(const std::function<void()>& fn) {
  if (!fn) return;
  try {
    fn();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kivora: timer handler failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "kivora: timer handler failed\n");
  }
}

TTimer::TTimer() : FImpl(std::make_unique<Impl>()) {}

TTimer::~TTimer() {
  FEnabled = false;
  Restart();
  if (FImpl->qtimer) {
    QTimer* t = FImpl->qtimer.data();
    if (MainThread::IsMainThread()) delete t;
    else QMetaObject::invokeMethod(t, [t] { delete t; }, Qt::QueuedConnection);
  }
}

void TTimer::SetInterval(int ms) {
  if (ms == FInterval) return;
  FInterval = ms < 1 ? 1 : ms;
  Restart();
}

void TTimer::SetEnabled(bool on) {
  if (on == FEnabled) return;
  FEnabled = on;
  Restart();
}

void TTimer::Restart() {
  // Stop the console ticker, if any.
  if (FImpl->ticker.joinable()) {
    {
      std::lock_guard<std::mutex> lock(FImpl->m);
      FImpl->stop = true;
    }
    FImpl->cv.notify_all();
    if (FImpl->ticker.get_id() == std::this_thread::get_id()) FImpl->ticker.detach();
    else FImpl->ticker.join();
  }
  if (MainThread::HasGuiThread() && MainThread::IsMainThread()) {
    if (!FImpl->qtimer) {
      FImpl->qtimer = new QTimer();
      QObject::connect(FImpl->qtimer.data(), &QTimer::timeout, [this] { RunHandler(OnTimer); });
    }
    FImpl->qtimer->stop();
    if (FEnabled) FImpl->qtimer->start(FInterval);
    return;
  }
  if (FImpl->qtimer) FImpl->qtimer->stop();
  if (!FEnabled) return;
  FImpl->stop = false;
  const int interval = FInterval;
  FImpl->ticker = std::thread([this, interval] {
    std::unique_lock<std::mutex> lock(FImpl->m);
    while (!FImpl->stop) {
      if (FImpl->cv.wait_for(lock, std::chrono::milliseconds(interval), [this] { return FImpl->stop; }))
        break;
      lock.unlock();
      RunHandler(OnTimer);
      lock.lock();
    }
  });
}

}  // namespace kivora
