// TAVView's share of the GUI thread: the time to take one RGBA picture in
// (DoVideoDisplay) and paint it (repaint of the shown widget), on the
// offscreen platform.
//   - 1080p pictures in a 1080p widget (goal: at most 2 ms per picture),
//   - 4K pictures, shown at their own size and fitted into a 1080p widget:
//     how many pictures per second the view sustains.
// Run: build/bench/view_bench
#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench_util.h"
#include "kivora/kivora.h"
#include "kivora/presentation/view.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;
using kivora::bench::Clock;
using kivora::bench::Ms;

namespace {

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Reference-counted RGBA pictures, as the player hands them over, each with
// its own frame number drawn in so no two paints show the same pixels.
std::vector<AVFramePtr> MakePictures(int w, int h, int count) {
  std::vector<AVFramePtr> frames;
  for (int i = 0; i < count; ++i) {
    AVFramePtr f(av_frame_alloc());
    f->width = w;
    f->height = h;
    f->format = AV_PIX_FMT_RGBA;
    if (av_frame_get_buffer(f.get(), 0) < 0) return {};
    DrawTestPicture(f->data[0], w, h, f->linesize[0], i);
    frames.push_back(std::move(f));
  }
  return frames;
}

struct ViewCost {
  double display_ms = 0;  // DoVideoDisplay, median
  double paint_ms = 0;    // repaint, median
  double total_ms = 0;    // both, median of the sums
};

// Shows `rounds` pictures of w x h in a widget of viewW x viewH.
ViewCost Measure(int w, int h, int viewW, int viewH, int rounds) {
  const std::vector<AVFramePtr> frames = MakePictures(w, h, 8);
  TAVView view;
  view.SetViewSize(w, h);
  view.resize(viewW, viewH);
  view.show();
  PumpUntil([] { return false; }, 50);
  std::vector<double> display, paint, total;
  for (int i = 0; i < rounds + 5; ++i) {
    AVFrame* f = frames[static_cast<size_t>(i) % frames.size()].get();
    const auto t0 = Clock::now();
    view.DoVideoDisplay(f);
    const auto t1 = Clock::now();
    view.repaint();
    const auto t2 = Clock::now();
    if (i < 5) continue;  // warm-up: first allocations and caches
    display.push_back(Ms(t0, t1));
    paint.push_back(Ms(t1, t2));
    total.push_back(Ms(t0, t2));
  }
  return {Median(display), Median(paint), Median(total)};
}

void Print(const char* name, const ViewCost& c) {
  std::printf("%s: %.2f ms per picture (display %.2f ms + paint %.2f ms), %.0f pictures/s\n", name, c.total_ms,
              c.display_ms, c.paint_ms, c.total_ms > 0 ? 1000.0 / c.total_ms : 0.0);
}

}  // namespace

int main() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  EnsureApp();
  LoadLibs();
  const ViewCost hd = Measure(1920, 1080, 1920, 1080, 200);
  Print("TAVView 1080p in a 1080p widget", hd);
  std::printf("  goal: at most 2 ms per 1080p picture on the GUI thread: %s\n", hd.total_ms <= 2.0 ? "met" : "missed");
  Print("TAVView 4K at its own size", Measure(3840, 2160, 3840, 2160, 60));
  Print("TAVView 4K fitted into a 1080p widget", Measure(3840, 2160, 1920, 1080, 60));
  return 0;
}
