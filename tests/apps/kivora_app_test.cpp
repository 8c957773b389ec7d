// The kivora program driven as a user would: usage, version, probe and demo.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <cstring>
#include <filesystem>

#include "apps/run_kivora.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/version.h"
#include "support/media_reader.h"

using namespace kivora::testing;

namespace {

std::string Str(const QJsonValue& v) { return v.toString().toStdString(); }

TEST(KivoraProgram, UsageVersionAndUnknownCommand) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"help"}}) {
    const RunResult r = RunKivora(args);
    EXPECT_EQ(r.exit_code, 0);
    for (const char* part : {"Usage: kivora", "demo", "probe", "version", "play FILE"})
      EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
  }
  RunResult r = RunKivora({"frobnicate"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(Contains(r.err, "unknown command 'frobnicate'")) << r.err;
  EXPECT_EQ(r.out, "");

  r = RunKivora({"version"});
  EXPECT_EQ(r.exit_code, 0);
  const unsigned v = avformat_version();
  for (const std::string& part :
       {std::string("kivora ") + KIVORA_VERSION_STRING, std::string("FFmpeg ") + av_version_info(),
        std::string("libavformat"),
        std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
            std::to_string(AV_VERSION_MICRO(v))})
    EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
}

TEST(KivoraProbe, JsonAndTextDescribeAnMp4WithVideoAndAudio) {
  TempDir dir;
  MediaSpec media;
  media.metadata = {{"title", "Probe me"}};
  media.stream_metadata = {{{"handler_name", "Frames"}}};
  const std::string path = MakeMedia(dir.Path("clip.mp4"), media);
  const QJsonObject o = JsonReport(RunKivora({"probe", path, "--json"}));
  EXPECT_EQ(Str(o["file"]), path);
  const QJsonObject format = o["format"].toObject();
  EXPECT_TRUE(Contains(Str(format["name"]), "mp4")) << Str(format["name"]);
  EXPECT_NEAR(format["duration"].toDouble(), 2.0, 0.05);
  EXPECT_NEAR(format["start_time"].toDouble(-1), 0.0, 0.001);
  EXPECT_GT(format["bit_rate"].toDouble(), 0);
  EXPECT_EQ(Str(format["metadata"].toObject()["title"]), "Probe me");
  EXPECT_EQ(format["nb_streams"].toInt(), 2);

  const QJsonArray streams = o["streams"].toArray();
  ASSERT_EQ(streams.size(), 2);
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

  const RunResult text = RunKivora({"probe", path});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  for (const char* part : {"QuickTime / MOV", "00:00:02", "Stream #0: video, h264", "320x240", "25.000 fps",
                           "Stream #1: audio, aac", "44100 Hz, 2 channels", "handler_name: Frames"})
    EXPECT_TRUE(Contains(text.out, part)) << "missing '" << part << "' in\n" << text.out;
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
  const QJsonObject o = JsonReport(RunKivora({"probe", "--json", path}));  // option before the file
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
  const QJsonArray streams = JsonReport(RunKivora({"probe", path, "--json"}))["streams"].toArray();
  ASSERT_EQ(streams.size(), 2);
  EXPECT_EQ(Str(streams[0].toObject()["codec"]), "mp3");
  EXPECT_FALSE(streams[0].toObject()["disposition"].toObject()["attached_pic"].toBool());
  EXPECT_EQ(Str(streams[1].toObject()["codec"]), "mjpeg");
  EXPECT_TRUE(streams[1].toObject()["disposition"].toObject()["attached_pic"].toBool());
  EXPECT_TRUE(Contains(RunKivora({"probe", path}).out, "attached picture"));
}

TEST(KivoraProbe, UnreadableInputsAndBadArgumentsFailCleanlyOnStderr) {
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

  struct Bad {
    std::vector<std::string> args;
    const char* message;
  } bad[] = {{{"probe"}, "FILE is required"},
             {{"probe", "--xml", missing}, "unknown option '--xml'"},
             {{"probe", missing, missing}, ""}};
  for (const Bad& b : bad) {
    r = RunKivora(b.args);
    EXPECT_EQ(r.exit_code, 2) << b.message;
    EXPECT_TRUE(Contains(r.err, b.message)) << r.err;
  }
}

TEST(KivoraDemo, MakesProbesAndPlaysTheSampleClip) {
  const RunResult r = RunKivora({"demo", "--keep"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* part : {"sample.mp4", "Stream #0: video, h264", "Stream #1: audio, aac",
                           "reached the end    yes", "converted.mkv", "Stream #0: video, mpeg4", "Demo finished."})
    EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
  const size_t shown = r.out.find("pictures shown");
  ASSERT_NE(shown, std::string::npos) << r.out;
  EXPECT_GT(std::atoi(r.out.c_str() + shown + std::strlen("pictures shown")), 0) << r.out;

  // The sample really carries its frame numbers and tone.
  const std::string marker = "Work folder kept: ";
  const size_t at = r.out.find(marker);
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string folder = r.out.substr(at + marker.size(), r.out.find('\n', at) - at - marker.size());
  const DecodedMedia m = DecodeMedia(folder + "/sample.mp4");

  // The recording of the drawn widget: two seconds of video, as probe sees it.
  const std::string recorded = folder + "/recorded.mp4";
  EXPECT_TRUE(Contains(r.out, recorded)) << r.out;
  EXPECT_TRUE(Contains(r.out, "Captured ")) << r.out;
  ASSERT_TRUE(std::filesystem::is_regular_file(recorded)) << r.out;
  const QJsonObject probed = JsonReport(RunKivora({"probe", recorded, "--json"}));
  const QJsonObject format = probed["format"].toObject();
  EXPECT_NEAR(format["duration"].toDouble(), 2.0, 0.25) << r.out;
  const QJsonArray streams = probed["streams"].toArray();
  ASSERT_EQ(streams.size(), 1);
  const QJsonObject v = streams[0].toObject();
  EXPECT_EQ(Str(v["type"]), "video");
  EXPECT_EQ(Str(v["codec"]), "mpeg4");
  EXPECT_EQ(v["width"].toInt(), 320);
  EXPECT_EQ(v["height"].toInt(), 240);
  EXPECT_NEAR(v["duration"].toDouble(), 2.0, 0.25);
  const DecodedMedia rec = DecodeMedia(recorded);
  ASSERT_EQ(rec.video.size(), 1u);
  EXPECT_GE(rec.video[0].numbers.size(), 45u);
  EXPECT_LE(rec.video[0].numbers.size(), 70u);
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

}  // namespace
