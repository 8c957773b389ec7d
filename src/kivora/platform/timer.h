#pragma once
// A repeating timer whose handler runs on the GUI thread (a QTimer there).
// Without a Qt application object there is no GUI thread; the handler then
// runs on a timer thread of its own.
#include <functional>
#include <memory>

namespace kivora {

// Not thread-safe: one thread at a time calls its methods. Enabled on a
// thread other than the GUI thread, it ticks on a timer thread of its own, as
// without a Qt application object.
class TTimer {
public:
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  // Milliseconds between ticks, 1000 by default; below 1 counts as 1.
  int Interval() const { return FInterval; }
  void SetInterval(int ms);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool on);
  // Set before enabling: a timer thread reads it while it ticks. An exception
  // it throws is written to stderr.
  std::function<void()> OnTimer;

private:
  struct Impl;
  void Restart();
  std::unique_ptr<Impl> FImpl;
  int FInterval = 1000;
  bool FEnabled = false;
};

}  // namespace kivora
