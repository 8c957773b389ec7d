// Encrypted media over HTTP and from files through "stream:" URLs: every
// picture to the last one, seeks with and without range requests, a cut
// connection, a wrong key, and one open at a time.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "kivora/io/aes_stream.h"
#include "kivora/io/url.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/http_file_server.h"
#include "support/media_fixtures.h"

namespace kivora::testing {
namespace {

const std::string kKey = "Kivora-Test-Key!";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A 40-picture MP4 with its index at the end, its size not a multiple of
// 256 (nor of 16), and its encrypted copy.
struct EncryptedClip {
  TempDir dir;
  std::string plain, encrypted, bytes;
  EncryptedClip() {
    MediaSpec m;
    m.frames = 40;
    m.audio_codec = AV_CODEC_ID_NONE;
    // Key frames only, so the file is larger than FFmpeg's buffers and its
    // index cannot be reached without a range request.
    m.width = 640;
    m.height = 360;
    m.gop = 1;
    for (int pad = 0;; ++pad) {
      m.metadata["comment"] = std::string(static_cast<size_t>(pad), 'x');
      plain = MakeMedia(dir.Path("clip.mp4"), m);
      bytes = ReadFile(plain);
      if (bytes.size() % 256 != 0 && bytes.size() % 16 != 0) break;
    }
    encrypted = dir.Path("clip.enc");
    EncryptFileByAES(plain, encrypted, kKey);
  }
};

const EncryptedClip& Clip() {
  static EncryptedClip clip;
  return clip;
}

struct Decoded {
  int error = 0;      // of the open, or the first failed read
  std::vector<int> numbers;
  std::string what;   // where it failed
};

// Opens url through the resolver and decodes its pictures; with seek_to >= 0
// seeks there first (seconds, to the key frame before).
Decoded DecodeUrl(const std::string& url, double seek_to = -1, AVFormatContext* ic_in = nullptr) {
  Decoded d;
  AVFormatContext* raw = ic_in;
  TUrlIOPtr io;
  if ((d.error = OpenInputUrl(&raw, url, nullptr, nullptr, io)) < 0) {
    d.what = "open";
    return d;
  }
  AVInputContextPtr ic(raw);
  if ((d.error = avformat_find_stream_info(ic.get(), nullptr)) < 0) {
    d.what = "stream info";
    return d;
  }
  const int vs = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (vs < 0) {
    d.error = vs;
    d.what = "no video";
    return d;
  }
  const AVCodec* codec = avcodec_find_decoder(ic->streams[vs]->codecpar->codec_id);
  AVCodecContextPtr dec(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(dec.get(), ic->streams[vs]->codecpar);
  avcodec_open2(dec.get(), codec, nullptr);
  if (seek_to >= 0) {
    if ((d.error = avformat_seek_file(ic.get(), -1, INT64_MIN, static_cast<int64_t>(seek_to * AV_TIME_BASE),
                                      static_cast<int64_t>(seek_to * AV_TIME_BASE), 0)) < 0) {
      d.what = "seek";
      return d;
    }
  }
  AVPacketPtr pkt(av_packet_alloc());
  AVFramePtr frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      d.numbers.push_back(ReadFrameNumber(frame.get()));
      av_frame_unref(frame.get());
    }
  };
  for (;;) {
    const int r = av_read_frame(ic.get(), pkt.get());
    if (r < 0) {
      if (r != AVERROR_EOF) {
        d.error = r;
        d.what = "read";
      }
      break;
    }
    if (pkt->stream_index == vs) avcodec_send_packet(dec.get(), pkt.get());
    av_packet_unref(pkt.get());
    drain();
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  return d;
}

// A 40-picture MPEG-TS file (it needs no index, so it plays without range
// requests), larger than FFmpeg's buffers.
std::string MakeTsClip(const TempDir& dir) {
  MediaSpec m;
  m.container = "mpegts";
  m.frames = 40;
  m.audio_codec = AV_CODEC_ID_NONE;
  m.width = 640;
  m.height = 360;
  m.gop = 1;
  return MakeMedia(dir.Path("clip.ts"), m);
}

std::vector<int> Range(int first, int last) {
  std::vector<int> v;
  for (int i = first; i <= last; ++i) v.push_back(i);
  return v;
}

TEST(AESStreamUrl, AnEncryptedFileGivesTheSamePicturesAsThePlainOneAndSeeks) {
  const EncryptedClip& c = Clip();
  ASSERT_GT(c.bytes.size(), 100000u);
  const Decoded plain = DecodeUrl(c.plain);
  ASSERT_EQ(plain.error, 0) << plain.what;
  ASSERT_EQ(plain.numbers, Range(0, 39));
  TAVAESStream s(c.encrypted, fmOpenRead, kKey);
  const Decoded enc = DecodeUrl(StreamUrl(s, "mp4"));
  EXPECT_EQ(enc.error, 0) << enc.what;
  EXPECT_EQ(enc.numbers, plain.numbers);
  const Decoded seeked = DecodeUrl(StreamUrl(s, "mp4"), 1.0);
  EXPECT_EQ(seeked.error, 0) << seeked.what;
  EXPECT_EQ(seeked.numbers, DecodeUrl(c.plain, 1.0).numbers);
  EXPECT_EQ(seeked.numbers.back(), 39);
}

TEST(AESStreamUrl, OverHttpWithRangesEveryPictureComesAndSeeksWork) {
  const EncryptedClip& c = Clip();
  HttpFileServer server(ReadFile(c.encrypted), {});
  TAVAESNetStream s(server.Url("clip.enc"), kKey);
  const Decoded all = DecodeUrl(StreamUrl(s, "mp4"));
  EXPECT_EQ(all.error, 0) << all.what;
  EXPECT_EQ(all.numbers, Range(0, 39));
  EXPECT_FALSE(s.Connected()) << "the close did not clear the connection";
  // The index at the end meant going back for the pictures.
  EXPECT_GE(server.Requests(), 2);
  const Decoded seeked = DecodeUrl(StreamUrl(s, "mp4"), 1.0);
  EXPECT_EQ(seeked.error, 0) << seeked.what;
  EXPECT_EQ(seeked.numbers, DecodeUrl(c.plain, 1.0).numbers);
}

TEST(AESStreamUrl, WithoutRangesAStreamablePlaysFromTheStartAndSeeksBackAreRefused) {
  TempDir dir;
  const std::string plain = MakeTsClip(dir);
  EncryptFileByAES(plain, dir.Path("clip.enc"), kKey);
  HttpFileServer server(ReadFile(dir.Path("clip.enc")), {.ranges = false});
  TAVAESNetStream s(server.Url("clip.enc"), kKey);
  const Decoded all = DecodeUrl(StreamUrl(s, "ts"));
  EXPECT_EQ(all.error, 0) << all.what;
  EXPECT_EQ(all.numbers, DecodeUrl(plain).numbers);
  EXPECT_EQ(all.numbers.back(), 39);
  // Reading on is fine, going back is refused and changes nothing (the
  // stream itself, as the custom I/O sees it).
  AVFormatContext* raw = nullptr;
  TUrlIOPtr io;
  ASSERT_EQ(OpenInputUrl(&raw, StreamUrl(s, "ts"), nullptr, nullptr, io), 0);
  AVInputContextPtr ic(raw);
  ASSERT_TRUE(ic->pb);
  EXPECT_EQ(ic->pb->seekable, 0);
  const int64_t pos = s.Position();
  ASSERT_GT(pos, 0);
  std::vector<uint8_t> buf(100000);
  ASSERT_EQ(s.Seek(pos + 1000, TSeekOrigin::soBeginning), pos + 1000) << "a seek forward reads forward";
  int64_t got = 0;
  while (got < static_cast<int64_t>(buf.size())) {
    const int64_t n = s.Read(buf.data() + got, static_cast<int64_t>(buf.size()) - got);
    ASSERT_GT(n, 0);
    got += n;
  }
  const std::string bytes = ReadFile(plain);
  EXPECT_TRUE(std::string(buf.begin(), buf.end()) == bytes.substr(static_cast<size_t>(pos + 1000), buf.size()));
  // (Back into the first chunk would be a new download from the start.)
  EXPECT_EQ(s.Seek(1000, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(s.Position(), pos + 1000 + got);
  const int64_t n = s.Read(buf.data(), 1000);
  ASSERT_GT(n, 0);
  EXPECT_TRUE(std::string(buf.begin(), buf.begin() + n) == bytes.substr(static_cast<size_t>(pos + 1000 + got), static_cast<size_t>(n)));
}

TEST(AESStreamUrl, ACutConnectionIsAnErrorNotAQuietEnd) {
  TempDir dir;
  const std::string plain = MakeTsClip(dir);
  EncryptFileByAES(plain, dir.Path("clip.enc"), kKey);
  const std::string enc = ReadFile(dir.Path("clip.enc"));
  for (const bool ranges : {false, true}) {
    HttpFileServer server(enc, {.ranges = ranges, .cutAfter = static_cast<long long>(enc.size() / 2) + 5});
    TAVAESNetStream s(server.Url("clip.enc"), kKey);
    const Decoded d = DecodeUrl(StreamUrl(s, "ts"));
    EXPECT_LT(d.error, 0) << "ranges " << ranges << ": the cut went unnoticed";
    EXPECT_NE(d.error, AVERROR_EOF);
    EXPECT_EQ(d.what, "read");
    EXPECT_FALSE(d.numbers.empty());
  }
}

TEST(AESStreamUrl, AWrongKeyFailsTheOpen) {
  const EncryptedClip& c = Clip();
  HttpFileServer server(ReadFile(c.encrypted), {});
  TAVAESNetStream net(server.Url("clip.enc"), "Not-The-Key-1234");
  EXPECT_LT(DecodeUrl(StreamUrl(net, "mp4")).error, 0);
  TAVAESStream file(c.encrypted, fmOpenRead, "Not-The-Key-1234");
  EXPECT_LT(DecodeUrl(StreamUrl(file, "mp4")).error, 0);
  // A server that is not there: the connection's error comes back.
  TAVAESNetStream nowhere("http://127.0.0.1:1/clip.enc", kKey);
  const Decoded d = DecodeUrl(StreamUrl(nowhere, "mp4"));
  EXPECT_LT(d.error, 0);
  EXPECT_EQ(d.what, "open");
  EXPECT_FALSE(nowhere.Connected());
}

TEST(AESStreamUrl, OneOpenAtATimeAndTheStreamReadsOnAfterClose) {
  const EncryptedClip& c = Clip();
  HttpFileServer server(ReadFile(c.encrypted), {});
  TAVAESNetStream s(server.Url("clip.enc"), kKey);
  AVFormatContext* first = nullptr;
  TUrlIOPtr io1;
  ASSERT_EQ(OpenInputUrl(&first, StreamUrl(s, "mp4"), nullptr, nullptr, io1), 0);
  EXPECT_TRUE(s.Connected());
  AVFormatContext* second = nullptr;
  TUrlIOPtr io2;
  EXPECT_EQ(OpenInputUrl(&second, StreamUrl(s, "mp4"), nullptr, nullptr, io2), AVERROR(EBUSY));
  EXPECT_EQ(second, nullptr);
  // The handle is taken too: a second connection is refused.
  EXPECT_FALSE(s.SetHandle(reinterpret_cast<AVIOContext*>(&s)));
  avformat_close_input(&first);
  io1.reset();
  EXPECT_FALSE(s.Connected());
  EXPECT_EQ(s.Read(nullptr, 0), 0);
  char byte = 0;
  EXPECT_LT(s.Read(&byte, 1), 0) << "a read without a connection";
  EXPECT_EQ(s.Seek(0, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(DecodeUrl(StreamUrl(s, "mp4")).numbers, Range(0, 39));
}

TEST(AESStreamUrl, TheNetStreamReadsTheFileByteForByteInAnyPieces) {
  const EncryptedClip& c = Clip();
  HttpFileServer server(ReadFile(c.encrypted), {});
  TAVAESNetStream s(server.Url("clip.enc"), kKey);
  AVFormatContext* raw = nullptr;
  TUrlIOPtr io;
  ASSERT_EQ(OpenInputUrl(&raw, StreamUrl(s, "mp4"), nullptr, nullptr, io), 0);
  AVInputContextPtr ic(raw);
  const int64_t size = static_cast<int64_t>(c.bytes.size());
  EXPECT_EQ(avio_size(ic->pb), size);
  // The stream itself, beside FFmpeg's buffered view: odd pieces from odd
  // places, the plain tail at the end, then the end.
  for (const int64_t at : {int64_t{0}, int64_t{300}, size - 700, size - 5}) {
    const int requests = server.Requests();
    ASSERT_EQ(s.Seek(at, TSeekOrigin::soBeginning), at);
    std::string got;
    std::string buf(333, '\0');
    for (;;) {
      const int64_t n = s.Read(buf.data(), 333);
      if (n <= 0) {
        EXPECT_EQ(n, AVERROR_EOF);
        break;
      }
      got.append(buf.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(got.size(), static_cast<size_t>(size - at)) << at;
    EXPECT_TRUE(got == c.bytes.substr(static_cast<size_t>(at))) << "wrong bytes from " << at;
    // Reading on from the middle of a chunk never went back for it.
    EXPECT_LE(server.Requests(), requests + 1) << at;
  }
  EXPECT_GT(server.RangeRequests(), 0) << "no seek became a range request";
  EXPECT_EQ(s.Seek(0, TSeekOrigin::soEnd), size);
  EXPECT_EQ(s.Seek(-1, TSeekOrigin::soBeginning), -1);
}

}  // namespace
}  // namespace kivora::testing
