#pragma once
// Playing a whole file through the public player API and counting the CPU
// it costs: the player benchmarks share this.
#include <sys/resource.h>

#include <QEventLoop>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <string>

#include "kivora/player/player.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/event_pump.h"

namespace kivora::bench {

// This process's user + system CPU time in seconds.
inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// Counts the pictures and remembers the format of the last one; draws nothing.
class CountingView : public IAVView {
public:
  void DoVideoDisplay(AVFrame* f) override {
    ++shown;
    format = f->format;
  }
  void SetViewSize(int, int) override {}
  void Clear(uint32_t) override {}
  int shown = 0;
  int format = -1;
};

struct PlayCost {
  double cpu_s = 0;
  int shown = 0;
  int format = -1;
  double PerPictureMs() const { return shown ? cpu_s * 1000.0 / shown : NAN; }
};

// Plays the whole URL without sound, every picture shown (no frame drop),
// while the GUI thread waits in its event loop.
inline PlayCost PlayToTheEnd(const std::string& url, bool rgb = true) {
  CountingView view;
  TAVPlayer p;
  p.SetFrameDrop(false);
  p.SetDisableAudio(true);
  p.SetRGBMode(rgb);
  p.RegisterView(&view);
  QEventLoop loop;
  p.OnPlaybackFinished = [&](TComponent*) { QTimer::singleShot(300, &loop, &QEventLoop::quit); };
  p.OnConnectionError = [&](TComponent*, const std::string& e) {
    std::printf("cannot play: %s\n", e.c_str());
    loop.quit();
  };
  QTimer::singleShot(600000, &loop, &QEventLoop::quit);
  const double c0 = CpuSeconds();
  p.OpenMovie(url, false, false);
  loop.exec();
  PlayCost cost;
  cost.cpu_s = CpuSeconds() - c0;
  p.CloseMovie();
  kivora::testing::PumpUntil([&] { return !p.Playing(); }, 10000);
  cost.shown = view.shown;
  cost.format = view.format;
  return cost;
}

}  // namespace kivora::bench
