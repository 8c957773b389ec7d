#pragma once
// A repeating timer whose handler runs on the GUI thread (a QTimer there).
// Without a Qt application object there is no GUI thread; the handler then
// runs on a timer thread of its own.
#include <functional>
#include <memory>

namespace kivora {

class TTimer {
public:
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  int Interval() const { return FInterval; }
  void SetInterval(int ms);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool on);
  std::function<void()> OnTimer;

private:
  struct Impl;
  void Restart();
  std::unique_ptr<Impl> FImpl;
  int FInterval = 1000;
  bool FEnabled = false;
};

}  // namespace kivora
