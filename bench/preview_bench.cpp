// Preview figures on 1080p H.264 files with key frames every 2 s and every 10 s:
//   - milliseconds per picture (median, 95th percentile) for 50 random times,
//     key-frame and accurate mode, next to one `ffmpeg -ss T -i FILE
//     -frames:v 1` process per picture (when the ffmpeg program is installed;
//     -noaccurate_seek for the key-frame mode),
//   - resident memory growth over open/close cycles and 1000 timestamps, and
//     over ten more cycles once the allocator has settled.
// Run: build/bench/preview_bench [SECONDS] [--memory]  (clip length, 30 by default;
// --memory: only the memory figure, on the 2 s clip)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kivora/platform/bitmap.h"
#include "kivora/preview/preview_decoder.h"
#include "bench_util.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;
using kivora::bench::Clock;
using kivora::bench::Ms;
using kivora::bench::RssKb;

namespace {

struct Stats {
  double median = 0, p95 = 0;
};

Stats Summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) return {};
  const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * (ms.size() - 1) + 0.5))]; };
  return {at(0.5), at(0.95)};
}

std::vector<double> Ours(const std::string& file, const std::vector<double>& times, bool accurate) {
  TPreviewDecoder d;
  if (!d.Open(file)) {
    std::fprintf(stderr, "cannot open %s: %s\n", file.c_str(), d.LastError().c_str());
    std::exit(1);
  }
  TBitmap bmp;
  std::vector<double> ms;
  for (double t : times) {
    const auto a = Clock::now();
    if (!d.DecodeAt(static_cast<int64_t>(t * 1e6), accurate) || !d.ToBitmap(bmp))
      std::fprintf(stderr, "no picture at %.3f\n", t);
    ms.push_back(Ms(a, Clock::now()));
  }
  return ms;
}

std::vector<double> Processes(const std::string& file, const std::vector<double>& times, bool accurate) {
  std::vector<double> ms;
  for (double t : times) {
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd,
                  "ffmpeg -v error -nostdin %s -ss %.3f -i '%s' -frames:v 1 -pix_fmt rgba -f rawvideo -y /dev/null",
                  accurate ? "" : "-noaccurate_seek", t, file.c_str());
    const auto a = Clock::now();
    if (std::system(cmd) != 0) std::fprintf(stderr, "ffmpeg failed at %.3f\n", t);
    ms.push_back(Ms(a, Clock::now()));
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
  const bool memoryOnly = argc > 2 && std::string(argv[2]) == "--memory";
  const bool haveFfmpeg = std::system("command -v ffmpeg >/dev/null 2>&1") == 0;
  TempDir dir;
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> pick(0.0, seconds - 0.1);
  std::vector<double> times(50);
  for (double& t : times) t = pick(rng);

  std::string twoSecondFile;
  for (int gopSeconds : {2, 10}) {
    MediaSpec m;
    m.width = 1920;
    m.height = 1080;
    m.frames = seconds * 25;
    m.gop = gopSeconds * 25;
    m.audio_codec = AV_CODEC_ID_NONE;
    std::printf("making a %d s 1080p clip with a key frame every %d s...\n", seconds, gopSeconds);
    std::fflush(stdout);
    const std::string file = MakeMedia(dir.Path("kf" + std::to_string(gopSeconds) + ".mp4"), m);
    if (gopSeconds == 2) twoSecondFile = file;
    if (memoryOnly) break;
    for (bool accurate : {false, true}) {
      const Stats ours = Summarise(Ours(file, times, accurate));
      std::printf("key frames every %2d s, %-9s: preview %7.1f ms median, %7.1f ms p95", gopSeconds,
                  accurate ? "accurate" : "key frame", ours.median, ours.p95);
      if (haveFfmpeg) {
        const Stats proc = Summarise(Processes(file, times, accurate));
        std::printf(" | ffmpeg process %7.1f ms median, %7.1f ms p95 | %.1fx faster (median)", proc.median,
                    proc.p95, proc.median / ours.median);
      }
      std::printf("\n");
      std::fflush(stdout);
    }
    // A thumbnail sheet: 30 accurate pictures spread evenly, in order.
    std::vector<double> sheet(30);
    for (size_t i = 0; i < sheet.size(); ++i) sheet[i] = (i + 0.5) * (seconds - 0.1) / sheet.size();
    const auto a = Clock::now();
    Ours(file, sheet, true);
    const double ours = Ms(a, Clock::now());
    std::printf("key frames every %2d s, sheet of 30: preview %7.1f ms", gopSeconds, ours);
    if (haveFfmpeg) {
      const auto b = Clock::now();
      Processes(file, sheet, true);
      const double proc = Ms(b, Clock::now());
      std::printf(" | 30 ffmpeg processes %7.1f ms | %.1fx faster", proc, proc / ours);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  if (!haveFfmpeg && !memoryOnly) std::printf("ffmpeg program not installed: no side-by-side figures (apt-get install ffmpeg)\n");
  std::printf("goal: at least 5x faster than the process in both modes with key frames every 2 s, 3x accurate "
              "with key frames every 10 s, 8x for the sheet\n");

  // Memory: two cycles to let the allocator reach its working size, then 10
  // open/close cycles of 100 timestamps each.
  std::uniform_real_distribution<double> any(0.0, seconds - 0.1);
  const auto cycle = [&] {
    TPreviewDecoder d;
    d.Open(twoSecondFile);
    TBitmap bmp;
    for (int i = 0; i < 100; ++i) d.DecodeAt(static_cast<int64_t>(any(rng) * 1e6), i % 2) && d.ToBitmap(bmp);
    d.Close();
  };
  cycle();
  cycle();
  const long before = RssKb();
  for (int i = 0; i < 10; ++i) cycle();
  const long after = RssKb();
  std::printf("memory: %ld kB resident before, %ld kB after 10 open/close cycles and 1000 timestamps: "
              "growth %+ld kB (goal: under 2048 kB)\n",
              before, after, after - before);
  // Growth that goes on is a leak; growth that stops is the allocator
  // keeping memory for the decoder's threads.
  for (int i = 0; i < 10; ++i) cycle();
  const long settled = RssKb();
  for (int i = 0; i < 10; ++i) cycle();
  std::printf("memory: %+ld kB over cycles 23 to 32 (after the allocator has settled)\n", RssKb() - settled);
  return 0;
}
