// Player figures on a local 1080p H.264 file:
//   - time from OpenMovie to the first picture shown,
//   - time from a key-frame seek to its first picture,
//   - CPU time per shown picture, next to `ffmpeg -threads 1 -i FILE -f null -`
//     decoding the same file (when the ffmpeg program is installed),
//   - resident memory growth over 200 open/close cycles.
// Run: build/bench/player_bench [FILE]  (without FILE a 1080p clip is made)
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kivora/kivora.h"
#include "kivora/player/player.h"
#include "support/event_pump.h"
#include "bench_util.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;
using kivora::bench::Clock;
using kivora::bench::Ms;
using kivora::bench::RssKb;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

class CountingView : public IAVView {
public:
  void DoVideoDisplay(AVFrame*) override { shown++; }
  void SetViewSize(int, int) override {}
  void Clear(uint32_t) override {}
  int shown = 0;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  EnsureApp();
  LoadLibs();
  TempDir dir;
  std::string file;
  if (argc > 1) {
    file = argv[1];
  } else {
    MediaSpec s;
    s.width = 1920;
    s.height = 1080;
    s.frames = 250;
    s.gop = 25;
    s.audio_codec = AV_CODEC_ID_NONE;
    std::printf("making a 10 s 1080p H.264 clip...\n");
    file = MakeMedia(dir.Path("bench1080.mp4"), s);
  }

  // First picture after OpenMovie, and key-frame seeks.
  std::vector<double> first, seeks;
  for (int i = 0; i < 5; i++) {
    CountingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.RegisterView(&view);
    const auto t0 = Clock::now();
    p.OpenMovie(file, true, true);
    PumpUntil([&] { return view.shown >= 1; }, 10000);
    first.push_back(Ms(t0, Clock::now()));
    for (double target : {2.0, 6.0, 1.0, 8.0}) {
      const int before = view.shown;
      const auto s0 = Clock::now();
      p.SetPosition(target);
      PumpUntil([&] { return view.shown > before; }, 10000);
      seeks.push_back(Ms(s0, Clock::now()));
    }
    p.CloseMovie();
    PumpUntil([&] { return !p.Playing(); }, 10000);
  }
  std::printf("first picture after OpenMovie: median %.1f ms (goal < 100 ms)\n", Median(first));
  std::printf("key-frame seek to shown picture: median %.1f ms (goal < 50 ms)\n", Median(seeks));

  // CPU per shown picture, with frame dropping off so every picture is shown.
  {
    CountingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.SetFrameDrop(false);
    p.RegisterView(&view);
    int finished = 0;
    p.OnPlaybackFinished = [&](TComponent*) { finished++; };
    const double c0 = CpuSeconds();
    p.OpenMovie(file, false, true);
    PumpUntil([&] { return finished > 0; }, 120000);
    PumpUntil([] { return false; }, 500);
    const double cpu = CpuSeconds() - c0;
    p.CloseMovie();
    PumpUntil([&] { return !p.Playing(); }, 10000);
    std::printf("player: %d pictures shown, %.2f ms CPU per picture\n", view.shown,
                view.shown ? cpu * 1000 / view.shown : 0.0);
    if (system("command -v ffmpeg >/dev/null 2>&1") == 0) {
      const std::string cmd = "ffmpeg -v error -threads 1 -i '" + file + "' -f null - ";
      rusage before{}, after{};
      getrusage(RUSAGE_CHILDREN, &before);
      if (system(cmd.c_str()) == 0) {
        getrusage(RUSAGE_CHILDREN, &after);
        const double child = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                             (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
                             (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                             (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
        std::printf("ffmpeg -threads 1 decoding: %.2f ms CPU per picture (goal: player within 15%%)\n",
                    view.shown ? child * 1000 / view.shown : 0.0);
      }
    } else {
      std::printf("ffmpeg program not installed: no side-by-side figure (apt-get install ffmpeg)\n");
    }
  }

  // Memory over 200 open/close cycles.
  {
    TAVPlayer p;
    p.SetDisableAudio(true);
    auto cycle = [&] {
      p.OpenMovie(file, false, true);
      p.CloseMovie();
      PumpUntil([&] { return !p.Playing(); }, 10000);
    };
    for (int i = 0; i < 10; i++) cycle();  // warm-up: pools and caches
    const long rss0 = RssKb();
    for (int i = 0; i < 200; i++) cycle();
    const long rss1 = RssKb();
    std::printf("resident memory growth over 200 open/close cycles: %.2f MB (goal < 2 MB)\n",
                (rss1 - rss0) / 1024.0);
  }
  return 0;
}
