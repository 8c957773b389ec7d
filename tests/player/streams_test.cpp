// The player's stream lists, metadata and stream switching as an
// application uses them: what is listed and chosen at open, what the index
// setters accept, and what is seen and heard after a switch while playing,
// while paused and right after a seek.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "kivora/platform/exception.h"
#include "kivora/player/audio/mixer.h"
#include "kivora/runtime/ffmpeg.h"
#include "player_test_util.h"

namespace kivora::testing {
namespace {

// ---- media ----

// One stream taken from a file into a new one, optionally relabelled.
struct Source {
  std::string file;
  int stream = 0;
  int disposition = -1;  // -1: as in the source
  AVCodecID codec = AV_CODEC_ID_NONE;  // NONE: as in the source
};

// Writes the given streams, in the given order, into a Matroska file.
std::string Merge(const std::string& name, const std::vector<Source>& sources, const Metadata& container = {}) {
  const std::string out = Media::Get().Path(name);
  auto check = [&](int ret, const char* what) {
    if (ret < 0) throw std::runtime_error(std::string(what) + ": " + AVErrorString(ret) + " (" + name + ")");
  };
  AVFormatContext* oc = nullptr;
  check(avformat_alloc_output_context2(&oc, nullptr, "matroska", out.c_str()), "output");
  AVFormatContextPtr owner(oc);
  struct Pending {
    double time;
    AVRational tb;
    AVPacketPtr pkt;
  };
  std::vector<Pending> packets;
  for (size_t i = 0; i < sources.size(); i++) {
    const Source& src = sources[i];
    AVFormatContext* raw = nullptr;
    check(avformat_open_input(&raw, src.file.c_str(), nullptr, nullptr), "input");
    AVInputContextPtr ic(raw);
    check(avformat_find_stream_info(ic.get(), nullptr), "stream info");
    AVStream* is = ic->streams[src.stream];
    AVStream* os = avformat_new_stream(oc, nullptr);
    if (!os) throw std::runtime_error("out of memory");
    check(avcodec_parameters_copy(os->codecpar, is->codecpar), "parameters");
    os->codecpar->codec_tag = 0;
    if (src.codec != AV_CODEC_ID_NONE) os->codecpar->codec_id = src.codec;
    os->time_base = is->time_base;
    os->disposition = src.disposition >= 0 ? src.disposition : is->disposition;
    av_dict_copy(&os->metadata, is->metadata, 0);
    AVPacketPtr pkt(av_packet_alloc());
    double last = -1e9;  // packets keep their order within a stream
    while (av_read_frame(ic.get(), pkt.get()) >= 0) {
      if (pkt->stream_index == src.stream) {
        const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        if (ts != AV_NOPTS_VALUE) last = std::max(last, ts * av_q2d(is->time_base));
        pkt->stream_index = static_cast<int>(i);
        packets.push_back({last, is->time_base, AVPacketPtr(av_packet_clone(pkt.get()))});
      }
      av_packet_unref(pkt.get());
    }
  }
  for (const auto& [key, value] : container) av_dict_set(&oc->metadata, key.c_str(), value.c_str(), 0);
  check(avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE), "open for writing");
  struct CloseOnExit {
    AVFormatContext* oc;
    ~CloseOnExit() { avio_closep(&oc->pb); }
  } closer{oc};
  check(avformat_write_header(oc, nullptr), "header");
  std::stable_sort(packets.begin(), packets.end(), [](const Pending& a, const Pending& b) { return a.time < b.time; });
  for (Pending& p : packets) {
    av_packet_rescale_ts(p.pkt.get(), p.tb, oc->streams[p.pkt->stream_index]->time_base);
    check(av_interleaved_write_frame(oc, p.pkt.get()), "writing");
  }
  check(av_write_trailer(oc), "trailer");
  return out;
}

// Subtitles every half second at one place, all in one colour.
std::vector<SubtitleEvent> EveryHalfSecond(uint32_t argb, double seconds) {
  std::vector<SubtitleEvent> events;
  for (double t = 0.1; t + 0.4 < seconds; t += 0.5) events.push_back({t, t + 0.4, 20, 80, 100, 30, argb});
  return events;
}

// 8 s: video 320x240, tones 440 and 880 Hz, red subtitles, with metadata on
// the container and on each stream.
const std::string& MainClip() {
  MediaSpec s;
  s.container = "matroska";
  s.frames = 200;
  s.gop = 10;
  s.tones = {440.0, 880.0};
  s.subtitles = true;
  s.subtitle_events = EveryHalfSecond(0xFFFF0000, 8.0);
  s.metadata = {{"title", "Kivora streams"}};
  s.stream_metadata = {{{"title", "main video"}},
                       {{"title", "first audio"}, {"language", "eng"}},
                       {{"title", "second audio"}, {"language", "fre"}},
                       {{"title", "red subtitles"}}};
  return Media::Get().File("streams_main.mkv", s);
}

// The same length at 160x128 with green subtitles and no sound.
const std::string& SecondClip() {
  MediaSpec s;
  s.container = "matroska";
  s.width = 160;
  s.height = 128;
  s.frames = 200;
  s.gop = 10;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.subtitles = true;
  s.subtitle_events = EveryHalfSecond(0xFF00FF00, 8.0);
  return Media::Get().File("streams_second.mkv", s);
}

// Two of each kind: video 320x240 and 160x128, tones 440 and 880 Hz, red
// and green subtitles.
const std::string& SwitchClip() {
  static const std::string path = Merge("streams_switch.mkv", {{MainClip(), 0},
                                                               {SecondClip(), 0},
                                                               {MainClip(), 1},
                                                               {MainClip(), 2},
                                                               {MainClip(), 3},
                                                               {SecondClip(), 1}});
  return path;
}

// ---- what the application sees and hears ----

struct Shot {
  int number, width, height;
  std::array<int, 3> probe;  // R, G, B at the subtitle probe (RGBA pictures)
};

class ShotView : public IAVView {
public:
  void DoVideoDisplay(AVFrame* f) override {
    Shot s{ReadFrameNumber(f->data[0], f->width, f->height, f->linesize[0]), f->width, f->height, {-1, -1, -1}};
    if (f->format == AV_PIX_FMT_RGBA && f->width > 70 && f->height > 95) {
      const uint8_t* p = f->data[0] + 95 * f->linesize[0] + 70 * 4;
      s.probe = {p[0], p[1], p[2]};
    }
    std::lock_guard<std::mutex> g(lock);
    shots.push_back(s);
  }
  void SetViewSize(int, int) override {}
  void Clear(uint32_t) override {}
  std::vector<Shot> Shots() {
    std::lock_guard<std::mutex> g(lock);
    return shots;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(lock);
    return shots.size();
  }
  Shot Last() {
    std::lock_guard<std::mutex> g(lock);
    return shots.empty() ? Shot{-2, 0, 0, {}} : shots.back();
  }
  // Pictures shown from the index-th on.
  std::vector<Shot> Since(size_t index) {
    std::lock_guard<std::mutex> g(lock);
    return std::vector<Shot>(shots.begin() + static_cast<ptrdiff_t>(std::min(index, shots.size())), shots.end());
  }

private:
  std::mutex lock;
  std::vector<Shot> shots;
};

// Sound handed to OnAudioBuffer (stereo, MIX_FREQ).
class Ears {
public:
  void Attach(TAVPlayer& p) {
    p.OnAudioBuffer = [this](TComponent*, void* buf, int size) {
      const auto* s = static_cast<const int16_t*>(buf);
      std::lock_guard<std::mutex> g(lock);
      samples.insert(samples.end(), s, s + size / 2);
    };
  }
  size_t Frames() {
    std::lock_guard<std::mutex> g(lock);
    return samples.size() / 2;
  }
  // Pitch of the last `seconds` heard; 0 when less than that was heard.
  double RecentHz(double seconds) {
    std::lock_guard<std::mutex> g(lock);
    const size_t frames = static_cast<size_t>(seconds * MIX_FREQ);
    if (samples.size() / 2 < frames) return 0;
    return MeasureToneHz(samples.data() + samples.size() - frames * 2, frames, 2, MIX_FREQ);
  }

private:
  std::mutex lock;
  std::vector<int16_t> samples;
};

bool IsRed(const std::array<int, 3>& c) { return c[0] > 200 && c[1] < 60 && c[2] < 60; }
bool IsGreen(const std::array<int, 3>& c) { return c[0] < 60 && c[1] > 200 && c[2] < 60; }

std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

bool Contains(const TStringList& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int IndexOf(const TStringList& lines, const std::string& line) {
  const auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

class StreamsTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApp(); }
  void TearDown() override {
    if (player) {
      player->CloseMovie();
      PumpUntil([&] { return !player->Playing(); }, 15000);
      EXPECT_FALSE(player->Playing());
      player.reset();
    }
  }
  void Make(bool disableAudio = false, bool disableVideo = false) {
    player = std::make_unique<TAVPlayer>();
    player->SetDisableAudio(disableAudio);
    player->SetDisableVideo(disableVideo);
    player->RegisterView(&view);
    ears.Attach(*player);
  }
  // Waits until a picture numbered at least n has been shown.
  void PlayUntilFrame(int n) {
    ASSERT_TRUE(PumpUntil([&] { return view.Last().number >= n; }, 15000)) << "last shown " << view.Last().number;
  }
  // Pictures shown after `from` at the given width: they exist, the first
  // goes on from about `position` (a key frame may take it back a little),
  // and they keep going forwards.
  void ExpectGoesOnAt(size_t from, int width, int position, int ahead = 40) {
    ASSERT_TRUE(PumpUntil(
        [&] {
          int n = 0;
          for (const Shot& s : view.Since(from)) n += s.width == width;
          return n >= 15;
        },
        15000))
        << "pictures of width " << width << " did not come";
    std::vector<Shot> shots = view.Since(from);
    shots.erase(std::remove_if(shots.begin(), shots.end(), [&](const Shot& s) { return s.width != width; }),
                shots.end());
    EXPECT_GE(shots.front().number, position - 14) << "went back too far";
    EXPECT_LE(shots.front().number, position + ahead) << "skipped ahead";
    for (size_t i = 1; i < shots.size(); i++) ASSERT_GT(shots[i].number, shots[i - 1].number) << "at " << i;
  }

  ShotView view;
  Ears ears;
  std::unique_ptr<TAVPlayer> player;
};

// ---- lists, positions, metadata ----

TEST_F(StreamsTest, ListsEachKindInFileOrderWithCodecTypeAndMetadataAndPositionsNotFileIndexes) {
  Make();
  player->OpenMovie(MainClip(), true, true);
  ASSERT_EQ(player->VideoStreamCount(), 1);
  ASSERT_EQ(player->AudioStreamCount(), 2);
  ASSERT_EQ(player->SubtitleStreamCount(), 1);
  const auto& audio = player->AudioStreamProperties();
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_EQ(audio[0]->Stream()->index, 1);
  EXPECT_EQ(audio[1]->Stream()->index, 2);
  EXPECT_TRUE(Contains(audio[0]->Metas(), "title=first audio"));
  EXPECT_TRUE(Contains(audio[0]->Metas(), "language=eng"));
  EXPECT_TRUE(Contains(audio[1]->Metas(), "title=second audio"));
  EXPECT_FALSE(Contains(audio[1]->Metas(), "title=first audio"));
  EXPECT_EQ(audio[0]->CodecName(), "aac");
  EXPECT_EQ(audio[1]->StreamType(), 1);

  const auto& video = player->VideoStreamProperties()[0];
  EXPECT_EQ(video->CodecName(), "h264");
  EXPECT_EQ(video->StreamType(), 0);
  EXPECT_TRUE(Contains(video->Metas(), "title=main video"));
  const auto& subs = player->SubtitleStreamProperties()[0];
  EXPECT_EQ(subs->Stream()->index, 3);
  EXPECT_EQ(subs->CodecName(), "dvbsub");
  EXPECT_EQ(subs->StreamType(), 3);

  // Positions in the lists; the file indexes are behind them.
  EXPECT_EQ(player->VideoStreamIndex(), 0);
  EXPECT_EQ(player->AudioStreamIndex(), 0);
  EXPECT_EQ(player->GetAudioStream(), 1);
  EXPECT_EQ(player->SubtitleStreamIndex(), 0);
  EXPECT_EQ(player->GetSubtitleStream(), 3);
}

TEST_F(StreamsTest, TheIndexIsThePositionOfTheStreamFfmpegJudgesBest) {
  // The first audio stream is marked for the hearing impaired, the second
  // as the default: the second is the best, at file index 2.
  static const std::string file =
      Merge("streams_best.mkv", {{MainClip(), 0},
                                 {MainClip(), 1, AV_DISPOSITION_HEARING_IMPAIRED},
                                 {MainClip(), 2, AV_DISPOSITION_DEFAULT}});
  Make();
  player->OpenMovie(file, false, true);
  ASSERT_EQ(player->AudioStreamCount(), 2);
  EXPECT_EQ(player->AudioStreamIndex(), 1);
  EXPECT_EQ(player->GetAudioStream(), 2);
  ASSERT_TRUE(PumpUntil([&] { return ears.Frames() > MIX_FREQ; }, 10000));
  EXPECT_NEAR(ears.RecentHz(0.4), 880.0, 18.0) << "the chosen stream is the one heard";
}

TEST_F(StreamsTest, MetadataLinesGoContainerThenVideoAudioSubtitleAndFollowASwitch) {
  Make();
  player->OpenMovie(MainClip(), false, true);
  TStringList lines = player->Metadatas();
  const int container = IndexOf(lines, "title=Kivora streams");
  const int video = IndexOf(lines, "title=main video");
  const int audio = IndexOf(lines, "title=first audio");
  const int subs = IndexOf(lines, "title=red subtitles");
  ASSERT_GE(container, 0);
  EXPECT_GT(video, container);
  EXPECT_GT(audio, video);
  EXPECT_GT(subs, audio);
  EXPECT_FALSE(Contains(lines, "title=second audio")) << "only the streams in use";

  player->SetAudioStreamIndex(1);
  ASSERT_TRUE(PumpUntil([&] { return Contains(player->Metadatas(), "title=second audio"); }, 5000));
  lines = player->Metadatas();
  EXPECT_FALSE(Contains(lines, "title=first audio"));
  EXPECT_GT(IndexOf(lines, "title=second audio"), IndexOf(lines, "title=main video"));
}

TEST_F(StreamsTest, DisabledKindsAreNotListedButSubtitlesAlwaysAre) {
  Make(true, false);
  player->OpenMovie(MainClip(), true, true);
  EXPECT_EQ(player->AudioStreamCount(), 0);
  EXPECT_TRUE(player->AudioStreamProperties().empty());
  EXPECT_EQ(player->AudioStreamIndex(), -1);
  EXPECT_EQ(player->VideoStreamCount(), 1);
  EXPECT_EQ(player->SubtitleStreamCount(), 1);
  player->CloseMovie();
  ASSERT_TRUE(PumpUntil([&] { return !player->Playing(); }, 10000));

  player->SetDisableAudio(false);
  player->SetDisableVideo(true);
  player->OpenMovie(MainClip(), true, true);
  EXPECT_EQ(player->VideoStreamCount(), 0);
  EXPECT_EQ(player->AudioStreamCount(), 2);
  EXPECT_EQ(player->SubtitleStreamCount(), 1) << "listed, though nothing shows them";
  EXPECT_EQ(player->SubtitleStreamIndex(), -1);
}

TEST_F(StreamsTest, AStreamWithoutADecoderHasNoCodecNameNoMetasAndDropsOutOfTheIndexList) {
  // The subtitle stream relabelled as a codec FFmpeg has no decoder for.
  static const std::string file = Merge(
      "streams_nodecoder.mkv",
      {{MainClip(), 0}, {MainClip(), 1}, {MainClip(), 3, -1, AV_CODEC_ID_HDMV_TEXT_SUBTITLE}});
  Make();
  player->OpenMovie(file, false, true);
  ASSERT_EQ(player->SubtitleStreamProperties().size(), 1u);
  const auto& subs = player->SubtitleStreamProperties()[0];
  EXPECT_EQ(subs->CodecName(), "");
  EXPECT_TRUE(subs->Metas().Count() == 0) << "even though the file names the stream";
  EXPECT_EQ(subs->StreamType(), 3);
  // Chosen, failed to open, taken out of the index list only.
  EXPECT_EQ(player->SubtitleStreamCount(), 0);
  EXPECT_EQ(player->SubtitleStreamIndex(), -1);
  PlayUntilFrame(10);
}

TEST_F(StreamsTest, IndexSettersRefuseOutOfRangePositionsWithTheirOwnTexts) {
  Make();
  EXPECT_EQ(ErrorOf([&] { player->SetAudioStreamIndex(0); }), "Invalid Audio Stream Index") << "nothing open";
  player->OpenMovie(MainClip(), true, true);
  EXPECT_EQ(ErrorOf([&] { player->SetAudioStreamIndex(2); }), "Invalid Audio Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetAudioStreamIndex(-1); }), "Invalid Audio Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetVideoStreamIndex(1); }), "Invalid Video Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetVideoStreamIndex(-2); }), "Invalid Video Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetVideoStreamIndex(0); }), "(no exception)") << "the current one";
  EXPECT_EQ(player->AudioStreamIndex(), 0);
  EXPECT_EQ(player->VideoStreamIndex(), 0);
}

