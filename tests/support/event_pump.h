#pragma once
// Driving the Qt event loop from a test that waits for something to happen.
#include <functional>

class QApplication;

namespace kivora::testing {

// Processes Qt events and calls handed to the GUI thread
// (MainThread::CheckSynchronize) until pred returns true or timeout_ms have
// passed. Returns pred's last answer. Call it on the thread that made the
// application object.
bool PumpUntil(const std::function<bool()>& pred, int timeout_ms);

// The process-wide QApplication, made on first use on the offscreen platform
// unless QT_QPA_PLATFORM names another one. Lives until the process ends.
QApplication* EnsureApp();

}  // namespace kivora::testing
