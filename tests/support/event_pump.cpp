// The event pump and the shared application object of the test programs.
#include "support/event_pump.h"

#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "kivora/platform/mainthread.h"

namespace kivora::testing {

bool PumpUntil(const std::function<bool()>& pred, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    if (QCoreApplication::instance()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      // Also waits up to 5 ms for a worker's hand-off, so the loop does not spin.
      MainThread::CheckSynchronize(5);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
}

QApplication* EnsureApp() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // QApplication keeps references to argc and argv: both must outlive it.
  static int argc = 1;
  static char name[] = "kivora-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

}  // namespace kivora::testing
