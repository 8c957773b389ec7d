// "stream:" URLs: which texts name a live stream, what an open of a wrong
// one reports, and media read from and written to application streams
// compared with the same media through files.
#include "kivora/io/url.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <thread>

#include "kivora/io/async_stream.h"
#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

const std::string& Clip(const std::string& container) {
  static TempDir dir;
  static std::map<std::string, std::string> made;
  auto it = made.find(container);
  if (it == made.end()) {
    MediaSpec m;
    m.container = container;
    m.frames = 50;
    it = made.emplace(container, MakeMedia(dir.Path("clip." + container), m)).first;
  }
  return it->second;
}

// Packets per stream and the container's name, read through any URL.
struct Demuxed {
  int error = 0;
  std::string format;
  std::vector<int> packets;
  std::vector<int64_t> bytes;
};

Demuxed Demux(const std::string& url) {
  Demuxed d;
  AVFormatContext* raw = nullptr;
  TUrlIOPtr io;
  d.error = OpenInputUrl(&raw, url, nullptr, nullptr, io);
  if (d.error < 0) return d;
  AVInputContextPtr ic(raw);
  if ((d.error = avformat_find_stream_info(ic.get(), nullptr)) < 0) return d;
  d.format = ic->iformat->name;
  d.packets.assign(ic->nb_streams, 0);
  d.bytes.assign(ic->nb_streams, 0);
  AVPacketPtr pkt(av_packet_alloc());
  while (av_read_frame(ic.get(), pkt.get()) >= 0) {
    d.packets[static_cast<size_t>(pkt->stream_index)]++;
    d.bytes[static_cast<size_t>(pkt->stream_index)] += pkt->size;
    av_packet_unref(pkt.get());
  }
  return d;
}

// Copies every packet of the file at `in` into a new `format` output at url.
int Remux(const std::string& in, const std::string& url, const char* format) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, in.c_str(), nullptr, nullptr) < 0) return -1;
  AVInputContextPtr ic(raw);
  avformat_find_stream_info(ic.get(), nullptr);
  AVFormatContext* oraw = nullptr;
  avformat_alloc_output_context2(&oraw, nullptr, format, url.c_str());
  if (!oraw) return -2;
  AVFormatContextPtr oc(oraw);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* os = avformat_new_stream(oc.get(), nullptr);
    avcodec_parameters_copy(os->codecpar, ic->streams[i]->codecpar);
    os->codecpar->codec_tag = 0;
    os->time_base = ic->streams[i]->time_base;
  }
  TUrlIOPtr io;
  int ret = OpenOutputUrl(oc.get(), url, nullptr, nullptr, io);
  if (ret < 0) return ret;
  ret = avformat_write_header(oc.get(), nullptr);
  AVPacketPtr pkt(av_packet_alloc());
  while (ret >= 0 && av_read_frame(ic.get(), pkt.get()) >= 0) {
    av_packet_rescale_ts(pkt.get(), ic->streams[pkt->stream_index]->time_base,
                         oc->streams[pkt->stream_index]->time_base);
    ret = av_interleaved_write_frame(oc.get(), pkt.get());
  }
  if (ret >= 0) ret = av_write_trailer(oc.get());
  const int closed = CloseOutputUrl(oc.get(), io);
  return ret < 0 ? ret : closed;
}

