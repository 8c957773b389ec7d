// Custom I/O figures, each printed beside its reference in one run:
//   - demuxing every packet of a large file through "stream:" over a
//     TMemoryStream, against the same file through FFmpeg's file path (and
//     `ffmpeg -i FILE -c copy -f null -` when the ffmpeg program is there);
//   - resident memory over 200 open/close cycles of one "stream:" input;
//   - TAVAsyncStream: write-to-read latency of a waiting reader (median,
//     95th percentile) and the CPU a reader uses while it waits for data.
// Run: build/bench/io_bench [MEGABYTES]  (size of the file, 200 by default)
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "kivora/io/async_stream.h"
#include "kivora/io/url.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;
using kivora::bench::Clock;
using kivora::bench::Ms;

namespace {

// Reads every packet of url; returns the bytes of packet data, -1 on error.
int64_t DemuxAll(const std::string& url) {
  AVFormatContext* raw = nullptr;
  TUrlIOPtr io;
  if (OpenInputUrl(&raw, url, nullptr, nullptr, io) < 0) return -1;
  AVInputContextPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) return -1;
  AVPacketPtr pkt(av_packet_alloc());
  int64_t bytes = 0;
  while (av_read_frame(ic.get(), pkt.get()) >= 0) {
    bytes += pkt->size;
    av_packet_unref(pkt.get());
  }
  return bytes;
}

double BestMs(int rounds, const std::string& url, int64_t& bytes) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    bytes = DemuxAll(url);
    best = std::min(best, Ms(t0, Clock::now()));
  }
  return best;
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  const int megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  TempDir dir;
  // Raw 640x360 pictures in a QuickTime (MP4 family) file: mostly bytes to move, so the
  // figure is about the I/O path, not a decoder.
  MediaSpec big;
  big.container = "mov";
  big.video_codec = AV_CODEC_ID_RAWVIDEO;
  big.width = 640;
  big.height = 360;
  big.frames = static_cast<int>(megabytes * 1048576.0 / (640 * 360 * 2)) + 1;
  big.pix_fmt = AV_PIX_FMT_UYVY422;  // QuickTime's "2vuy"
  big.audio_codec = AV_CODEC_ID_NONE;
  std::printf("making a %d MB file...\n", megabytes);
  const std::string file = MakeMedia(dir.Path("big.mov"), big);

  TMemoryStream mem;
  mem.LoadFromFile(file);
  int64_t file_bytes = 0, mem_bytes = 0;
  BestMs(1, file, file_bytes);  // warm the page cache
  const double file_ms = BestMs(3, file, file_bytes);
  const double mem_ms = BestMs(3, StreamUrl(mem, "mov"), mem_bytes);
  std::printf("demux %.0f MB (%.0f MB of packets): file %.1f ms, stream: %.1f ms -> stream speed = %.0f%% of the file path%s\n",
              mem.Size() / 1048576.0, mem_bytes / 1048576.0, file_ms, mem_ms, 100.0 * file_ms / mem_ms,
              file_bytes == mem_bytes ? "" : " (PACKET BYTES DIFFER)");
  if (std::system("command -v ffmpeg >/dev/null 2>&1") == 0) {
    const std::string cmd = "ffmpeg -v error -i '" + file + "' -map 0 -c copy -f null - </dev/null";
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
      const auto t0 = Clock::now();
      if (std::system(cmd.c_str()) != 0) break;
      best = std::min(best, Ms(t0, Clock::now()));
    }
    std::printf("      ffmpeg -c copy -f null (whole process): %.1f ms\n", best);
  }

  // Memory over open/close cycles of one stream, after a first round that
  // lets the allocator settle.
  {
    TMemoryStream clip;
    MediaSpec small;
    clip.LoadFromFile(MakeMedia(dir.Path("small.mp4"), small));
    const std::string url = StreamUrl(clip, "mp4");
    for (int i = 0; i < 20; ++i) DemuxAll(url);
    const long before = kivora::bench::RssKb();
    for (int i = 0; i < 200; ++i) DemuxAll(url);
    std::printf("200 open/read/close cycles of a stream: resident memory %+ld kB (goal: under 2048)\n",
                kivora::bench::RssKb() - before);
  }

  // Latency: the writer stamps each piece; the reader waits as a
  // "stream:" input does and notes when the piece arrived.
  TAVAsyncStream live;
  constexpr int kPieces = 400;
  std::vector<double> latency;
  std::atomic<int64_t> stamp_ns{0};
  double idle_cpu_ms = 0, idle_wall_ms = 0;
  std::thread reader([&] {
    std::vector<uint8_t> buf(4096);
    for (int i = 0; i < kPieces; ++i) {
      if (live.WaitRead(buf.data(), 4096, nullptr) <= 0) break;
      const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
      latency.push_back((now - stamp_ns.load()) / 1e6);
    }
    // Waiting with nothing coming.
    const double c0 = ThreadCpuMs();
    const auto t0 = Clock::now();
    live.WaitRead(buf.data(), 4096, nullptr);
    idle_wall_ms = Ms(t0, Clock::now());
    idle_cpu_ms = ThreadCpuMs() - c0;
  });
  std::vector<uint8_t> piece(4096, 1);
  for (int i = 0; i < kPieces; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    stamp_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    live.Write(piece.data(), 4096);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  live.SetEOF(true);
  reader.join();
  std::sort(latency.begin(), latency.end());
  if (!latency.empty())
    std::printf("async write -> read: median %.3f ms, p95 %.3f ms over %zu pieces\n", latency[latency.size() / 2],
                latency[latency.size() * 95 / 100], latency.size());
  std::printf("async reader waiting %.0f ms used %.2f ms CPU = %.3f%% of a core\n", idle_wall_ms, idle_cpu_ms,
              100.0 * idle_cpu_ms / std::max(idle_wall_ms, 1.0));
  return 0;
}
