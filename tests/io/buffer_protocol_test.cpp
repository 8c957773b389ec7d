// "buffer:" URLs: the gathering read against an inner source that delivers
// a few bytes at a time, ends and fails where a test says, and whole media
// read through it compared with the same media read directly.
// GCC 12 at -O3 wrongly reports the nested vectors of the case table as
// possibly uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "kivora/io/buffer_protocol.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <vector>

#include "kivora/io/url.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

// An inner source over bytes 0, 1, 2...: each call delivers the next piece
// size of the list (cycled, cut to what was asked), and ends or fails at
// chosen byte positions.
struct Script {
  std::vector<int> pieces;
  int64_t total = 0;
  int64_t fail_at = -1;  // the first read that would cross it fails
  int fail_code = AVERROR(ECONNRESET);
  int end_code = AVERROR_EOF;  // 0 for a source that says 0 at the end
  int64_t pos = 0;
  size_t next = 0;
  int calls = 0;
  int Read(uint8_t* buf, int size) {
    ++calls;
    if (fail_at >= 0 && pos >= fail_at) return fail_code;
    if (pos >= total) return end_code;
    int64_t n = std::min<int64_t>({pieces[next++ % pieces.size()], size, total - pos});
    if (fail_at >= 0) n = std::min<int64_t>(n, fail_at - pos);
    for (int64_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(pos + i);
    pos += n;
    return static_cast<int>(n);
  }
};

TEST(BufferReader, GathersWholeReadsAndKeepsTheEndAndErrorsApart) {
  struct Case {
    const char* what;
    Script script;
    std::vector<int> asks;
    std::vector<int> results;  // per ask
    std::vector<int> calls;    // inner calls so far, after each ask (empty: not checked)
  };
  std::vector<Case> cases = {
      {"1000 a call, then the end", {{1000}, 5000}, {4096, 4096, 4096}, {4096, 904, AVERROR_EOF}, {5, 7, 8}},
      {"a source that says 0 at the end", {{1000}, 5000, -1, 0, 0}, {4096, 4096, 4096}, {4096, 904, AVERROR_EOF}, {}},
      {"1 to 7 bytes a call", {{1, 2, 3, 4, 5, 6, 7}, 300}, {100, 100, 100, 100}, {100, 100, 100, AVERROR_EOF}, {}},
      {"an error after some bytes", {{3, 5}, 1000, 50}, {64, 64, 64}, {50, AVERROR(ECONNRESET), AVERROR(ECONNRESET)}, {}},
      {"an error before any byte", {{7}, 1000, 0, AVERROR(ETIMEDOUT)}, {10}, {AVERROR(ETIMEDOUT)}, {}},
      {"an error right at a read's end", {{4}, 1000, 16}, {16, 16}, {16, AVERROR(ECONNRESET)}, {}},
      {"nothing at all", {{7}, 0}, {10, 10}, {AVERROR_EOF, AVERROR_EOF}, {}},
  };
  for (Case& c : cases) {
    Script& s = c.script;
    TBufferReader reader([&s](uint8_t* buf, int size) { return s.Read(buf, size); });
    int64_t pos = 0;
    for (size_t i = 0; i < c.asks.size(); ++i) {
      std::vector<uint8_t> buf(static_cast<size_t>(c.asks[i]), 0xEE);
      const int got = reader.Read(buf.data(), c.asks[i]);
      ASSERT_EQ(got, c.results[i]) << c.what << ", read " << i;
      if (!c.calls.empty()) {
        EXPECT_EQ(s.calls, c.calls[i]) << c.what << ", read " << i;
      }
      for (int k = 0; k < std::max(got, 0); ++k, ++pos)
        ASSERT_EQ(buf[static_cast<size_t>(k)], static_cast<uint8_t>(pos)) << c.what << " at byte " << pos;
    }
  }
  Script s{{5}, 100};
  TBufferReader reader([&s](uint8_t* buf, int size) { return s.Read(buf, size); });
  uint8_t one = 0;
  EXPECT_EQ(reader.Read(&one, 0), AVERROR(EINVAL));
  EXPECT_EQ(reader.Read(&one, -4), AVERROR(EINVAL));
  EXPECT_EQ(s.calls, 0);
}

// A stream over a file's bytes that gives 1 to 7 bytes a read and fails
// (returns -1) once fail_at is reached.
class TrickleStream : public TStream {
public:
  explicit TrickleStream(std::vector<uint8_t> bytes, int64_t fail_at = -1)
      : FBytes(std::move(bytes)), FFailAt(fail_at) {}
  ~TrickleStream() override { EndLife(); }
  int64_t Read(void* buffer, int64_t count) override {
    ++reads;
    if (FFailAt >= 0 && FPos >= FFailAt) return -1;
    int64_t n = std::min<int64_t>({count, 1 + (FPos % 7), static_cast<int64_t>(FBytes.size()) - FPos});
    if (FFailAt >= 0) n = std::min(n, FFailAt - FPos);
    if (n <= 0) return 0;
    std::memcpy(buffer, FBytes.data() + FPos, static_cast<size_t>(n));
    FPos += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return -1; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    const int64_t base = origin == TSeekOrigin::soBeginning ? 0
                         : origin == TSeekOrigin::soCurrent ? FPos
                                                            : static_cast<int64_t>(FBytes.size());
    if (base + offset < 0) return -1;
    return FPos = base + offset;
  }
  int reads = 0;

private:
  std::vector<uint8_t> FBytes;
  int64_t FFailAt;
  int64_t FPos = 0;
};

std::vector<uint8_t> FileBytes(const std::string& path) {
  TMemoryStream m;
  m.LoadFromFile(path);
  return std::vector<uint8_t>(m.Memory(), m.Memory() + m.Size());
}

// Every picture's number, decoded from url; error is the last read's code.
struct Pictures {
  int open = 0;
  int last_read = 0;
  int pb_error = 0;
  std::vector<int> numbers;
};

Pictures DecodeNumbers(const std::string& url) {
  Pictures p;
  AVFormatContext* raw = nullptr;
  TUrlIOPtr io;
  if ((p.open = OpenInputUrl(&raw, url, nullptr, nullptr, io)) < 0) return p;
  AVInputContextPtr ic(raw);
  if ((p.open = avformat_find_stream_info(ic.get(), nullptr)) < 0) return p;
  const int vs = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (vs < 0) return p.open = vs, p;
  const AVCodec* codec = avcodec_find_decoder(ic->streams[vs]->codecpar->codec_id);
  AVCodecContextPtr dec(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(dec.get(), ic->streams[vs]->codecpar);
  avcodec_open2(dec.get(), codec, nullptr);
  AVPacketPtr pkt(av_packet_alloc());
  AVFramePtr frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) p.numbers.push_back(ReadFrameNumber(frame.get()));
  };
  while ((p.last_read = ReadInputFrame(ic.get(), io.get(), pkt.get())) >= 0) {
    if (pkt->stream_index == vs && avcodec_send_packet(dec.get(), pkt.get()) >= 0) drain();
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  p.pb_error = ic->pb ? ic->pb->error : 0;
  return p;
}

const std::string& Clip(const std::string& container) {
  static TempDir dir;
  static std::map<std::string, std::string> made;
  auto it = made.find(container);
  if (it == made.end()) {
    MediaSpec m;
    m.container = container;
    m.frames = 40;
    m.audio_codec = AV_CODEC_ID_NONE;
    it = made.emplace(container, MakeMedia(dir.Path("clip." + container), m)).first;
  }
  return it->second;
}

TEST(BufferUrl, ReadsTheSamePicturesAsTheFileFromAFileAndATricklingStream) {
  std::vector<int> all(40);
  std::iota(all.begin(), all.end(), 0);
  for (const std::string container : {"mp4", "mpegts"}) {
    const std::string& file = Clip(container);
    const Pictures direct = DecodeNumbers(file);
    ASSERT_EQ(direct.numbers, all) << container;
    EXPECT_EQ(DecodeNumbers("buffer:" + file).numbers, all) << container;
    TrickleStream trickle(FileBytes(file));
    const Pictures through = DecodeNumbers("buffer:" + StreamUrl(trickle, container == "mp4" ? "mp4" : "ts"));
    EXPECT_EQ(through.open, 0) << container;
    EXPECT_EQ(through.numbers, all) << container;
    EXPECT_EQ(through.last_read, AVERROR_EOF) << container;
    EXPECT_GT(trickle.reads, 1000) << container << ": the stream did not trickle";
    // buffer: inside buffer: is just another inner URL.
    EXPECT_EQ(DecodeNumbers("buffer:buffer:" + file).numbers, all) << container;
  }
}

TEST(BufferUrl, AnInnerErrorReachesTheDemuxerAsAnErrorNotAsTheEnd) {
  const std::vector<uint8_t> bytes = FileBytes(Clip("mpegts"));
  TrickleStream broken(bytes, static_cast<int64_t>(bytes.size() / 2));
  const Pictures p = DecodeNumbers("buffer:" + StreamUrl(broken, "ts"));
  ASSERT_EQ(p.open, 0);
  EXPECT_FALSE(p.numbers.empty());
  EXPECT_LT(p.numbers.size(), 40u);
  // The stream's failure arrives as the stream URL's read error.
  EXPECT_EQ(p.pb_error, AVERROR(EIO));
}

TEST(BufferUrl, WrongURLsFailTheOpen) {
  TrickleStream s({1, 2, 3});
  struct Case {
    std::string url;
    int error;
  } cases[] = {
      {"buffer:", AVERROR(EINVAL)},
      {"buffer:/no/such/file.mp4", AVERROR(ENOENT)},
      {"buffer:stream:12345", AVERROR(EINVAL)},
      {"buffer:buffer:", AVERROR(EINVAL)},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeNumbers(c.url).open, c.error) << c.url;
  // The buffer protocol only reads.
  AVFormatContext* oc = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, "mpegts", nullptr), 0);
  AVFormatContextPtr owned(oc);
  TUrlIOPtr io;
  EXPECT_EQ(OpenOutputUrl(oc, "buffer:" + Clip("mpegts") + ".out", nullptr, nullptr, io), AVERROR(ENOSYS));
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(BufferUrl, ClosingTheInputClosesTheInnerFile) {
  const std::string url = "buffer:" + Clip("mpegts");
  DecodeNumbers(url);
  const int before = OpenDescriptors();
  for (int i = 0; i < 200; ++i) {
    AVFormatContext* raw = nullptr;
    TUrlIOPtr io;
    ASSERT_EQ(OpenInputUrl(&raw, url, nullptr, nullptr, io), 0);
    avformat_close_input(&raw);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace kivora::testing
