// "bmpcap" capture figures at 1080p (1920x1080 RGBA, 8 MB a picture),
// without encoding:
//   - pictures per second one reader captures (copy + packet), by the wall
//     clock and per second of the reader thread's CPU;
//   - the time each read of a picture takes (median, p99): the capture lock
//     is held for part of it, so this bounds the hold from above;
//   - while a reader captures, how long a drawing thread that takes the
//     capture lock over and over waits for it whenever the reader holds it
//     (median, p99): that wait is the hold the application feels.
// Run: build/bench/capture_bench [PICTURES]  (300 by default)
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "kivora/io/url.h"
#include "kivora/platform/bitmap.h"
#include "kivora/runtime/ffmpeg.h"

using namespace kivora;
using kivora::bench::Clock;
using kivora::bench::Ms;

namespace {

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double At(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

struct ReadFigures {
  int pictures = 0;
  double wall_ms = 0, cpu_ms = 0;
  std::vector<double> read_ms;  // per picture
  bool bad_size = false;
};

// Opens the bitmap as a "bmpcap" input and reads count pictures as fast as
// they come.
ReadFigures ReadPictures(const TBitmap& bitmap, int count) {
  ReadFigures f;
  AVFormatContext* raw = nullptr;
  TUrlIOPtr io;
  if (OpenInputUrl(&raw, BmpCaptureName(bitmap), FindInputFormat("bmpcap"), nullptr, io) < 0) return f;
  AVInputContextPtr ic(raw);
  AVPacketPtr pkt(av_packet_alloc());
  const int64_t expected = static_cast<int64_t>(bitmap.Width()) * bitmap.Height() * 4;
  const double c0 = ThreadCpuMs();
  const auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto r0 = Clock::now();
    if (ReadInputFrame(ic.get(), io.get(), pkt.get()) < 0) break;
    f.read_ms.push_back(Ms(r0, Clock::now()));
    f.bad_size |= pkt->size != expected;
    av_packet_unref(pkt.get());
    ++f.pictures;
  }
  f.wall_ms = Ms(t0, Clock::now());
  f.cpu_ms = ThreadCpuMs() - c0;
  return f;
}

void Print(const char* what, const ReadFigures& f) {
  std::printf("%s: %d pictures in %.0f ms = %.1f pictures/s (%.1f per CPU second of the reader)%s\n", what,
              f.pictures, f.wall_ms, 1000.0 * f.pictures / std::max(f.wall_ms, 1e-3),
              1000.0 * f.pictures / std::max(f.cpu_ms, 1e-3), f.bad_size ? " (PACKET SIZE WRONG)" : "");
  std::printf("  one read (the lock is held for part of it): median %.3f ms, p99 %.3f ms\n", At(f.read_ms, 0.5),
              At(f.read_ms, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  const int pictures = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  TBitmap bitmap(1920, 1080);
  bitmap.Clear(0xFF336699u);

  ReadPictures(bitmap, 20);  // let the allocator and the page cache settle
  Print("1080p capture, reader alone", ReadPictures(bitmap, pictures));

  // A drawing thread beside the reader: it takes the lock, changes a few
  // pixels and lets go, over and over. A wait longer than an uncontended
  // take (kContended) is a hold of the reader's.
  constexpr double kContended = 0.010;  // ms
  std::atomic<bool> stop{false};
  std::vector<double> waits;
  long takes = 0;
  std::thread drawer([&] {
    uint32_t colour = 0;
    while (!stop) {
      const auto t0 = Clock::now();
      {
        TBmpCaptureLock lock;
        const double w = Ms(t0, Clock::now());
        if (w > kContended) waits.push_back(w);
        TBitmapData d;
        if (bitmap.Map(TMapAccess::Write, d)) {
          std::memset(d.Data, static_cast<int>(++colour & 0xFF), 64);
          bitmap.Unmap(d);
        }
      }
      ++takes;
      // Room for the reader to take the lock between two takes.
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  const ReadFigures busy = ReadPictures(bitmap, pictures);
  stop = true;
  drawer.join();
  Print("1080p capture, with a drawing thread", busy);
  std::printf("  capture lock held per picture, as the drawing thread waited for it: median %.3f ms, p99 %.3f ms, "
              "max %.3f ms (%zu waits over %.3f ms in %ld takes; goal: median <= 3 ms)\n",
              At(waits, 0.5), At(waits, 0.99), At(waits, 1.0), waits.size(), kContended, takes);
  return 0;
}
