// `kivora profiles`: the built-in list, a file written with --save and read
// back with --load, and the errors of bad requests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>

#include "kivora/runtime/ffmpeg.h"
#include "run_kivora.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

TEST(ProfilesCommand, ListsSavesAndLoadsProfiles) {
  const RunResult list = RunKivora({"profiles"});
  ASSERT_EQ(list.exit_code, 0) << list.err;
  for (const char* expected : {"\ndvd[:pal|ntsc|film]  DVD, .vob\n", "  AudioCodecName=ac3\n", "  muxrate=10080000\n",
                               "\ndv50[:pal|ntsc|film]  DV50, .dv\n", "  FramePixFormat=yuv422p\n",
                               "\nh264[:ultrafast|...|placebo]  H264 Profile, .mp4\n  VideoCodecName=libx264\n"
                               "  preset=medium\n",
                               "\nimage  Image Sequence Profile\n  ThreadCount=1\n"})
    EXPECT_TRUE(Contains(list.out, expected)) << expected << "\n" << list.out;

  TempDir dir;
  const std::string file = dir.Path("built-in.ini");
  const RunResult save = RunKivora({"profiles", "--save", file});
  ASSERT_EQ(save.exit_code, 0) << save.err;
  EXPECT_TRUE(Contains(ReadAll(file), "[Profile]\nDescription0=VCD\nExtension0=.mpg\nCategory0=\n"));
  // Another program's entry in the file is reported and skipped.
  std::ofstream(file, std::ios::app) << "Description9=Not ours\n";
  const RunResult load = RunKivora({"profiles", "--load", file});
  ASSERT_EQ(load.exit_code, 0) << load.err;
  EXPECT_TRUE(Contains(load.out, "\n2  DVD, .vob  (TAVDvdProfile)\n  OutputFormat=dvd\n")) << load.out;
  EXPECT_TRUE(Contains(load.out, "\n6  H264 Profile, .mp4  (TAVX264Profile)\n  VideoCodecName=libx264\n"
                              "  preset=medium\n"))
      << load.out;
  EXPECT_TRUE(Contains(load.err, "profile 9 of the profile file is neither")) << load.err;

  const struct {
    std::vector<std::string> args;
    int code;
    const char* err;
  } bad[] = {
      {{"profiles", "--load", dir.Path("missing.ini")}, 1, "cannot read the profile file"},
      {{"profiles", "--load", dir.Dir()}, 1, "kivora: "},
      {{"profiles", "--save", dir.Path("no/such/dir.ini")}, 1, "Cannot"},
      {{"profiles", "--save", file, "--load", file}, 2, "excludes"},
  };
  for (const auto& b : bad) {
    const RunResult r = RunKivora(b.args);
    EXPECT_EQ(r.exit_code, b.code) << r.err;
    EXPECT_TRUE(Contains(r.err, b.err)) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(ProfilesCommand, ConvertWithABuiltinProfileOrOneFromAFile) {
  TempDir dir;
  MediaSpec spec;
  spec.container = "matroska";
  spec.frames = 25;
  const std::string clip = MakeMedia(dir.Path("clip.mkv"), spec);
  const std::string file = dir.Path("mine.ini");
  ASSERT_EQ(RunKivora({"profiles", "--save", file}).exit_code, 0);

  const struct {
    std::string profile;
    const char* out;
    int width, height;
  } good[] = {{"dvd:ntsc", "a.vob", 720, 480}, {file + ":0:ntsc", "b.mpg", 352, 240}, {"DV50", "c.dv", 720, 576}};
  for (const auto& g : good) {
    const std::string out = dir.Path(g.out);
    const RunResult r = RunKivora({"convert", clip, "-o", out, "--profile", g.profile});
    ASSERT_EQ(r.exit_code, 0) << g.profile << ": " << r.err;
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.video.size(), 1u);
    EXPECT_EQ(m.video[0].widths.front(), g.width) << g.profile;
    EXPECT_EQ(m.video[0].heights.front(), g.height) << g.profile;
    EXPECT_EQ(m.video[0].numbers.front(), 0);
  }
  // --set comes after the profile and wins.
  const RunResult set = RunKivora({"convert", clip, "-o", dir.Path("d.vob"), "--profile", "dvd", "--set",
                                   "VideoOptions.FrameHeight=480"});
  ASSERT_EQ(set.exit_code, 0) << set.err;
  EXPECT_EQ(DecodeMedia(dir.Path("d.vob")).video[0].heights.front(), 480);

  for (const std::string& bad : {std::string("dvd:secam"), std::string("webm"), file + ":42"}) {
    const RunResult r = RunKivora({"convert", clip, "-o", dir.Path("x.vob"), "--profile", bad});
    EXPECT_EQ(r.exit_code, 2) << bad;
    EXPECT_TRUE(Contains(r.err, "kivora: convert: ")) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

namespace fs = std::filesystem;

// --save writes new files and profile files (through links to their
// targets), and leaves alone, with an error, whatever else is at the name:
// pipes, folders, videos, other programs' settings, unless --force.
TEST(ProfilesCommand, SaveWritesThroughLinksAndRefusesWhatIsNoProfileFile) {
  TempDir dir;
  const std::string name = dir.Path("saved.ini");
  const std::string target = dir.Path("target.ini");
  const std::string video("\x1a\x45\xdf\xa3\x00\x00\x00\x1f[Profile]\nDescription0=x\n\x00\xff", 36);
  auto spit = [](const std::string& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; };
  const struct {
    const char* what;
    std::function<void()> setup;
    bool force;
    int code;
    std::string writtenTo;  // empty: refused, everything left as it was
    const char* err;
  } cases[] = {
      {"new file", [] {}, false, 0, name, ""},
      {"empty file", [&] { spit(name, ""); }, false, 0, name, ""},
      {"profile file", [&] { spit(name, "[Profile]\nDescription0=Old\nFrameWidth0=9\n[Mine]\nk=v\n"); }, false,
       0, name, ""},
      {"link to a profile file", [&] { spit(target, "[Profile]\n"); fs::create_symlink("target.ini", name); },
       false, 0, target, ""},
      {"FIFO", [&] { ::mkfifo(name.c_str(), 0600); }, false, 1, "", "not a regular file"},
      {"FIFO, forced", [&] { ::mkfifo(name.c_str(), 0600); }, true, 1, "", "not a regular file"},
      {"folder", [&] { fs::create_directory(name); }, true, 1, "", "not a regular file"},
      {"video", [&] { spit(name, video); }, false, 1, "", "is not a profile file"},
      {"another program's settings", [&] { spit(name, "[General]\nvolume=3\n"); }, false, 1, "",
       "is not a profile file"},
      {"video, forced", [&] { spit(name, video); }, true, 0, name, ""},
      {"another program's settings, forced", [&] { spit(name, "[General]\nvolume=3\n"); }, true, 0, name, ""},
  };
  auto snapshot = [&] {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir.Dir())) {
      std::string text = e.path().filename().string() + ": ";
      if (fs::is_symlink(e.symlink_status())) text += "-> " + fs::read_symlink(e.path()).string();
      else if (fs::is_regular_file(e.symlink_status())) text += ReadAll(e.path().string());
      else text += fs::is_fifo(e.symlink_status()) ? "FIFO" : "other";
      files.push_back(text);
    }
    std::sort(files.begin(), files.end());
    return files;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(dir.Dir())) fs::remove_all(e.path());
    c.setup();
    const auto before = snapshot();
    const bool wasLink = fs::is_symlink(fs::symlink_status(name));
    std::vector<std::string> args{"profiles", "--save", name};
    if (c.force) args.push_back("--force");
    const RunResult r = RunKivora(args, "/dev/null", 20);
    EXPECT_EQ(r.exit_code, c.code) << r.err;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    if (c.writtenTo.empty()) {
      EXPECT_EQ(snapshot(), before);
      continue;
    }
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(name)), wasLink);
    const std::string text = ReadAll(c.writtenTo);
    EXPECT_TRUE(Contains(text, "[Profile]\nDescription0=VCD\n")) << text;
    EXPECT_FALSE(Contains(text, "FrameWidth0")) << text;  // the old profiles are gone
    EXPECT_EQ(Contains(text, "[Mine]\nk=v\n"), c.what == std::string("profile file")) << text;
    EXPECT_EQ(Contains(text, "[General]\nvolume=3\n"), c.force && !Contains(c.what, "video")) << text;
    const RunResult load = RunKivora({"profiles", "--load", name});
    EXPECT_EQ(load.exit_code, 0) << load.err;
    EXPECT_TRUE(Contains(load.out, "\n2  DVD, .vob  (TAVDvdProfile)\n")) << load.out;
  }
  const RunResult usage = RunKivora({"profiles", "--force"});
  EXPECT_EQ(usage.exit_code, 2) << usage.err;
}