TEST_F(StreamsTest, ALocalFileHasNoShoutcastMetadata) {
  Make();
  player->OpenMovie(MainClip(), true, true);
  EXPECT_EQ(player->GetShoutcastMeta(), "");
  EXPECT_EQ(player->GetShoutcastMetaHeader(), "");
}

// An internet radio station on 127.0.0.1: answers one HTTP request with
// ICY headers and then the sound, with an ICY metadata block after every
// kMetaInt bytes, and keeps the connection open until it is destroyed.
class IcyStation {
public:
  static constexpr size_t kMetaInt = 2048;
  IcyStation(const std::string& soundFile, std::string title) : FTitle(std::move(title)) {
    std::ifstream in(soundFile, std::ios::binary);
    FSound.assign(std::istreambuf_iterator<char>(in), {});
    FListen = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    listen(FListen, 4);
    FThread = std::thread([this] { Serve(); });
  }
  ~IcyStation() {
    FStop = true;
    shutdown(FListen, SHUT_RDWR);
    close(FListen);
    if (FClient >= 0) shutdown(FClient, SHUT_RDWR);
    FThread.join();
    if (FClient >= 0) close(FClient);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/radio"; }
  bool AskedForMetadata() const { return FAskedForMetadata.load(); }

private:
  void Serve() {
    FClient = accept(FListen, nullptr, nullptr);
    if (FClient < 0) return;
    std::string request;
    char c;
    while (request.find("\r\n\r\n") == std::string::npos && recv(FClient, &c, 1, 0) == 1) request += c;
    FAskedForMetadata = request.find("Icy-MetaData: 1") != std::string::npos;
    std::string out =
        "HTTP/1.0 200 OK\r\nContent-Type: audio/aac\r\nicy-name: Kivora Radio\r\nicy-metaint: " +
        std::to_string(kMetaInt) + "\r\n\r\n";
    std::string block = "StreamTitle='" + FTitle + "';";
    block.resize((block.size() + 15) / 16 * 16, '\0');
    for (size_t off = 0; off < FSound.size(); off += kMetaInt) {
      out.append(FSound, off, kMetaInt);
      if (FSound.size() - off < kMetaInt) break;
      out += static_cast<char>(block.size() / 16);
      out += block;
    }
    size_t sent = 0;
    while (sent < out.size() && !FStop) {
      const ssize_t n = send(FClient, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    while (!FStop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::string FTitle;
  std::string FSound;
  int FListen = -1;
  int FClient = -1;
  int FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FAskedForMetadata{false};
};

TEST_F(StreamsTest, AnInternetRadioStationsIcyHeadersAndMetadataPacketAreReadBack) {
  MediaSpec s;
  s.container = "adts";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_seconds = 4.0;
  const std::string& sound = Media::Get().File("radio.aac", s);
  IcyStation station(sound, "Tone of the day");
  Make();
  player->OpenMovie(station.Url(), false, true);
  EXPECT_TRUE(station.AskedForMetadata());
  EXPECT_NE(player->GetShoutcastMetaHeader().find("icy-name: Kivora Radio"), std::string::npos)
      << player->GetShoutcastMetaHeader();
  ASSERT_TRUE(PumpUntil([&] { return ears.Frames() > MIX_FREQ / 2; }, 10000)) << "the station plays";
  EXPECT_NE(player->GetShoutcastMeta().find("StreamTitle='Tone of the day';"), std::string::npos)
      << player->GetShoutcastMeta();
  player->CloseMovie();
  ASSERT_TRUE(PumpUntil([&] { return !player->Playing(); }, 10000));
  EXPECT_EQ(player->GetShoutcastMeta(), "") << "nothing open";
  EXPECT_EQ(player->GetShoutcastMetaHeader(), "");
}

// ---- switching ----

TEST_F(StreamsTest, SwitchingToTheSecondAudioStreamChangesTheToneAndPlaybackGoesOn) {
  Make();
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(40);
  ASSERT_TRUE(PumpUntil([&] { return ears.Frames() > MIX_FREQ; }, 5000));
  EXPECT_NEAR(ears.RecentHz(0.4), 440.0, 9.0);
  const size_t from = view.Count();
  const int at = view.Last().number;
  player->SetAudioStreamIndex(1);
  EXPECT_EQ(player->AudioStreamIndex(), 1) << "reads as switched at once";
  const size_t heard = ears.Frames();
  ASSERT_TRUE(PumpUntil([&] { return ears.Frames() > heard + MIX_FREQ; }, 10000));
  EXPECT_NEAR(ears.RecentHz(0.4), 880.0, 18.0);
  EXPECT_EQ(player->GetAudioStream(), 3);
  ExpectGoesOnAt(from, 320, at);
}

TEST_F(StreamsTest, SwitchingVideoWhilePlayingGoesOnFromTheCurrentPicture) {
  Make();
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(50);
  const size_t from = view.Count();
  const int at = view.Last().number;
  player->SetVideoStreamIndex(1);
  EXPECT_EQ(player->VideoStreamIndex(), 1);
  ExpectGoesOnAt(from, 160, at);
  EXPECT_EQ(player->GetVideoStream(), 1);
  EXPECT_NEAR(ears.RecentHz(0.3), 440.0, 9.0) << "the sound is not disturbed";
}

TEST_F(StreamsTest, SwitchingWhilePausedShowsTheNewStreamAtOnceAndPlaysOnFromThereWhenResumed) {
  Make();
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(40);
  player->Pause();
  PumpUntil([] { return false; }, 300);
  const int at = view.Last().number;
  const size_t from = view.Count();
  player->SetVideoStreamIndex(1);
  player->SetAudioStreamIndex(1);
  ASSERT_TRUE(PumpUntil([&] { return view.Last().width == 160 && player->Paused(); }, 10000))
      << "the new stream's picture at the paused position";
  PumpUntil([] { return false; }, 300);
  EXPECT_TRUE(player->Paused());
  const Shot shown = view.Last();
  EXPECT_GE(shown.number, at - 14);
  EXPECT_LE(shown.number, at + 3);
  const size_t heard = ears.Frames();
  player->Play();
  ExpectGoesOnAt(from, 160, at);
  ASSERT_TRUE(PumpUntil([&] { return ears.Frames() > heard + MIX_FREQ; }, 10000));
  EXPECT_NEAR(ears.RecentHz(0.4), 880.0, 18.0);
}

TEST_F(StreamsTest, SwitchingRightAfterASeekGoesOnFromTheSeekTarget) {
  Make();
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(20);
  const size_t from = view.Count();
  player->SetPosition(5.0);
  player->SetVideoStreamIndex(1);
  ExpectGoesOnAt(from, 160, 125, 10);
  // And a switch just after the seek was carried out, before the clock
  // has caught up with it.
  const size_t again = view.Count();
  player->SetPosition(2.0);
  ASSERT_TRUE(PumpUntil([&] { return !view.Since(again).empty(); }, 5000));
  player->SetAudioStreamIndex(1);
  player->SetVideoStreamIndex(0);
  ExpectGoesOnAt(again, 320, 50, 20);
}

TEST_F(StreamsTest, SwitchingSubtitlesChangesWhatIsDrawnAndMinusOneTurnsThemOff) {
  Make(true);
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(50);
  auto count = [&](size_t from, bool (*is)(const std::array<int, 3>&)) {
    int n = 0;
    for (const Shot& s : view.Since(from)) n += is(s.probe);
    return n;
  };
  EXPECT_GE(count(0, IsRed), 10);
  EXPECT_EQ(count(0, IsGreen), 0);
  player->SetSubtitleStreamIndex(1);
  PumpUntil([] { return false; }, 300);  // what was shown before the switch may end its time
  const size_t from = view.Count();
  PumpUntil([&] { return view.Last().number >= 130; }, 10000);
  EXPECT_GE(count(from, IsGreen), 10);
  EXPECT_EQ(count(from, IsRed), 0);
  EXPECT_EQ(player->GetSubtitleStream(), 5);

  player->SetSubtitleStreamIndex(-1);
  EXPECT_EQ(player->SubtitleStreamIndex(), -1);
  PumpUntil([] { return false; }, 600);
  const size_t off = view.Count();
  PumpUntil([&] { return view.Last().number >= 175; }, 10000);
  ASSERT_GE(view.Since(off).size(), 20u);
  EXPECT_EQ(count(off, IsGreen) + count(off, IsRed), 0);
}

TEST_F(StreamsTest, FiftySwitchesBackAndForthLeaveAPlayerThatPlaysOnAndClosesCleanly) {
  Make();
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(10);
  for (int i = 1; i <= 50; i++) {
    player->SetVideoStreamIndex(i % 2);
    player->SetAudioStreamIndex(i % 2);
    player->SetSubtitleStreamIndex(i % 2);
    PumpUntil([] { return false; }, i % 5 == 0 ? 60 : 5);
  }
  // The last request wins: the first stream of each kind.
  EXPECT_EQ(player->VideoStreamIndex(), 0);
  EXPECT_EQ(player->AudioStreamIndex(), 0);
  EXPECT_EQ(player->SubtitleStreamIndex(), 0);
  const size_t from = view.Count();
  ASSERT_TRUE(PumpUntil(
      [&] {
        int n = 0;
        for (const Shot& s : view.Since(from)) n += s.width == 320;
        return n >= 10;
      },
      15000));
  EXPECT_EQ(player->GetVideoStream(), 0);
  EXPECT_EQ(player->GetAudioStream(), 2);
  EXPECT_EQ(player->GetSubtitleStream(), 4);
  const size_t heard = ears.Frames();
  ASSERT_TRUE(PumpUntil([&] { return ears.Frames() > heard + MIX_FREQ / 2; }, 10000));
  EXPECT_NEAR(ears.RecentHz(0.3), 440.0, 9.0);
}

}  // namespace
}  // namespace kivora::testing
