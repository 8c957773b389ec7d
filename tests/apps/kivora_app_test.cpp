// The kivora program driven as a user would: run it, read its exit code,
// standard output and standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kivora/runtime/ffmpeg.h"
#include "kivora/version.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

using namespace kivora::testing;

namespace {

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the program with args; a crash shows as an exit code of 128 + signal.
RunResult RunKivora(const std::vector<std::string>& args) {
  TempDir dir;
  std::string cmd = ShellQuote(KIVORA_APP_PATH);
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  cmd += " >" + dir.Path("out") + " 2>" + dir.Path("err") + " </dev/null";
  const int status = std::system(cmd.c_str());
  RunResult r;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.out = ReadAll(dir.Path("out"));
  r.err = ReadAll(dir.Path("err"));
  return r;
}

QJsonObject ParseObject(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n"
                                                   << text;
  EXPECT_TRUE(doc.isObject());
  return doc.object();
}

std::string Str(const QJsonValue& v) { return v.toString().toStdString(); }

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

}  // namespace

// ---- usage and version ----

TEST(KivoraProgram, UsageWithoutArgumentsOrWithHelp) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"help"}}) {
    const RunResult r = RunKivora(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(Contains(r.out, "Usage: kivora")) << r.out;
    for (const char* command : {"demo", "probe", "version"})
      EXPECT_TRUE(Contains(r.out, command)) << command;
  }
  const RunResult r = RunKivora({"frobnicate"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(Contains(r.err, "unknown command 'frobnicate'")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(KivoraProgram, VersionNamesTheLibraryAndTheFFmpegItRuns) {
  const RunResult r = RunKivora({"version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, std::string("kivora ") + KIVORA_VERSION_STRING)) << r.out;
  EXPECT_TRUE(Contains(r.out, std::string("FFmpeg ") + av_version_info())) << r.out;
  const unsigned v = avformat_version();
  const std::string lavf = std::to_string(AV_VERSION_MAJOR(v)) + "." +
                           std::to_string(AV_VERSION_MINOR(v)) + "." +
                           std::to_string(AV_VERSION_MICRO(v));
  EXPECT_TRUE(Contains(r.out, "libavformat")) << r.out;
  EXPECT_TRUE(Contains(r.out, lavf)) << r.out;
}

// ---- probe ----

TEST(KivoraProbe, JsonDescribesAnMp4WithVideoAndAudio) {
  TempDir dir;
  MediaSpec media;
  media.metadata = {{"title", "Probe me"}};
  const std::string path = MakeMedia(dir.Path("clip.mp4"), media);
  const RunResult r = RunKivora({"probe", path, "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const QJsonObject o = ParseObject(r.out);
  EXPECT_EQ(Str(o["file"]), path);
  const QJsonObject format = o["format"].toObject();
  EXPECT_TRUE(Contains(Str(format["name"]), "mp4")) << Str(format["name"]);
  EXPECT_NEAR(format["duration"].toDouble(), 2.0, 0.05);
  EXPECT_NEAR(format["start_time"].toDouble(-1), 0.0, 0.001);
  EXPECT_GT(format["bit_rate"].toDouble(), 0);
  EXPECT_EQ(Str(format["metadata"].toObject()["title"]), "Probe me");

  const QJsonArray streams = o["streams"].toArray();
  ASSERT_EQ(streams.size(), 2);
  EXPECT_EQ(format["nb_streams"].toInt(), 2);
  const QJsonObject v = streams[0].toObject(), a = streams[1].toObject();
  EXPECT_EQ(v["index"].toInt(), 0);
  EXPECT_EQ(Str(v["type"]), "video");
  EXPECT_EQ(Str(v["codec"]), "h264");
  EXPECT_EQ(v["width"].toInt(), 320);
  EXPECT_EQ(v["height"].toInt(), 240);
  EXPECT_EQ(Str(v["pix_fmt"]), "yuv420p");
  EXPECT_DOUBLE_EQ(v["avg_frame_rate_value"].toDouble(), 25.0);
  EXPECT_EQ(Str(v["r_frame_rate"]), "25/1");
  EXPECT_FALSE(v["disposition"].toObject()["attached_pic"].toBool());
  EXPECT_EQ(a["index"].toInt(), 1);
  EXPECT_EQ(Str(a["type"]), "audio");
  EXPECT_EQ(Str(a["codec"]), "aac");
  EXPECT_EQ(a["sample_rate"].toInt(), 44100);
  EXPECT_EQ(a["channels"].toInt(), 2);
  EXPECT_EQ(Str(a["time_base"]), "1/44100");
  EXPECT_TRUE(a["avg_frame_rate_value"].isNull() || a["avg_frame_rate_value"].isDouble());
}

TEST(KivoraProbe, JsonCarriesEveryStreamAndAwkwardMetadataIntact) {
  TempDir dir;
  MediaSpec media;
  media.container = "matroska";
  media.video_codec = AV_CODEC_ID_MPEG4;
  media.width = 176;
  media.height = 144;
  media.tones = {440.0, 660.0};
  media.channels = 1;
  const std::string awkward = "say \"hi\"\\ back\\slash\nnew line\ttab \x01 Gr\xC3\xBC\xC3\x9F" "e";
  media.metadata = {{"title", awkward}};
  media.stream_metadata = {{}, {{"language", "eng"}}, {{"language", "ger"}}};
  const std::string path = MakeMedia(dir.Path("two.mkv"), media);
  const RunResult r = RunKivora({"probe", "--json", path});  // option before the file works too
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const QJsonObject o = ParseObject(r.out);
  EXPECT_EQ(Str(o["format"].toObject()["metadata"].toObject()["title"]), awkward);
  const QJsonArray streams = o["streams"].toArray();
  ASSERT_EQ(streams.size(), 3);
  EXPECT_EQ(Str(streams[0].toObject()["codec"]), "mpeg4");
  EXPECT_EQ(streams[0].toObject()["width"].toInt(), 176);
  for (int i : {1, 2}) {
    const QJsonObject a = streams[i].toObject();
    EXPECT_EQ(Str(a["codec"]), "aac");
    EXPECT_EQ(a["channels"].toInt(), 1);
    EXPECT_EQ(Str(a["channel_layout"]), "mono");
  }
  EXPECT_EQ(Str(streams[1].toObject()["metadata"].toObject()["language"]), "eng");
  EXPECT_EQ(Str(streams[2].toObject()["metadata"].toObject()["language"]), "ger");
}

TEST(KivoraProbe, CoverArtShowsAsAnAttachedPicture) {
  TempDir dir;
  MediaSpec media;
  media.container = "mp3";
  media.video_codec = AV_CODEC_ID_NONE;
  media.audio_codec = AV_CODEC_ID_MP3;
  media.cover_picture = true;
  const std::string path = MakeMedia(dir.Path("song.mp3"), media);
  const RunResult r = RunKivora({"probe", path, "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const QJsonArray streams = ParseObject(r.out)["streams"].toArray();
  ASSERT_EQ(streams.size(), 2);
  EXPECT_EQ(Str(streams[0].toObject()["codec"]), "mp3");
  EXPECT_FALSE(streams[0].toObject()["disposition"].toObject()["attached_pic"].toBool());
  EXPECT_EQ(Str(streams[1].toObject()["codec"]), "mjpeg");
  EXPECT_TRUE(streams[1].toObject()["disposition"].toObject()["attached_pic"].toBool());

  const RunResult text = RunKivora({"probe", path});
  EXPECT_EQ(text.exit_code, 0);
  EXPECT_TRUE(Contains(text.out, "attached picture")) << text.out;
}

TEST(KivoraProbe, TextNamesContainerStreamsAndTags) {
  TempDir dir;
  MediaSpec media;
  media.stream_metadata = {{{"handler_name", "Frames"}}};
  const std::string path = MakeMedia(dir.Path("clip.mp4"), media);
  const RunResult r = RunKivora({"probe", path});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* part : {"QuickTime / MOV", "00:00:02", "Stream #0: video, h264", "320x240",
                           "25.000 fps", "Stream #1: audio, aac", "44100 Hz, 2 channels",
                           "handler_name: Frames"})
    EXPECT_TRUE(Contains(r.out, part)) << "missing '" << part << "' in\n" << r.out;
}

TEST(KivoraProbe, UnreadableInputsFailCleanlyOnStderr) {
  TempDir dir;
  {
    std::ofstream(dir.Path("notes.txt")) << "hello\nthis is not a film\n";
    std::ofstream(dir.Path("notes.dat")) << "hello\nthis is not a film either\n";
    std::ofstream(dir.Path("empty.mp4"));
    std::ofstream(dir.Path("cut.mp4")) << std::string(100, '\0');
  }
  const std::string missing = dir.Path("missing.mp4");
  RunResult r = RunKivora({"probe", missing, "--json"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "kivora: cannot open '" + missing + "': No such file or directory\n");
  EXPECT_EQ(r.out, "") << "no partial JSON on failure";

  for (const char* name : {"notes.txt", "notes.dat", "empty.mp4", "cut.mp4", ""}) {
    const std::string path = *name ? dir.Path(name) : dir.Dir();  // "" probes the folder
    r = RunKivora({"probe", path});
    EXPECT_EQ(r.exit_code, 1) << path;
    EXPECT_TRUE(Contains(r.err, "kivora: cannot open '" + path + "'")) << r.err;
    EXPECT_EQ(r.out, "");
  }

  r = RunKivora({"probe"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(Contains(r.err, "no file given")) << r.err;
  r = RunKivora({"probe", "--xml", missing});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(Contains(r.err, "unknown option '--xml'")) << r.err;
  r = RunKivora({"probe", missing, missing});
  EXPECT_EQ(r.exit_code, 2);
}

// ---- demo ----

TEST(KivoraDemo, MakesAndProbesTheSampleClip) {
  const RunResult r = RunKivora({"demo"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "sample.mp4")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Stream #0: video, h264")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Stream #1: audio, aac")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Demo finished.")) << r.out;
}

TEST(KivoraDemo, SampleClipCarriesFrameNumbersAndTone) {
  const RunResult r = RunKivora({"demo", "--keep"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string marker = "Work folder kept: ";
  const size_t at = r.out.find(marker);
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string folder = r.out.substr(at + marker.size(), r.out.find('\n', at) - at - marker.size());
  const DecodedMedia m = DecodeMedia(folder + "/sample.mp4");
  std::filesystem::remove_all(folder);
  ASSERT_EQ(m.video.size(), 1u);
  std::vector<int> expected(75);
  for (int i = 0; i < 75; ++i) expected[i] = i;
  EXPECT_EQ(m.video[0].numbers, expected);
  ASSERT_EQ(m.audio.size(), 1u);
  const DecodedAudio& a = m.audio[0];
  EXPECT_NEAR(MeasureToneHz(a.samples.data(), a.Frames(), a.channels, a.sample_rate), 440.0, 3.0);
}

TEST(KivoraDemo, UsesAGivenFileAndReportsBadOnes) {
  TempDir dir;
  MediaSpec media;
  media.container = "matroska";
  media.video_codec = AV_CODEC_ID_MPEG4;
  const std::string path = MakeMedia(dir.Path("mine.mkv"), media);
  RunResult r = RunKivora({"demo", path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Stream #0: video, mpeg4")) << r.out;
  EXPECT_FALSE(Contains(r.out, "sample.mp4")) << "no sample clip when a file is given";

  const std::string missing = dir.Path("missing.mkv");
  r = RunKivora({"demo", missing});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Contains(r.err, "cannot open '" + missing + "'")) << r.err;
  r = RunKivora({"demo", "--fast"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(Contains(r.err, "unknown option '--fast'")) << r.err;
}
