// Player figures on a local 1080p H.264 + AAC file, played with sound (the
// silent SDL driver, which takes samples at real-time pace):
//   - time from OpenMovie to the first picture shown (goal: median <= 40 ms),
//   - time from a key-frame seek to its picture being shown (median <= 15 ms),
//   - |video clock - audio clock| at every picture shown during playback with
//     seeks, overall and over the first pictures after each seek (p99 <= 40 ms),
//   - CPU time per shown picture, next to the ffmpeg command line doing the
//     same work: decode, crop to the size the player shows, RGBA conversion and
//     sound resampled to 44.1 kHz 16-bit stereo (goal: ratio <= 1.15),
//   - resident memory growth over 200 open/close cycles.
// Run: build/bench/player_bench [FILE]  (without FILE a 1080p clip is made)
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "kivora/kivora.h"
#include "kivora/player/frame_pool.h"
#include "kivora/player/player.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;
using kivora::bench::Clock;
using kivora::bench::Ms;
using kivora::bench::RssKb;

namespace {

// Pictures right after a seek whose clock difference is also reported apart.
constexpr int kAfterSeekPictures = 25;

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

class CountingView : public IAVView {
public:
  void DoVideoDisplay(AVFrame*) override { shown++; }
  void SetViewSize(int, int) override {}
  void Clear(uint32_t) override {}
  int shown = 0;
};

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Nearest rank: the smallest value that at least p of the samples reach.
double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::max<size_t>(rank, 1) - 1];
}

const char* Verdict(double value, double goal) { return std::isfinite(value) && value <= goal ? "met" : "missed"; }

// What the file holds, read with FFmpeg alone.
struct Probe {
  int width = 0, height = 0;
  int64_t video_packets = 0;
  bool audio = false;
};

Probe ProbeFile(const std::string& file) {
  Probe p;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return p;
  AVInputContextPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) return p;
  const int v = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  p.audio = av_find_best_stream(ic.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
  if (v < 0) return p;
  p.width = ic->streams[v]->codecpar->width;
  p.height = ic->streams[v]->codecpar->height;
  AVPacketPtr pkt(av_packet_alloc());
  while (av_read_frame(ic.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == v) p.video_packets++;
    av_packet_unref(pkt.get());
  }
  return p;
}

// The player cuts pictures to whole multiples of 16 pixels (a side shorter
// than 16 is kept whole).
int Cut16(int side) { return side < 16 ? side : side / 16 * 16; }

// |video clock - audio clock| in ms at each picture, and which of them came
// right after a seek.
struct SyncSamples {
  std::vector<double> all, afterSeek;
  std::vector<double> signedAll;  // video minus audio
  int uncompared = 0;  // pictures shown while either clock had no value
};

// Opens the file five times; each time measures the first picture, then
// makes key-frame seeks during playback and times each to its picture.
void OpenAndSeek(const std::string& file, bool sound, std::vector<double>& first, std::vector<double>& seeks,
                 SyncSamples& sync) {
  for (int round = 0; round < 5; round++) {
    CountingView view;
    TAVPlayer p;
    p.SetDisableAudio(!sound);
    p.RegisterView(&view);
    double target = -1;  // the seek being timed
    Clock::time_point seekAt;
    double lastPts = NAN;
    int sinceSeek = kAfterSeekPictures;
    bool landed = true;
    p.OnVideoDisplay = [&](TComponent*, AVFrame*) {
      const double v = p.VideoClock(), a = p.AudioClock();
      if (!landed && std::isfinite(v)) {
        // The seek's picture: at the target, or the first one after a jump
        // (a key frame before the target, in a file of the user's).
        const bool jumped = std::isfinite(lastPts) && (v < lastPts - 0.001 || v > lastPts + 0.5);
        if (jumped || std::fabs(v - target) <= 0.02) {
          seeks.push_back(Ms(seekAt, Clock::now()));
          landed = true;
        }
      }
      if (std::isfinite(v)) lastPts = v;
      if (!sound) return;
      if (!std::isfinite(v) || !std::isfinite(a)) {
        sync.uncompared++;
      } else {
        const double diff = std::fabs(v - a) * 1000.0;
        sync.all.push_back(diff);
        sync.signedAll.push_back((v - a) * 1000.0);
        if (sinceSeek < kAfterSeekPictures) sync.afterSeek.push_back(diff);
      }
      sinceSeek++;
    };
    const auto t0 = Clock::now();
    p.OpenMovie(file, false, false);
    PumpUntil([&] { return view.shown >= 1; }, 10000);
    first.push_back(Ms(t0, Clock::now()));
    PumpUntil([] { return false; }, 500);
    for (double t : {2.0, 6.0, 1.0, 8.0}) {
      target = t;
      landed = false;
      sinceSeek = 0;
      seekAt = Clock::now();
      p.SetPosition(t);
      if (!PumpUntil([&] { return landed; }, 10000)) std::printf("  a seek to %.1f s showed no picture\n", t);
      landed = true;
      PumpUntil([] { return false; }, 1500);  // steady playback before the next seek
    }
    p.OnVideoDisplay = nullptr;
    p.CloseMovie();
    PumpUntil([&] { return !p.Playing(); }, 10000);
  }
}

