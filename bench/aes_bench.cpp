// Encrypted media figures:
//   - decryption speed of TAVAESStream on one core, reading a cached file in
//     64 KiB pieces as FFmpeg does (goal: >= 200 MB/s), beside a plain
//     TFileStream read of the same file and libavutil's AES alone;
//   - CPU per shown picture when the player plays an encrypted 1080p file
//     through "stream:", against the same file played plain (goal: at most
//     5 % more), both in one run.
// Run: build/bench/aes_bench [MEGABYTES]  (default 256)
#include <sys/resource.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/aes.h>
}

#include "bench_util.h"
#include "play_cost.h"
#include "kivora/kivora.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;
using kivora::bench::Clock;
using kivora::bench::Ms;
using kivora::bench::PlayCost;
using kivora::bench::PlayToTheEnd;
using kivora::bench::CpuSeconds;

namespace {

const std::string kKey = "Bench-Key-16-byt";

const char* Verdict(bool ok) { return ok ? "met" : "NOT met"; }

// MB/s of reading the whole stream in 64 KiB pieces (best of three).
double ReadSpeed(TStream& s, int64_t size) {
  std::vector<uint8_t> buf(64 * 1024);
  double best = 0;
  for (int round = 0; round < 3; ++round) {
    s.SetPosition(0);
    const auto t0 = Clock::now();
    int64_t total = 0;
    for (;;) {
      const int64_t n = s.Read(buf.data(), static_cast<int64_t>(buf.size()));
      if (n <= 0) break;
      total += n;
    }
    const double ms = Ms(t0, Clock::now());
    if (total != size) std::printf("  short read: %lld of %lld bytes\n", static_cast<long long>(total),
                                   static_cast<long long>(size));
    best = std::max(best, static_cast<double>(total) / (1 << 20) / (ms / 1000));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  EnsureApp();
  LoadLibs();
  TempDir dir;
  const int64_t megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;

  // Decryption speed.
  {
    const int64_t size = megabytes * (1 << 20) + 13;  // a plain tail too
    {
      TFileStream f(dir.Path("plain.bin"), fmCreate);
      std::mt19937 gen(7);
      std::vector<uint8_t> buf(1 << 20);
      for (int64_t left = size; left > 0;) {
        for (auto& b : buf) b = static_cast<uint8_t>(gen());
        const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buf.size()));
        f.WriteBuffer(buf.data(), n);
        left -= n;
      }
    }
    const auto e0 = Clock::now();
    EncryptFileByAES(dir.Path("plain.bin"), dir.Path("enc.bin"), kKey);
    const double encMs = Ms(e0, Clock::now());
    std::printf("%lld MB: EncryptFileByAES %.0f MB/s\n", static_cast<long long>(megabytes),
                static_cast<double>(size) / (1 << 20) / (encMs / 1000));
    TFileStream plain(dir.Path("plain.bin"), fmOpenRead);
    TAVAESStream enc(dir.Path("enc.bin"), fmOpenRead, kKey);
    const double plainSpeed = ReadSpeed(plain, size);
    const double encSpeed = ReadSpeed(enc, size);
    // libavutil's AES alone, on a buffer in memory.
    std::vector<uint8_t> block(64 * 1024);
    AVAES* aes = av_aes_alloc();
    const TAESKey key = DeriveAESKey(kKey);
    av_aes_init(aes, key.data(), 128, 1);
    const auto a0 = Clock::now();
    int64_t done = 0;
    while (Ms(a0, Clock::now()) < 500) {
      av_aes_crypt(aes, block.data(), block.data(), static_cast<int>(block.size() / 16), nullptr, 1);
      done += static_cast<int64_t>(block.size());
    }
    const double aesSpeed = static_cast<double>(done) / (1 << 20) / (Ms(a0, Clock::now()) / 1000);
    av_free(aes);
    std::printf("TFileStream plain read: %.0f MB/s\n", plainSpeed);
    std::printf("libavutil AES-128 ECB decryption alone: %.0f MB/s\n", aesSpeed);
    std::printf("TAVAESStream decrypting read: %.0f MB/s (goal >= 200 MB/s: %s)\n", encSpeed,
                Verdict(encSpeed >= 200));
  }

  // CPU per picture: the same 1080p clip plain and encrypted, in one run.
  {
    MediaSpec s;
    s.width = 1920;
    s.height = 1080;
    s.frames = 250;
    s.gop = 25;
    s.audio_codec = AV_CODEC_ID_NONE;
    std::printf("making a 10 s 1080p25 H.264 clip...\n");
    const std::string file = MakeMedia(dir.Path("bench1080.mp4"), s);
    EncryptFileByAES(file, dir.Path("bench1080.mp4.enc"), kKey);
    double cpu[2] = {0, 0};
    int shown[2] = {0, 0};
    // Alternating runs, so a change in the machine's load touches both.
    for (int round = 0; round < 2; ++round) {
      for (int which = 0; which < 2; ++which) {
        PlayCost c;
        if (which == 0) {
          c = PlayToTheEnd(file);
        } else {
          TAVAESStream enc(dir.Path("bench1080.mp4.enc"), fmOpenRead, kKey);
          c = PlayToTheEnd(StreamUrl(enc, "mp4"));
        }
        cpu[which] += c.cpu_s;
        shown[which] += c.shown;
      }
    }
    const double plainMs = shown[0] ? cpu[0] * 1000 / shown[0] : NAN;
    const double encMs = shown[1] ? cpu[1] * 1000 / shown[1] : NAN;
    std::printf("plain file: %d pictures, %.2f ms CPU per picture\n", shown[0], plainMs);
    std::printf("encrypted through stream: %d pictures, %.2f ms CPU per picture\n", shown[1], encMs);
    const double extra = (encMs / plainMs - 1) * 100;
    std::printf("extra CPU per picture: %+.1f %% (goal <= 5 %%: %s)\n", extra, Verdict(extra <= 5));
  }
  return 0;
}
