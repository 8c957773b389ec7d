// `kivora play` run as a user would: the headless report on generated clips,
// bad input and the window on the offscreen platform.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <cmath>

#include "apps/run_kivora.h"

using namespace kivora::testing;

namespace {

// Clips made once for the whole program.
struct Clips {
  static Clips& Get() {
    static Clips c;
    return c;
  }
  TempDir dir;
  std::string both;       // H.264 + AAC, 2 s
  std::string longer;     // the same, 3 s with a key frame every half second
  std::string videoOnly, audioOnly;

private:
  Clips() {
    MediaSpec s;
    both = MakeMedia(dir.Path("both.mp4"), s);
    s.frames = 75;
    longer = MakeMedia(dir.Path("longer.mp4"), s);
    MediaSpec v;
    v.audio_codec = AV_CODEC_ID_NONE;
    v.frames = 25;
    videoOnly = MakeMedia(dir.Path("video.mp4"), v);
    MediaSpec a;
    a.container = "ipod";
    a.video_codec = AV_CODEC_ID_NONE;
    a.audio_seconds = 1.0;
    audioOnly = MakeMedia(dir.Path("audio.m4a"), a);
  }
};

QJsonObject Play(std::vector<std::string> args) {
  args.insert(args.begin(), {"play"});
  args.insert(args.end(), {"--headless", "--json"});
  return JsonReport(RunKivora(args));
}

TEST(KivoraPlayHeadless, JsonReportOfAClipPlayedToTheEnd) {
  const QJsonObject o = Play({Clips::Get().both});
  const int shown = o["frames_shown"].toInt(), dropped = o["frames_dropped"].toInt();
  EXPECT_GT(shown, 0);
  EXPECT_GE(dropped, 0);
  // Each of the 50 pictures is shown or dropped once at most, and nearly all
  // get that far before the end.
  EXPECT_LE(shown + dropped, 50);
  EXPECT_GE(shown + dropped, 45);
  EXPECT_TRUE(o["finished"].toBool());
  EXPECT_NEAR(o["position"].toDouble(), 2.0, 0.3);
  EXPECT_GT(o["first_picture_ms"].toDouble(), 0);
  EXPECT_LT(o["first_picture_ms"].toDouble(), 10000);
  ASSERT_TRUE(o["seek_ms"].isArray());
  EXPECT_TRUE(o["seek_ms"].toArray().isEmpty());
  EXPECT_GT(o["audio_bytes"].toDouble(), 1.5 * 44100 * 4);  // about 2 s of 16-bit stereo
  ASSERT_TRUE(o["av_diff_ms"].isObject()) << "both streams: the clocks are compared";
  const QJsonObject av = o["av_diff_ms"].toObject();
  EXPECT_LT(std::fabs(av["median"].toDouble()), 80);
  EXPECT_LE(std::fabs(av["median"].toDouble()), av["max"].toDouble());
  EXPECT_LE(av["p99"].toDouble(), av["max"].toDouble());
  EXPECT_LT(av["p99"].toDouble(), 250);
  EXPECT_FALSE(av.contains("after_seek")) << "no seek made";
}

TEST(KivoraPlayHeadless, SeeksAndTimeLimit) {
  QJsonObject o = Play({Clips::Get().longer, "--seek", "2.2", "--seek", "0.4"});
  const QJsonArray seeks = o["seek_ms"].toArray();
  ASSERT_EQ(seeks.size(), 2);
  for (const QJsonValue& ms : seeks) {
    ASSERT_TRUE(ms.isDouble()) << "each seek reached a picture";
    EXPECT_GT(ms.toDouble(), 0);
    EXPECT_LT(ms.toDouble(), 5000);
  }
  EXPECT_TRUE(o["finished"].toBool());
  EXPECT_NEAR(o["position"].toDouble(), 3.0, 0.3);
  // The jump back to 0.4 s replays pictures: more than the clip holds.
  EXPECT_GT(o["frames_shown"].toInt() + o["frames_dropped"].toInt(), 75);
  // The clocks compared over the pictures right after the seeks, too: sizes
  // that are finite, not negative and no larger than over all pictures.
  const QJsonObject av = o["av_diff_ms"].toObject();
  const QJsonObject afterSeek = av["after_seek"].toObject();
  ASSERT_FALSE(afterSeek.isEmpty()) << "with sound, seeks are followed by a clock comparison";
  EXPECT_EQ(afterSeek["pictures"].toInt(), 25);
  for (const char* key : {"p99", "max"}) {
    ASSERT_TRUE(afterSeek[key].isDouble()) << key;
    EXPECT_GE(afterSeek[key].toDouble(), 0) << key;
    EXPECT_LE(afterSeek[key].toDouble(), av["max"].toDouble()) << key;
  }
  EXPECT_LE(afterSeek["p99"].toDouble(), afterSeek["max"].toDouble());

  o = Play({Clips::Get().longer, "--seconds", "0.8"});
  EXPECT_FALSE(o["finished"].toBool());
  EXPECT_GT(o["frames_shown"].toInt(), 5);
  EXPECT_LT(o["frames_shown"].toInt(), 50);
  EXPECT_LT(o["position"].toDouble(), 2.0);
}

TEST(KivoraPlayHeadless, ClockComparisonOnlyWithBothStreams) {
  // Seeks or not, a clip without sound has no audio clock to compare with.
  QJsonObject o = Play({Clips::Get().videoOnly, "--seek", "0.2"});
  EXPECT_FALSE(o.contains("av_diff_ms"));
  EXPECT_EQ(o["seek_ms"].toArray().size(), 1);
  EXPECT_EQ(o["audio_bytes"].toInt(), 0);
  EXPECT_GT(o["frames_shown"].toInt(), 15);
  EXPECT_TRUE(o["finished"].toBool());

  o = Play({Clips::Get().audioOnly});
  EXPECT_FALSE(o.contains("av_diff_ms"));
  EXPECT_EQ(o["frames_shown"].toInt(), 0);
  EXPECT_TRUE(o["first_picture_ms"].isNull());
  EXPECT_GT(o["audio_bytes"].toDouble(), 0.7 * 44100 * 4);
  EXPECT_TRUE(o["finished"].toBool());
}

TEST(KivoraPlay, TextReportHelpAndWindow) {
  RunResult r = RunKivora({"play", Clips::Get().both, "--headless", "--seconds", "0.5"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* line : {"pictures shown", "pictures dropped", "first picture", "video - audio", "sound delivered",
                           "reached the end", "final position"})
    EXPECT_TRUE(Contains(r.out, line)) << line << "\n" << r.out;
  r = RunKivora({"play", Clips::Get().longer, "--headless", "--seek", "1", "--seconds", "1.5"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "after each seek")) << r.out;

  r = RunKivora({"play", "--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* option : {"--headless", "--seconds", "--seek", "--json"})
    EXPECT_TRUE(Contains(r.out, option)) << option << "\n" << r.out;

  // The window on the offscreen platform plays for the given time and closes.
  r = RunKivora({"play", Clips::Get().both, "--seconds", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(KivoraPlay, UnplayableFilesAndBadArgumentsFailWithAReason) {
  TempDir dir;
  const std::string missing = dir.Path("missing.mp4");
  RunResult r = RunKivora({"play", missing, "--headless", "--json"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.err, missing)) << r.err;
  EXPECT_TRUE(r.out.empty()) << "no report for a file that did not play: " << r.out;

  std::ofstream(dir.Path("junk.mp4")) << "this is not a movie";
  r = RunKivora({"play", dir.Path("junk.mp4"), "--headless"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(r.err.empty());

  // In a window the error is shown there, and the exit code says so too.
  r = RunKivora({"play", missing, "--seconds", "1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Contains(r.err, missing)) << r.err;

  const std::vector<std::string> bad[] = {{"play"},
                                          {"play", missing, "--seconds"},
                                          {"play", missing, "--headless", "--seconds", "soon"},
                                          {"play", missing, "--headless", "--seek", "-1"},
                                          {"play", missing, "--json"},
                                          {"play", missing, "--loud"},
                                          {"play", missing, missing}};
  for (const auto& args : bad) {
    r = RunKivora(args);
    EXPECT_EQ(r.exit_code, 2) << args.back();
    EXPECT_TRUE(Contains(r.err, "kivora: play:")) << r.err;
  }
}

}  // namespace
