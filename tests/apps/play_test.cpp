// `kivora play` run as a user would: the headless report on generated clips,
// bad input, the window on the offscreen platform, and the demo's play step.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "support/media_fixtures.h"

using namespace kivora::testing;

namespace {

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

RunResult Kivora(const std::vector<std::string>& args) {
  TempDir dir;
  std::string cmd = Quote(KIVORA_APP_PATH);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " >" + dir.Path("out") + " 2>" + dir.Path("err") + " </dev/null";
  const int status = std::system(cmd.c_str());
  RunResult r;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.out = Slurp(dir.Path("out"));
  r.err = Slurp(dir.Path("err"));
  return r;
}

// The one JSON object the program printed; fails the test otherwise.
QJsonObject Report(const RunResult& r) {
  EXPECT_EQ(r.exit_code, 0) << r.err;
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << r.out;
  EXPECT_TRUE(doc.isObject()) << r.out;
  return doc.object();
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// Clips made once for the whole program.
class Clips {
public:
  static Clips& Get() {
    static Clips c;
    return c;
  }
  // H.264 + AAC, 2 s.
  std::string both;
  // The same, 3 s with a key frame every half second, for seeking.
  std::string longer;
  std::string videoOnly;
  std::string audioOnly;

private:
  Clips() {
    MediaSpec s;
    both = MakeMedia(FDir.Path("both.mp4"), s);
    s.frames = 75;
    longer = MakeMedia(FDir.Path("longer.mp4"), s);
    MediaSpec v;
    v.audio_codec = AV_CODEC_ID_NONE;
    v.frames = 25;
    videoOnly = MakeMedia(FDir.Path("video.mp4"), v);
    MediaSpec a;
    a.container = "ipod";
    a.video_codec = AV_CODEC_ID_NONE;
    a.audio_seconds = 1.0;
    audioOnly = MakeMedia(FDir.Path("audio.m4a"), a);
  }
  TempDir FDir;
};

TEST(KivoraPlayHeadless, JsonReportOfAClipPlayedToTheEnd) {
  const QJsonObject o = Report(Kivora({"play", Clips::Get().both, "--headless", "--json"}));
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
  // About 2 s of 16-bit stereo at the mixer's rate.
  EXPECT_GT(o["audio_bytes"].toDouble(), 1.5 * 44100 * 4);
  ASSERT_TRUE(o["av_diff_ms"].isObject()) << "both streams: the clocks are compared";
  const QJsonObject av = o["av_diff_ms"].toObject();
  EXPECT_LT(std::fabs(av["median"].toDouble()), 80);
  EXPECT_LE(std::fabs(av["median"].toDouble()), av["max"].toDouble());
  EXPECT_LE(av["p99"].toDouble(), av["max"].toDouble());
  EXPECT_LT(av["p99"].toDouble(), 250);
}

TEST(KivoraPlayHeadless, EverySeekGetsItsTime) {
  const QJsonObject o =
      Report(Kivora({"play", Clips::Get().longer, "--headless", "--json", "--seek", "2.2", "--seek", "0.4"}));
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
}

TEST(KivoraPlayHeadless, SecondsLimitTheSession) {
  const QJsonObject o = Report(Kivora({"play", Clips::Get().longer, "--headless", "--json", "--seconds", "0.8"}));
  EXPECT_FALSE(o["finished"].toBool());
  EXPECT_GT(o["frames_shown"].toInt(), 5);
  EXPECT_LT(o["frames_shown"].toInt(), 50);
  EXPECT_LT(o["position"].toDouble(), 2.0);
}

TEST(KivoraPlayHeadless, ClockComparisonOnlyWithBothStreams) {
  QJsonObject o = Report(Kivora({"play", Clips::Get().videoOnly, "--headless", "--json"}));
  EXPECT_FALSE(o.contains("av_diff_ms"));
  EXPECT_EQ(o["audio_bytes"].toInt(), 0);
  EXPECT_GT(o["frames_shown"].toInt(), 15);
  EXPECT_TRUE(o["finished"].toBool());

  o = Report(Kivora({"play", Clips::Get().audioOnly, "--headless", "--json"}));
  EXPECT_FALSE(o.contains("av_diff_ms"));
  EXPECT_EQ(o["frames_shown"].toInt(), 0);
  EXPECT_TRUE(o["first_picture_ms"].isNull());
  EXPECT_GT(o["audio_bytes"].toDouble(), 0.7 * 44100 * 4);
  EXPECT_TRUE(o["finished"].toBool());
}

TEST(KivoraPlayHeadless, TextReportNamesEachMeasure) {
  const RunResult r = Kivora({"play", Clips::Get().both, "--headless", "--seconds", "0.5"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* line : {"pictures shown", "pictures dropped", "first picture", "video - audio", "sound delivered",
                           "reached the end", "final position"})
    EXPECT_TRUE(Contains(r.out, line)) << line << "\n" << r.out;
}

TEST(KivoraPlay, UnplayableFilesAndBadArgumentsFailWithAReason) {
  TempDir dir;
  const std::string missing = dir.Path("missing.mp4");
  RunResult r = Kivora({"play", missing, "--headless", "--json"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.err, missing)) << r.err;
  EXPECT_TRUE(r.out.empty()) << "no report for a file that did not play: " << r.out;

  {
    std::ofstream junk(dir.Path("junk.mp4"));
    junk << "this is not a movie";
  }
  r = Kivora({"play", dir.Path("junk.mp4"), "--headless"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(r.err.empty());

  // In a window the error is shown there, and the exit code says so too.
  r = Kivora({"play", missing, "--seconds", "1"});
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
    r = Kivora(args);
    EXPECT_EQ(r.exit_code, 2) << args.back();
    EXPECT_TRUE(Contains(r.err, "kivora: play:")) << r.err;
  }
}

TEST(KivoraPlay, UsageListsTheCommandAndItsOptions) {
  RunResult r = Kivora({"help"});
  EXPECT_TRUE(Contains(r.out, "play FILE")) << r.out;
  r = Kivora({"play", "--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* option : {"--headless", "--seconds", "--seek", "--json"})
    EXPECT_TRUE(Contains(r.out, option)) << option << "\n" << r.out;
}

TEST(KivoraPlay, WindowPlaysForTheGivenTimeAndCloses) {
  const RunResult r = Kivora({"play", Clips::Get().both, "--seconds", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(KivoraDemo, PlaysTheSampleWithoutADisplay) {
  const RunResult r = Kivora({"demo"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const size_t at = r.out.find("pictures shown");
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_GT(std::atoi(r.out.c_str() + at + std::strlen("pictures shown")), 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "reached the end    yes")) << r.out;
}

}  // namespace
