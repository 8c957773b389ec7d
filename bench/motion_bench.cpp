// Motion detector throughput on one core: frames per second for RGBA frames
// at 1080p and 4K, without a mask, keeping a mask, and keeping and painting it
// (getImage over the fed frame every time), and for luma planes. Then
// `kivora motion` on 300 1080p pictures beside ffmpeg decoding the same file
// to RGBA (`ffmpeg -i FILE -vf format=rgba -f null -`), three runs each.
// Run: build/bench/motion_bench [FILE]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kivora/preview/motiondetect.h"
#include "support/media_fixtures.h"

using namespace kivora;
using Clock = std::chrono::steady_clock;

namespace {

// Two frames that differ a little everywhere and a lot in one block, so each
// comparison does the work of a real scene.
std::vector<TBitmap> Frames(int w, int h) {
  std::vector<TBitmap> frames;
  std::mt19937 rng(7);
  for (int f = 0; f < 2; ++f) {
    TBitmap bmp(w, h);
    for (int y = 0; y < h; ++y) {
      uint8_t* row = bmp.Image().scanLine(y);
      for (int x = 0; x < w; ++x) {
        const bool block = x >= w / 4 + f * 32 && x < w / 2 + f * 32 && y >= h / 4 && y < h / 2;
        for (int k = 0; k < 3; ++k) row[4 * x + k] = static_cast<uint8_t>((block ? 200 : 80) + rng() % 8);
        row[4 * x + 3] = 255;
      }
    }
    frames.push_back(std::move(bmp));
  }
  return frames;
}

double Fps(std::vector<TBitmap>& frames, TShowMask mask, bool paint, int count) {
  TAVMotionDetector d;
  d.setShowMask(mask);
  d.initialize(frames[0]);
  TBitmap painted;
  const auto start = Clock::now();
  for (int i = 1; i <= count; ++i) {
    d.feedFrame(frames[i % 2], i * 40000);
    if (paint) d.getImage(painted, true);
  }
  return count / std::chrono::duration<double>(Clock::now() - start).count();
}

double LumaFps(int w, int h, int count) {
  std::vector<std::vector<uint8_t>> planes(2, std::vector<uint8_t>(static_cast<size_t>(w) * h));
  std::mt19937 rng(7);
  for (int f = 0; f < 2; ++f)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool block = x >= w / 4 + f * 32 && x < w / 2 + f * 32 && y >= h / 4 && y < h / 2;
        planes[f][static_cast<size_t>(y) * w + x] = static_cast<uint8_t>((block ? 190 : 85) + rng() % 8);
      }
  TAVMotionDetector d;
  d.setShowMask(smNone);
  d.initializeLuma(planes[0].data(), w, h, w, false, 0);
  const auto start = Clock::now();
  for (int i = 1; i <= count; ++i) d.feedLuma(planes[i % 2].data(), w, h, w, false, i * 40000);
  return count / std::chrono::duration<double>(Clock::now() - start).count();
}

// Wall seconds of a command, the best of three runs.
double BestWall(const std::vector<std::string>& argv) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    std::fflush(stdout);  // the child would write what is buffered again
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
      execvp(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  struct Size {
    const char* name;
    int w, h, count;
  } sizes[] = {{"1080p", 1920, 1080, 500}, {"4K", 3840, 2160, 150}};
  for (const Size& s : sizes) {
    std::vector<TBitmap> frames = Frames(s.w, s.h);
    std::printf("%-5s: %7.0f fps without a mask, %7.0f fps keeping a mask, %7.0f fps keeping and painting it\n",
                s.name, Fps(frames, smNone, false, s.count), Fps(frames, smMotion, false, s.count),
                Fps(frames, smMotion, true, s.count / 2));
  }
  std::printf("1080p: %7.0f fps fed luma planes\n", LumaFps(1920, 1080, 1000));
  std::printf("goal: 500 fps at 1080p without a mask (one core)\n");

#ifdef KIVORA_APP_PATH
  kivora::testing::TempDir dir;
  std::string file;
  if (argc > 1) {
    file = argv[1];
  } else {
    kivora::testing::MediaSpec m;
    m.width = 1920;
    m.height = 1080;
    m.frames = 300;
    m.gop = 50;
    m.audio_codec = AV_CODEC_ID_NONE;
    std::printf("making 300 1080p H.264 pictures...\n");
    std::fflush(stdout);
    file = kivora::testing::MakeMedia(dir.Path("motion1080.mp4"), m);
  }
  const double ours = BestWall({KIVORA_APP_PATH, "motion", file});
  std::printf("kivora motion: %.3f s", ours);
  if (std::system("command -v ffmpeg >/dev/null 2>&1") == 0) {
    const double ff = BestWall({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-vf", "format=rgba", "-f", "null", "-"});
    const double decode = BestWall({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"});
    std::printf(" | ffmpeg to RGBA %.3f s, decoding alone %.3f s | %.2fx of ffmpeg to RGBA (goal <= 0.95)", ff, decode,
                ours / ff);
  } else {
    std::printf(" | ffmpeg program not installed: no side-by-side figure");
  }
  std::printf("\n");
#else
  (void)argc;
  (void)argv;
#endif
  return 0;
}
