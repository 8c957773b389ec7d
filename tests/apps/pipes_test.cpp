// "-" as standard input and output of the kivora program: what comes through
// a pipe is what comes through the file.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <fstream>

#include "apps/run_kivora.h"
#include "support/media_reader.h"

using namespace kivora::testing;

namespace {

struct PipeClips {
  static PipeClips& Get() {
    static PipeClips c;
    return c;
  }
  TempDir dir;
  std::string ts;
  PipeClips() {
    MediaSpec s;  // H.264 + AAC, 50 numbered pictures
    s.container = "mpegts";
    ts = MakeMedia(dir.Path("clip.ts"), s);
  }
};

TEST(KivoraPipes, ConvertingStandardInputGivesTheSameFileAsConvertingTheFile) {
  TempDir out;
  const std::string& ts = PipeClips::Get().ts;
  const RunResult from_file = RunKivora({"convert", ts, "-o", out.Path("file.mp4")});
  ASSERT_EQ(from_file.exit_code, 0) << from_file.err;
  const RunResult from_pipe = RunKivora({"convert", "-", "-o", out.Path("pipe.mp4")}, ts);
  ASSERT_EQ(from_pipe.exit_code, 0) << from_pipe.err;
  const std::string a = ReadAll(out.Path("file.mp4")), b = ReadAll(out.Path("pipe.mp4"));
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(a == b) << "sizes " << a.size() << " and " << b.size();
}

TEST(KivoraPipes, ConvertingToStandardOutputWritesTheMediaThereAndTheReportElsewhere) {
  TempDir out;
  const std::string& ts = PipeClips::Get().ts;
  const RunResult r = RunKivora({"convert", ts, "-o", "-", "--set", "OutputFormat=matroska"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::ofstream(out.Path("got.mkv"), std::ios::binary) << r.out;
  const DecodedMedia m = DecodeMedia(out.Path("got.mkv"));
  ASSERT_EQ(m.video.size(), 1u);
  std::vector<int> all(50);
  for (int i = 0; i < 50; ++i) all[static_cast<size_t>(i)] = i;
  EXPECT_EQ(m.video[0].numbers, all);
  ASSERT_EQ(m.audio.size(), 1u);
  EXPECT_TRUE(Contains(r.err, "-: " + std::to_string(r.out.size()) + " bytes")) << r.err;

  // Both ends at once, and a pipe needs a named container.
  const RunResult both = RunKivora({"convert", "-", "-o", "-", "--set", "OutputFormat=mpegts"}, ts);
  ASSERT_EQ(both.exit_code, 0) << both.err;
  EXPECT_GT(both.out.size(), 10000u);
  const RunResult unnamed = RunKivora({"convert", ts, "-o", "-"});
  EXPECT_NE(unnamed.exit_code, 0);
  EXPECT_TRUE(Contains(unnamed.err, "OutputFormat")) << unnamed.err;
  EXPECT_TRUE(unnamed.out.empty());
}

TEST(KivoraPipes, ProbingAndPlayingStandardInput) {
  const std::string& ts = PipeClips::Get().ts;
  const QJsonObject probe = JsonReport(RunKivora({"probe", "-", "--json"}, ts));
  EXPECT_EQ(probe["format"].toObject()["name"].toString().toStdString(), "mpegts");
  EXPECT_EQ(probe["streams"].toArray().size(), 2);

  const QJsonObject play = JsonReport(RunKivora({"play", "-", "--headless", "--json"}, ts));
  EXPECT_TRUE(play["finished"].toBool());
  EXPECT_GE(play["frames_shown"].toInt() + play["frames_dropped"].toInt(), 45);
}

}  // namespace
