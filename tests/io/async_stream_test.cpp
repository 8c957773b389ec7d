// The growing stream for live data: direct reads keep their timed "try
// again", waiting reads wake on writes and ends, nothing written is lost at
// the end, and a writer and a reader on two threads see every byte in order.
#include "kivora/io/async_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora::testing {
namespace {

using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

TEST(AsyncStream, DirectReadsGiveWhatIsThereThenWaitThenTryAgainThenEnd) {
  TAVAsyncStream s;
  EXPECT_EQ(s.WaitTimeout(), 100);
  s.SetWaitTimeout(60);
  std::vector<uint8_t> in(100), out(4096);
  std::iota(in.begin(), in.end(), 0);
  ASSERT_EQ(s.Write(in.data(), 100), 100);
  ASSERT_EQ(s.Read(out.data(), 4096), 100);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));

  const auto t0 = Clock::now();
  EXPECT_EQ(s.Read(out.data(), 4096), -11);
  EXPECT_GE(MsSince(t0), 55) << "the read waits for a writer before it gives up";

  // The natural order of a writer: the last piece, then the end. The piece
  // is read before the end shows.
  ASSERT_EQ(s.Write(in.data(), 10), 10);
  s.SetEOF(true);
  EXPECT_EQ(s.Read(out.data(), 4096), 10);
  EXPECT_EQ(s.Read(out.data(), 4096), AVERROR_EOF);
  EXPECT_EQ(s.Read(out.data(), 4096), AVERROR_EOF);
  // More after all.
  s.SetEOF(false);
  ASSERT_EQ(s.Write(in.data(), 5), 5);
  EXPECT_EQ(s.Read(out.data(), 4096), 5);
}

TEST(AsyncStream, SeeksStayInsideWhatWasWrittenAndWritesDoNotMoveThePosition) {
  TAVAsyncStream s;
  std::vector<uint8_t> bytes(1000, 7);
  s.Write(bytes.data(), 1000);
  EXPECT_EQ(s.Seek(1000, TSeekOrigin::soBeginning), 1000);
  EXPECT_EQ(s.Seek(1001, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(s.Seek(-1, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(s.Position(), 1000);
  EXPECT_EQ(s.Seek(400, TSeekOrigin::soBeginning), 400);
  s.Write(bytes.data(), 500);
  EXPECT_EQ(s.Position(), 400);
  EXPECT_EQ(s.Size(), 1500);
  EXPECT_EQ(s.Available(), 1100);

  // Dropping what was read keeps the last bytes asked for; earlier
  // positions are gone, later ones keep their numbers.
  s.DiscardRead(100);
  EXPECT_EQ(s.Size(), 1500);
  EXPECT_EQ(s.CopyBytes().size(), 1200u);
  EXPECT_EQ(s.Seek(299, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(s.Seek(300, TSeekOrigin::soBeginning), 300);
  uint8_t b = 0;
  EXPECT_EQ(s.Read(&b, 1), 1);
  EXPECT_EQ(b, 7);
  EXPECT_THROW(s.SetSize(10), Exception);
  s.SetSize(1600);
  EXPECT_EQ(s.Size(), 1600);
}

TEST(AsyncStream, AWaitingReadWakesForDataForTheEndAndForAnInterrupt) {
  struct Case {
    const char* name;
    int64_t expect;
  } cases[] = {{"data", 3}, {"end", AVERROR_EOF}, {"interrupt", AVERROR_EXIT}};
  for (const Case& c : cases) {
    TAVAsyncStream s;
    std::atomic<bool> stop{false};
    std::atomic<int64_t> got{1};
    std::thread reader([&] {
      uint8_t buf[16];
      got = s.WaitRead(buf, sizeof buf, [&] { return stop.load(); });
    });
    // Longer than any direct-read timeout: the waiting read never gives up.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(got.load(), 1) << c.name << ": returned before anything happened";
    const std::string name = c.name;
    if (name == "data") s.Write("abc", 3);
    if (name == "end") s.SetEOF(true);
    if (name == "interrupt") stop = true;
    reader.join();
    EXPECT_EQ(got.load(), c.expect) << c.name;
  }
}

TEST(AsyncStream, AWriterAndAReaderOnTwoThreadsSeeEveryByteInOrder) {
  TAVAsyncStream s;
  constexpr int kBytes = 4 << 20;
  std::thread writer([&] {
    std::vector<uint8_t> piece;
    int next = 0;
    while (next < kBytes) {
      piece.clear();
      const int n = std::min(kBytes - next, 1 + static_cast<int>((static_cast<int64_t>(next) * 7919) % 9000));
      for (int i = 0; i < n; ++i) piece.push_back(static_cast<uint8_t>((next + i) * 31));
      s.Write(piece.data(), n);
      next += n;
    }
    s.SetEOF(true);
  });
  std::vector<uint8_t> buf(3000);
  int64_t seen = 0;
  bool in_order = true;
  for (;;) {
    const int64_t n = seen % 2 ? s.Read(buf.data(), 3000) : s.WaitRead(buf.data(), 3000, nullptr);
    if (n == -11) continue;
    if (n < 0) break;
    for (int64_t i = 0; i < n; ++i) in_order = in_order && buf[i] == static_cast<uint8_t>((seen + i) * 31);
    seen += n;
    if (seen % 5 == 0) s.DiscardRead(1000);
  }
  writer.join();
  EXPECT_EQ(seen, kBytes);
  EXPECT_TRUE(in_order);
}

}  // namespace
}  // namespace kivora::testing