// Profile files are read only when they are regular files of a sensible
// size: a pipe or a device never makes --load or --profile wait for data.
TEST(ProfilesCommand, ProfileFilesAreReadOnlyFromRegularFilesOfBoundedSize) {
  TempDir dir;
  MediaSpec spec;
  spec.frames = 5;
  const std::string clip = MakeMedia(dir.Path("clip.mkv"), spec);
  const std::string fifo = dir.Path("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string link = dir.Path("link.ini");
  fs::create_symlink(fifo, link);
  const std::string large = dir.Path("large.ini");
  std::ofstream(large) << "[Profile]\nDescription0=DVD\n";
  fs::resize_file(large, 64u << 20);
  for (const std::string& file : {fifo, link, large}) {
    SCOPED_TRACE(file);
    const RunResult load = RunKivora({"profiles", "--load", file}, "/dev/null", 20);
    EXPECT_EQ(load.exit_code, 1) << load.err;
    EXPECT_TRUE(Contains(load.err, file == large ? "too large" : "not a regular file")) << load.err;
    const RunResult convert =
        RunKivora({"convert", clip, "-o", dir.Path("out.vob"), "--profile", file + ":0"}, "/dev/null", 20);
    EXPECT_EQ(convert.exit_code, 2) << convert.err;
    EXPECT_TRUE(Contains(convert.err, file == large ? "too large" : "not a regular file")) << convert.err;
    EXPECT_FALSE(fs::exists(dir.Path("out.vob")));
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
}

// What a profile file says reaches the terminal with its control characters
// escaped and its invalid UTF-8 replaced: a description cannot set the
// window title or clear the screen.
TEST(ProfilesCommand, LoadPrintsFileTextWithControlCharactersEscaped) {
  TempDir dir;
  const std::string file = dir.Path("hostile.ini");
  std::ofstream(file, std::ios::binary) << "[Profile]\n"
                                           "Description0=\x1b]0;owned\x07Title\xff\xfe \xc3\xa9\x7f\n"
                                           "Extension0=.m\x1b[2Jp3\n"
                                           "Category0=\xc2\x9b" "31m\tx\xe2\x82\n"
                                           "IsVideo0=0\n"
                                           "Options0=\"metadata=title=\x1b[5m\",a=1\n";
  const RunResult r = RunKivora({"profiles", "--load", file});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\n0  \\x1b]0;owned\\x07Title\xef\xbf\xbd\xef\xbf\xbd \xc3\xa9\\x7f, .m\\x1b[2Jp3 "
                              "[\\u009b31m\\tx\xef\xbf\xbd\xef\xbf\xbd]  (TAVCustomAudioProfile)\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "  metadata=title=\\x1b[5m\n")) << r.out;
  EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(), [](char c) { return c != '\n' && static_cast<unsigned char>(c) < 0x20; }), 0);
  EXPECT_EQ(QString::fromUtf8(r.out.c_str()).toStdString(), r.out);  // valid UTF-8 reads back the same
}

// The codec and pixel format of a file's first video stream.
std::pair<AVCodecID, int> VideoCodec(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return {AV_CODEC_ID_NONE, -1};
  AVInputContextPtr fc(raw);
  if (avformat_find_stream_info(fc.get(), nullptr) < 0) return {AV_CODEC_ID_NONE, -1};
  for (unsigned i = 0; i < fc->nb_streams; ++i)
    if (fc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      return {fc->streams[i]->codecpar->codec_id, fc->streams[i]->codecpar->format};
  return {AV_CODEC_ID_NONE, -1};
}

// The image profile writes full-range JPEG pictures, one a frame, and the
// summary counts them; an H.264 preset gives H.264 with that preset whatever
// codec the container would pick by itself.
TEST(ProfilesCommand, ImageSequencesAndH264PresetsInAnyContainer) {
  TempDir dir;
  MediaSpec spec;
  spec.frames = 10;
  const std::string clip = MakeMedia(dir.Path("clip.mp4"), spec);

  const std::string pattern = dir.Path("x%03d.jpg");
  const RunResult text = RunKivora({"convert", clip, "-o", pattern, "--profile", "image"});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  EXPECT_TRUE(Contains(text.out, pattern + ": 10 files, ")) << text.out;
  for (int n = 1; n <= 10; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "x%03d.jpg", n);
    SCOPED_TRACE(name);
    const auto [codec, format] = VideoCodec(dir.Path(name));
    EXPECT_EQ(codec, AV_CODEC_ID_MJPEG);
    EXPECT_EQ(format, AV_PIX_FMT_YUVJ420P);
    const DecodedMedia m = DecodeMedia(dir.Path(name));
    ASSERT_EQ(m.video.size(), 1u);
    EXPECT_EQ(m.video[0].numbers, std::vector<int>{n - 1});
  }
  EXPECT_FALSE(fs::exists(dir.Path("x011.jpg")));
  // The result is the last of the JSON lines.
  const RunResult json = RunKivora({"convert", clip, "-o", pattern, "--profile", "image", "--json"});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const QJsonObject out = QJsonDocument::fromJson(QByteArray::fromStdString(
                                                      json.out.substr(json.out.rfind('\n', json.out.size() - 2) + 1)))
                              .object()["outputs"]
                              .toArray()[0]
                              .toObject();
  EXPECT_EQ(out["files"].toInt(), 10);
  EXPECT_GT(out["size"].toInteger(), 10 * 100);

  for (const char* preset : {"veryslow", "ultrafast"}) {
    SCOPED_TRACE(preset);
    const std::string avi = dir.Path(std::string(preset) + ".avi");
    const RunResult r = RunKivora({"convert", clip, "-o", avi, "--profile", std::string("h264:") + preset});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(VideoCodec(avi).first, AV_CODEC_ID_H264);
    // The encoder writes its settings into the stream: veryslow searches with
    // umh and subme 10, ultrafast with dia and subme 0.
    const std::string data = ReadAll(avi);
    EXPECT_TRUE(Contains(data, preset == std::string("veryslow") ? "me=umh subme=10" : "me=dia subme=0")) << preset;
    EXPECT_EQ(DecodeMedia(avi).video[0].numbers.front(), 0);
  }
}

}  // namespace
}  // namespace kivora::testing