TEST(StreamUrl, OnlyTheNumberOfALiveStreamNamesIt) {
  TMemoryStream s;
  auto gone = std::make_unique<TMemoryStream>();
  const std::string gone_url = StreamUrl(*gone);
  gone.reset();
  const std::string n = std::to_string(s.LiveId());
  struct Case {
    std::string url;
    bool names_it;
  } cases[] = {
      {StreamUrl(s), true},
      {StreamUrl(s, "mp4"), true},
      {StreamUrl(s, ".ts"), true},
      {"stream:" + n + ".mkv", true},
      {"stream:" + n + ".tar.gz", false},
      {"stream:" + n + ".", false},
      {"stream:" + n + "x", false},
      {"stream:+" + n, false},
      {"xstream:" + n, false},
      {"stream:", false},
      {"stream:abc", false},
      {"stream:1", false},
      {"stream:123456789012345678901", false},   // past 64 bits
      {"stream:18446744073709551616", false},    // 2^64
      {gone_url, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetStreamFromUrl(c.url) == &s, c.names_it) << c.url;
    if (!c.names_it) {
      const int error = Demux(c.url).error;
      EXPECT_LT(error, 0) << c.url;
      EXPECT_TRUE(!IsStreamUrl(c.url) || error == AVERROR(EINVAL)) << c.url << ": " << error;
    }
  }
  EXPECT_EQ(StreamUrl(s, "mp4"), "stream:" + n + ".mp4");
}

TEST(StreamUrl, AnInputReadsTheSameAsTheFileAndOneStreamIsOpenedOnceAtATime) {
  for (const std::string container : {"mp4", "mpegts", "matroska"}) {
    const Demuxed file = Demux(Clip(container));
    ASSERT_EQ(file.error, 0);
    TMemoryStream s;
    s.LoadFromFile(Clip(container));
    s.SetPosition(s.Size());  // an open reads from the start anyway
    // MPEG-TS is found by its content, the others with the extension's hint.
    const std::string url = StreamUrl(s, container == "mpegts" ? "" : container == "mp4" ? "mp4" : "mkv");
    const Demuxed mem = Demux(url);
    ASSERT_EQ(mem.error, 0) << container;
    EXPECT_EQ(mem.format, file.format);
    EXPECT_EQ(mem.packets, file.packets) << container;
    EXPECT_EQ(mem.bytes, file.bytes) << container;
  }

  TMemoryStream s;
  s.LoadFromFile(Clip("mp4"));
  AVFormatContext* raw = nullptr;
  TUrlIOPtr first;
  ASSERT_EQ(OpenInputUrl(&raw, StreamUrl(s, "mp4"), nullptr, nullptr, first), 0);
  AVInputContextPtr ic(raw);
  EXPECT_EQ(Demux(StreamUrl(s)).error, AVERROR(EBUSY)) << "a second open would move the first one's position";
  ic.reset();
  first.reset();
  EXPECT_EQ(Demux(StreamUrl(s)).error, 0) << "free again once the first input is closed";
}

TEST(StreamUrl, AnOutputReplacesTheOldContentAndReadsBackLikeAFileOutput) {
  TempDir dir;
  ASSERT_EQ(Remux(Clip("mp4"), dir.Path("ref.mkv"), "matroska"), 0);
  const Demuxed ref = Demux(dir.Path("ref.mkv"));
  for (const char* format : {"matroska", "mp4"}) {
    TMemoryStream out;
    std::vector<uint8_t> junk(4 << 20, 0xEE);  // longer than the output
    out.Write(junk.data(), static_cast<int64_t>(junk.size()));
    ASSERT_EQ(Remux(Clip("mp4"), StreamUrl(out, format == std::string("mp4") ? "mp4" : "mkv"), format), 0) << format;
    EXPECT_LT(out.Size(), static_cast<int64_t>(junk.size())) << "no stale tail after the new content";
    out.SaveToFile(dir.Path(std::string("back.") + format));
    const Demuxed back = Demux(dir.Path(std::string("back.") + format));
    ASSERT_EQ(back.error, 0) << format;
    EXPECT_EQ(back.packets, ref.packets) << format;
    EXPECT_EQ(back.bytes, ref.bytes) << format;
  }
}

// A stream that takes only `room` bytes, then refuses (a full disk), or
// throws (a stream that cannot be written at all).
class CrampedStream : public TStream {
public:
  CrampedStream(int64_t room, bool throws) : FRoom(room), FThrows(throws) {}
  ~CrampedStream() override { EndLife(); }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    if (FThrows) throw Exception("Stream write error");
    const int64_t n = std::min(count, FRoom);  // short writes first
    FRoom -= n;
    FWritten += n;
    return n;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (origin == TSeekOrigin::soBeginning) FPos = offset;
    return FPos;
  }
  int64_t FRoom, FWritten = 0, FPos = 0;
  bool FThrows;
};