// Plays the whole file with sound and frame dropping off, so every picture is
// shown, while the GUI thread waits in its event loop as an application's
// does. Returns CPU seconds of this process and the pictures shown.
double PlayThrough(const std::string& file, int& shown) {
  CountingView view;
  TAVPlayer p;
  p.SetFrameDrop(false);
  p.RegisterView(&view);
  QEventLoop loop;
  p.OnPlaybackFinished = [&](TComponent*) { QTimer::singleShot(300, &loop, &QEventLoop::quit); };
  p.OnConnectionError = [&](TComponent*, const std::string& e) {
    std::printf("cannot play: %s\n", e.c_str());
    loop.quit();
  };
  QTimer::singleShot(600000, &loop, &QEventLoop::quit);
  const double c0 = CpuSeconds(RUSAGE_SELF);
  p.OpenMovie(file, false, false);
  loop.exec();
  const double cpu = CpuSeconds(RUSAGE_SELF) - c0;
  p.CloseMovie();
  PumpUntil([&] { return !p.Playing(); }, 10000);
  shown = view.shown;
  return cpu;
}

// CPU seconds the ffmpeg program spends on the same work; NaN when it is not
// installed or fails.
double FfmpegCpu(const std::string& file, const Probe& probe, std::string& command) {
  command = "ffmpeg -nostdin -v error -i '" + file + "' -vf crop=" + std::to_string(Cut16(probe.width)) + ":" +
            std::to_string(Cut16(probe.height)) + ",format=rgba";
  // aformat's options by name: FFmpeg 5.1 reads a second positional value as
  // the sample rate.
  if (probe.audio) command += " -af aresample=44100,aformat=sample_fmts=s16:channel_layouts=stereo";
  command += " -f null -";
  if (system("command -v ffmpeg >/dev/null 2>&1") != 0) return NAN;
  const double c0 = CpuSeconds(RUSAGE_CHILDREN);
  if (system(command.c_str()) != 0) return NAN;
  return CpuSeconds(RUSAGE_CHILDREN) - c0;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
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
    s.sample_rate = 48000;  // both sides resample to 44.1 kHz
    std::printf("making a 10 s 1080p25 H.264 + 48 kHz stereo AAC clip...\n");
    file = MakeMedia(dir.Path("bench1080.mp4"), s);
  }
  const Probe probe = ProbeFile(file);
  if (probe.width <= 0) {
    std::printf("no picture in %s\n", file.c_str());
    return 1;
  }
  std::printf("%s: %dx%d, shown as %dx%d, %s\n", file.c_str(), probe.width, probe.height, Cut16(probe.width),
              Cut16(probe.height), probe.audio ? "with sound" : "without sound");

  std::vector<double> first, seeks;
  SyncSamples sync;
  OpenAndSeek(file, probe.audio, first, seeks, sync);
  const double firstMs = Median(first), seekMs = Median(seeks);
  std::printf("first picture after OpenMovie: median %.1f ms (goal <= 40 ms: %s)\n", firstMs, Verdict(firstMs, 40));
  std::printf("key-frame seek to shown picture: median %.1f ms over %zu seeks (goal <= 15 ms: %s)\n", seekMs,
              seeks.size(), Verdict(seekMs, 15));
  if (probe.audio) {
    const double p99 = Percentile(sync.all, 0.99), p99Seek = Percentile(sync.afterSeek, 0.99);
    std::printf("|video clock - audio clock| over %zu pictures: p99 %.1f ms, max %.1f ms (goal p99 <= 40 ms: %s)\n",
                sync.all.size(), p99, Percentile(sync.all, 1.0), Verdict(p99, 40));
    std::printf("  the first %d pictures after each seek (%zu): p99 %.1f ms, max %.1f ms (goal p99 <= 40 ms: %s)\n",
                kAfterSeekPictures, sync.afterSeek.size(), p99Seek, Percentile(sync.afterSeek, 1.0),
                Verdict(p99Seek, 40));
    std::printf("  video minus audio: median %+.1f ms\n", Median(sync.signedAll));
    if (sync.uncompared) std::printf("  %d pictures shown while a clock had no value\n", sync.uncompared);
  }

  // CPU per shown picture, side by side with the ffmpeg command line.
  {
    int shown = 0;
    const double cpu = PlayThrough(file, shown);
    const double player = shown ? cpu * 1000 / shown : NAN;
    std::printf("player: %d pictures shown, %.2f ms CPU per picture\n", shown, player);
    std::string command;
    const double child = FfmpegCpu(file, probe, command);
    if (std::isfinite(child) && probe.video_packets > 0) {
      const double ffmpeg = child * 1000 / static_cast<double>(probe.video_packets);
      std::printf("%s\n  %.2f ms CPU per picture\n", command.c_str(), ffmpeg);
      std::printf("player / ffmpeg: %.2f (goal <= 1.15: %s)\n", player / ffmpeg, Verdict(player / ffmpeg, 1.15));
    } else {
      std::printf("no side-by-side figure: the ffmpeg program is not installed or failed\n  (%s)\n",
                  command.c_str());
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
    // Picture memory kept for reuse is resident but no leak: it is counted
    // apart, so the figure shows what the cycles leave behind.
    // Freed heap memory the allocator still holds (each decoder thread of
    // each cycle may have filled an arena of its own) is handed back first,
    // so both readings count only memory in use.
    const double idle0 = static_cast<double>(PictureMemory::IdleBytes()) / (1 << 20);
    malloc_trim(0);
    const long rss0 = RssKb();
    for (int i = 0; i < 200; i++) cycle();
    malloc_trim(0);
    const long rss1 = RssKb();
    const double idle1 = static_cast<double>(PictureMemory::IdleBytes()) / (1 << 20);
    const double growth = static_cast<double>(rss1 - rss0) / 1024.0;
    std::printf("resident memory growth over 200 open/close cycles: %.2f MB, %.2f MB without the picture memory "
                "kept for reuse (%.1f -> %.1f MB) (goal < 2 MB)\n",
                growth, growth - (idle1 - idle0), idle0, idle1);
  }
  return 0;
}
