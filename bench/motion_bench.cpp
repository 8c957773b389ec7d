// Motion detector throughput on one core: frames per second for RGBA frames
// at 1080p and 4K, without a mask, keeping a mask, and keeping and painting it
// (getImage over the fed frame every time).
// Run: build/bench/motion_bench
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "kivora/preview/motiondetect.h"

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

}  // namespace

int main() {
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
  std::printf("goal: 500 fps at 1080p without a mask (one core)\n");
  return 0;
}