TEST(StreamUrl, AnOutputThatCannotTakeEverythingFailsInsteadOfEndingShort) {
  for (bool throws : {false, true}) {
    CrampedStream s(throws ? 0 : 5000, throws);
    const int ret = Remux(Clip("mp4"), StreamUrl(s, "mkv"), "matroska");
    EXPECT_EQ(ret, AVERROR(EIO)) << (throws ? "throwing" : "full") << ": " << AVErrorString(ret);
  }
}

TEST(StreamUrl, ALiveStreamIsNotSeekableAsAnOutputAndEndsAfterItsLastByteAsAnInput) {
  TempDir dir;
  // MP4 needs to patch its header: it refuses, Matroska writes its streaming form.
  {
    TAVAsyncStream live;
    EXPECT_LT(Remux(Clip("mp4"), StreamUrl(live, "mp4"), "mp4"), 0);
  }
  TAVAsyncStream live;
  ASSERT_EQ(Remux(Clip("mp4"), StreamUrl(live, "mkv"), "matroska"), 0);
  const std::vector<uint8_t> bytes = live.CopyBytes();
  const Demuxed ref = Demux(Clip("mp4"));

  // Fed back in small pieces by a writer that ends with the last piece and
  // SetEOF: every packet arrives.
  TAVAsyncStream feed;
  std::thread writer([&] {
    for (size_t off = 0; off < bytes.size(); off += 4096) {
      feed.Write(bytes.data() + off, static_cast<int64_t>(std::min<size_t>(4096, bytes.size() - off)));
      if (off % (64 * 4096) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    feed.SetEOF(true);
  });
  const Demuxed got = Demux(StreamUrl(feed));
  writer.join();
  ASSERT_EQ(got.error, 0);
  EXPECT_EQ(got.packets, ref.packets);
  EXPECT_EQ(got.bytes, ref.bytes);
}

TEST(StreamUrl, AStreamDestroyedWhileAnInputWaitsOnItEndsTheInput) {
  auto live = std::make_unique<TAVAsyncStream>();
  const std::string bytes = [] {
    std::ifstream in(Clip("mpegts"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  live->Write(bytes.data(), static_cast<int64_t>(bytes.size() / 2));
  std::atomic<int> packets{0};
  std::atomic<bool> done{false};
  std::thread reader([&, url = StreamUrl(*live)] {
    AVFormatContext* raw = nullptr;
    TUrlIOPtr io;
    if (OpenInputUrl(&raw, url, nullptr, nullptr, io) == 0) {
      AVInputContextPtr ic(raw);
      AVPacketPtr pkt(av_packet_alloc());
      while (av_read_frame(ic.get(), pkt.get()) >= 0) {
        packets++;
        av_packet_unref(pkt.get());
      }
    }
    done = true;
  });
  for (int i = 0; i < 200 && packets < 10; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader now waits for more
  EXPECT_FALSE(done.load());
  live.reset();
  reader.join();
  EXPECT_GT(packets.load(), 10);
}

TEST(StreamUrl, InterruptingAWaitingInputEndsItsRead) {
  TAVAsyncStream live;
  std::atomic<bool> stop{false};
  AVFormatContext* raw = avformat_alloc_context();
  raw->interrupt_callback.callback = [](void* p) { return static_cast<std::atomic<bool>*>(p)->load() ? 1 : 0; };
  raw->interrupt_callback.opaque = &stop;
  std::atomic<int> result{1};
  std::thread opener([&] {
    TUrlIOPtr io;
    result = OpenInputUrl(&raw, StreamUrl(live), nullptr, nullptr, io);
    if (result == 0) avformat_close_input(&raw);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(result.load(), 1) << "nothing written: the open waits";
  stop = true;
  opener.join();
  EXPECT_LT(result.load(), 0);
}

}  // namespace
}  // namespace kivora::testing
