// The player's stream lists, metadata and stream switching as an
// application uses them: what is listed and chosen at open, what the index
// setters accept, and what is seen and heard after a switch while playing,
// while paused and right after a seek.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "kivora/runtime/ffmpeg.h"
#include "player_test_util.h"

namespace kivora::testing {
namespace {

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

bool IsRed(const Rgb& c) { return c[0] > 200 && c[1] < 60 && c[2] < 60; }
bool IsGreen(const Rgb& c) { return c[0] < 60 && c[1] > 200 && c[2] < 60; }

std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

int IndexOf(const TStringList& lines, const std::string& line) {
  const auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

bool Contains(const TStringList& lines, const std::string& line) { return IndexOf(lines, line) >= 0; }

class StreamsTest : public PlayerFixture {
protected:
  void SetUp() override {
    PlayerFixture::SetUp();
    view.probes = {{70, 95}};  // inside every subtitle
  }
  TAVPlayer& Make(bool disableAudio = false) { return PlayerFixture::Make(disableAudio); }
  // Waits until a picture numbered at least n has been shown.
  void PlayUntilFrame(int n) {
    ASSERT_TRUE(PumpUntil([&] { return view.Last() >= n; }, 15000)) << "last shown " << view.Last();
  }
  // Waits for `frames` more of sound and returns the pitch of its end.
  double HearNext(size_t frames = MIX_FREQ, double seconds = 0.4) {
    EXPECT_TRUE(ears.WaitFrames(frames, 10000));
    return ears.RecentHz(seconds);
  }
  // Pictures shown after `from` at the given width: they exist, the first
  // goes on from about `position` (a key frame may take it back a little),
  // and they keep going forwards.
  void ExpectGoesOnAt(size_t from, int width, int position, int ahead = 40) {
    auto ofWidth = [&] {
      std::vector<Shot> shots = view.Since(from);
      shots.erase(std::remove_if(shots.begin(), shots.end(), [&](const Shot& s) { return s.width != width; }),
                  shots.end());
      return shots;
    };
    ASSERT_TRUE(PumpUntil([&] { return ofWidth().size() >= 15; }, 15000))
        << "pictures of width " << width << " did not come";
    const std::vector<Shot> shots = ofWidth();
    EXPECT_GE(shots.front().number, position - 14) << "went back too far";
    EXPECT_LE(shots.front().number, position + ahead) << "skipped ahead";
    for (size_t i = 1; i < shots.size(); i++) ASSERT_GT(shots[i].number, shots[i - 1].number) << "at " << i;
  }
};

// ---- lists, positions, metadata ----

TEST_F(StreamsTest, ListsMetadataAndIndexesFollowTheFileAndTheSettersCheckTheirRange) {
  Make();
  EXPECT_EQ(ErrorOf([&] { player->SetAudioStreamIndex(0); }), "Invalid Audio Stream Index") << "nothing open";
  player->OpenMovie(MainClip(), false, true);
  ASSERT_EQ(player->VideoStreamCount(), 1);
  ASSERT_EQ(player->AudioStreamCount(), 2);
  ASSERT_EQ(player->SubtitleStreamCount(), 1);
  const auto audio = player->AudioStreamProperties();
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_EQ(audio[0].Stream()->index, 1);
  EXPECT_EQ(audio[1].Stream()->index, 2);
  EXPECT_TRUE(Contains(audio[0].Metas(), "title=first audio"));
  EXPECT_TRUE(Contains(audio[0].Metas(), "language=eng"));
  EXPECT_TRUE(Contains(audio[1].Metas(), "title=second audio"));
  EXPECT_FALSE(Contains(audio[1].Metas(), "title=first audio"));
  EXPECT_EQ(audio[0].CodecName(), "aac");
  EXPECT_EQ(audio[1].StreamType(), 1);
  const TAVStreamProperties video = player->VideoStreamProperties()[0];
  EXPECT_EQ(video.CodecName(), "h264");
  EXPECT_EQ(video.StreamType(), 0);
  EXPECT_TRUE(Contains(video.Metas(), "title=main video"));
  const TAVStreamProperties subs = player->SubtitleStreamProperties()[0];
  EXPECT_EQ(subs.Stream()->index, 3);
  EXPECT_EQ(subs.CodecName(), "dvbsub");
  EXPECT_EQ(subs.StreamType(), 3);

  // Positions in the lists; the file indexes are behind them.
  EXPECT_EQ(player->VideoStreamIndex(), 0);
  EXPECT_EQ(player->AudioStreamIndex(), 0);
  EXPECT_EQ(player->GetAudioStream(), 1);
  EXPECT_EQ(player->SubtitleStreamIndex(), 0);
  EXPECT_EQ(player->GetSubtitleStream(), 3);

  // Metadata lines: container, then the video, audio and subtitle streams in use.
  TStringList lines = player->Metadatas();
  const int container = IndexOf(lines, "title=Kivora streams");
  ASSERT_GE(container, 0);
  EXPECT_GT(IndexOf(lines, "title=main video"), container);
  EXPECT_GT(IndexOf(lines, "title=first audio"), IndexOf(lines, "title=main video"));
  EXPECT_GT(IndexOf(lines, "title=red subtitles"), IndexOf(lines, "title=first audio"));
  EXPECT_FALSE(Contains(lines, "title=second audio")) << "only the streams in use";
  EXPECT_EQ(player->GetShoutcastMeta(), "") << "a local file has no ICY metadata";
  EXPECT_EQ(player->GetShoutcastMetaHeader(), "");

  EXPECT_EQ(ErrorOf([&] { player->SetAudioStreamIndex(2); }), "Invalid Audio Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetAudioStreamIndex(-1); }), "Invalid Audio Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetVideoStreamIndex(1); }), "Invalid Video Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetVideoStreamIndex(-2); }), "Invalid Video Stream Index");
  EXPECT_EQ(ErrorOf([&] { player->SetVideoStreamIndex(0); }), "(no exception)") << "the current one";
  EXPECT_EQ(player->AudioStreamIndex(), 0);
  EXPECT_EQ(player->VideoStreamIndex(), 0);

  player->SetAudioStreamIndex(1);
  ASSERT_TRUE(PumpUntil([&] { return Contains(player->Metadatas(), "title=second audio"); }, 5000));
  lines = player->Metadatas();
  EXPECT_FALSE(Contains(lines, "title=first audio"));
  EXPECT_GT(IndexOf(lines, "title=second audio"), IndexOf(lines, "title=main video"));

  // UpdateMetaDatas while the movie plays hands the copy to the thread that
  // reads the input (under ThreadSanitizer a copy on the caller's thread
  // races with the reads); the lines stay those of the streams in use. With
  // no movie open it does nothing.
  player->Play();
  for (int i = 0; i < 20; i++) {
    player->UpdateMetaDatas();
    Wait(10);
  }
  ASSERT_TRUE(PumpUntil([&] { return Contains(player->Metadatas(), "title=second audio"); }, 5000));
  EXPECT_FALSE(Contains(player->Metadatas(), "title=first audio"));
  CloseAndWait(*player);
  player->UpdateMetaDatas();
}

TEST_F(StreamsTest, DisabledKindsAreNotListedButSubtitlesAlwaysAre) {
  Make(true);
  player->OpenMovie(MainClip(), true, true);
  EXPECT_EQ(player->AudioStreamCount(), 0);
  EXPECT_TRUE(player->AudioStreamProperties().empty());
  EXPECT_EQ(player->AudioStreamIndex(), -1);
  EXPECT_EQ(player->VideoStreamCount(), 1);
  EXPECT_EQ(player->SubtitleStreamCount(), 1);
  CloseAndWait(*player);

  player->SetDisableAudio(false);
  player->SetDisableVideo(true);
  player->OpenMovie(MainClip(), true, true);
  EXPECT_EQ(player->VideoStreamCount(), 0);
  EXPECT_EQ(player->AudioStreamCount(), 2);
  EXPECT_EQ(player->SubtitleStreamCount(), 1) << "listed, though nothing shows them";
  EXPECT_EQ(player->SubtitleStreamIndex(), -1);
}

TEST_F(StreamsTest, TheChosenStreamIsTheOneFfmpegJudgesBestAndOneWithoutADecoderDropsOutOfTheIndexList) {
  // The first audio stream is marked for the hearing impaired, the second
  // as the default: the second is the best, at file index 2. The subtitle
  // stream is relabelled as a codec FFmpeg has no decoder for.
  static const std::string file = Merge("streams_best.mkv", {{MainClip(), 0},
                                                             {MainClip(), 1, AV_DISPOSITION_HEARING_IMPAIRED},
                                                             {MainClip(), 2, AV_DISPOSITION_DEFAULT},
                                                             {MainClip(), 3, -1, AV_CODEC_ID_HDMV_TEXT_SUBTITLE}});
  Make();
  player->OpenMovie(file, false, true);
  ASSERT_EQ(player->AudioStreamCount(), 2);
  EXPECT_EQ(player->AudioStreamIndex(), 1);
  EXPECT_EQ(player->GetAudioStream(), 2);
  ASSERT_EQ(player->SubtitleStreamProperties().size(), 1u);
  const TAVStreamProperties subs = player->SubtitleStreamProperties()[0];
  EXPECT_EQ(subs.CodecName(), "");
  EXPECT_TRUE(subs.Metas().Count() == 0) << "even though the file names the stream";
  EXPECT_EQ(subs.StreamType(), 3);
  // Chosen, failed to open, taken out of the index list only.
  EXPECT_EQ(player->SubtitleStreamCount(), 0);
  EXPECT_EQ(player->SubtitleStreamIndex(), -1);
  EXPECT_NEAR(HearNext(), 880.0, 18.0) << "the chosen stream is the one heard";
  PlayUntilFrame(10);
}

// An internet radio station on 127.0.0.1: answers one HTTP request with
// ICY headers and then the sound, with an ICY metadata block after every
// kMetaInt bytes, and keeps the connection open until it is destroyed.
class IcyStation {
public:
  static constexpr size_t kMetaInt = 2048;
  IcyStation(const std::string& soundFile, std::string title)
      : FTitle(std::move(title)), FSound(ReadAll(soundFile)), FThread([this] { Serve(); }) {}
  ~IcyStation() {
    FStop = true;
    FListener.Stop();
    if (FClient >= 0) shutdown(FClient, SHUT_RDWR);
    FThread.join();
    if (FClient >= 0) close(FClient);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(FListener.Port()) + "/radio"; }
  bool AskedForMetadata() const { return FAskedForMetadata.load(); }

private:
  void Serve() {
    FClient = FListener.Accept();
    if (FClient < 0) return;
    std::string request;
    char c;
    while (request.find("\r\n\r\n") == std::string::npos && recv(FClient, &c, 1, 0) == 1) request += c;
    FAskedForMetadata = request.find("Icy-MetaData: 1") != std::string::npos;
    std::string out = "HTTP/1.0 200 OK\r\nContent-Type: audio/aac\r\nicy-name: Kivora Radio\r\nicy-metaint: " +
                      std::to_string(kMetaInt) + "\r\n\r\n";
    std::string block = "StreamTitle='" + FTitle + "';";
    block.resize((block.size() + 15) / 16 * 16, '\0');
    for (size_t off = 0; off < FSound.size(); off += kMetaInt) {
      out.append(FSound, off, kMetaInt);
      if (FSound.size() - off < kMetaInt) break;
      out += static_cast<char>(block.size() / 16);
      out += block;
    }
    SendAll(FClient, out, &FStop);
    while (!FStop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::string FTitle;
  std::string FSound;
  LoopbackListener FListener;
  std::atomic<int> FClient{-1};  // the destructor wakes the serving thread through it
  std::atomic<bool> FStop{false};
  std::atomic<bool> FAskedForMetadata{false};
  std::thread FThread;  // last: starts once everything above is ready
};

TEST_F(StreamsTest, AnInternetRadioStationsIcyHeadersAndMetadataPacketAreReadBack) {
  MediaSpec s;
  s.container = "adts";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_seconds = 4.0;
  IcyStation station(Media::Get().File("radio.aac", s), "Tone of the day");
  Make();
  player->OpenMovie(station.Url(), false, true);
  EXPECT_TRUE(station.AskedForMetadata());
  EXPECT_NE(player->GetShoutcastMetaHeader().find("icy-name: Kivora Radio"), std::string::npos)
      << player->GetShoutcastMetaHeader();
  ASSERT_TRUE(ears.WaitFrames(MIX_FREQ / 2, 10000)) << "the station plays";
  EXPECT_NE(player->GetShoutcastMeta().find("StreamTitle='Tone of the day';"), std::string::npos)
      << player->GetShoutcastMeta();
  CloseAndWait(*player);
  EXPECT_EQ(player->GetShoutcastMeta(), "") << "nothing open";
  EXPECT_EQ(player->GetShoutcastMetaHeader(), "");
}

// ---- switching ----

TEST_F(StreamsTest, SwitchingToTheSecondAudioStreamChangesTheToneAndPlaybackGoesOn) {
  Make();
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(40);
  EXPECT_NEAR(HearNext(MIX_FREQ / 4), 440.0, 9.0);
  const size_t from = view.Count();
  const int at = view.Last();
  player->SetAudioStreamIndex(1);
  EXPECT_EQ(player->AudioStreamIndex(), 1) << "reads as switched at once";
  EXPECT_NEAR(HearNext(), 880.0, 18.0);
  EXPECT_EQ(player->GetAudioStream(), 3);
  ExpectGoesOnAt(from, 320, at);
}

TEST_F(StreamsTest, SwitchingVideoWhilePlayingGoesOnFromTheCurrentPicture) {
  Make();
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(50);
  const size_t from = view.Count();
  const int at = view.Last();
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
  Wait(300);
  const int at = view.Last();
  const size_t from = view.Count();
  player->SetVideoStreamIndex(1);
  player->SetAudioStreamIndex(1);
  ASSERT_TRUE(PumpUntil([&] { return view.LastShot().width == 160 && player->Paused(); }, 10000))
      << "the new stream's picture at the paused position";
  Wait(300);
  EXPECT_TRUE(player->Paused());
  EXPECT_GE(view.Last(), at - 14);
  EXPECT_LE(view.Last(), at + 3);
  player->Play();
  ExpectGoesOnAt(from, 160, at);
  EXPECT_NEAR(HearNext(), 880.0, 18.0);
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
  ASSERT_TRUE(PumpUntil([&] { return view.Count() > static_cast<int>(again); }, 5000));
  player->SetAudioStreamIndex(1);
  player->SetVideoStreamIndex(0);
  ExpectGoesOnAt(again, 320, 50, 20);
}

TEST_F(StreamsTest, SwitchingSubtitlesChangesWhatIsDrawnAndMinusOneTurnsThemOff) {
  Make(true);
  player->OpenMovie(SwitchClip(), false, true);
  PlayUntilFrame(50);
  auto count = [&](size_t from, bool (*is)(const Rgb&)) {
    int n = 0;
    for (const Shot& s : view.Since(from)) n += is(s.values[0]);
    return n;
  };
  EXPECT_GE(count(0, IsRed), 10);
  EXPECT_EQ(count(0, IsGreen), 0);
  player->SetSubtitleStreamIndex(1);
  Wait(300);  // what was shown before the switch may end its time
  const size_t from = view.Count();
  PumpUntil([&] { return view.Last() >= 130; }, 10000);
  EXPECT_GE(count(from, IsGreen), 10);
  EXPECT_EQ(count(from, IsRed), 0);
  EXPECT_EQ(player->GetSubtitleStream(), 5);

  player->SetSubtitleStreamIndex(-1);
  EXPECT_EQ(player->SubtitleStreamIndex(), -1);
  Wait(600);
  const size_t off = view.Count();
  PumpUntil([&] { return view.Last() >= 175; }, 10000);
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
    Wait(i % 5 == 0 ? 60 : 5);
  }
  // The last request wins: the first stream of each kind.
  EXPECT_EQ(player->VideoStreamIndex(), 0);
  EXPECT_EQ(player->AudioStreamIndex(), 0);
  EXPECT_EQ(player->SubtitleStreamIndex(), 0);
  const size_t from = view.Count();
  ASSERT_TRUE(PumpUntil(
      [&] {
        const auto shots = view.Since(from);
        return std::count_if(shots.begin(), shots.end(), [](const Shot& s) { return s.width == 320; }) >= 10;
      },
      15000));
  EXPECT_EQ(player->GetVideoStream(), 0);
  EXPECT_EQ(player->GetAudioStream(), 2);
  EXPECT_EQ(player->GetSubtitleStream(), 4);
  EXPECT_NEAR(HearNext(MIX_FREQ / 2, 0.3), 440.0, 9.0);
}

}  // namespace
}  // namespace kivora::testing
