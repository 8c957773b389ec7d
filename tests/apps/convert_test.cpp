// `kivora convert` run as a user would, its outputs read back with the test
// media reader: re-encodes, copies, stream maps, raw input with input
// options, JSON progress, Ctrl-C, and the errors a user can make.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <algorithm>
#include <chrono>
#include <thread>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "apps/run_kivora.h"
#include "converter/cut_http_server.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_reader.h"

using namespace kivora::testing;

namespace {

std::string Str(const QJsonValue& v) { return v.toString().toStdString(); }

std::vector<int> Range(int first, int last) {
  std::vector<int> v;
  for (int i = first; i <= last; ++i) v.push_back(i);
  return v;
}

// Video packets and key packets of the first video stream.
std::pair<int, int> VideoPackets(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return {-1, -1};
  kivora::AVInputContextPtr fc(raw);
  avformat_find_stream_info(fc.get(), nullptr);
  const int video = av_find_best_stream(fc.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  int packets = 0, keys = 0;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fc.get(), pkt) >= 0) {
    if (pkt->stream_index == video) {
      ++packets;
      if (pkt->flags & AV_PKT_FLAG_KEY) ++keys;
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  return {packets, keys};
}

// The clip every conversion starts from: 50 numbered pictures at 25 fps,
// H.264, a 440 Hz tone in AAC.
struct Source {
  static Source& Get() {
    static Source s;
    return s;
  }
  TempDir dir;
  std::string clip;

private:
  Source() { clip = MakeMedia(dir.Path("clip.mp4"), MediaSpec{}); }
};

struct Expect {
  const char* video_codec;
  int width, height;
  const char* audio_codec;  // "" for no audio stream
};

void CheckOutput(const std::string& path, const Expect& e, const std::string& what) {
  SCOPED_TRACE(what + ": " + path);
  const QJsonObject probe = JsonReport(RunKivora({"probe", path, "--json"}));
  const QJsonArray streams = probe["streams"].toArray();
  ASSERT_EQ(streams.size(), *e.audio_codec ? 2 : 1);
  const QJsonObject v = streams[0].toObject();
  EXPECT_EQ(Str(v["codec"]), e.video_codec);
  EXPECT_EQ(v["width"].toInt(), e.width);
  EXPECT_EQ(v["height"].toInt(), e.height);
  if (*e.audio_codec) {
    EXPECT_EQ(Str(streams[1].toObject()["codec"]), e.audio_codec);
  }

  // Every picture arrives once, in order, and the tone is intact.
  const DecodedMedia m = DecodeMedia(path);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_EQ(m.video[0].numbers, Range(0, 49));
  if (*e.audio_codec) {
    ASSERT_EQ(m.audio.size(), 1u);
    const DecodedAudio& a = m.audio[0];
    EXPECT_NEAR(a.Frames() / static_cast<double>(a.sample_rate), 2.0, 0.1);
    EXPECT_NEAR(MeasureToneHz(a.samples.data(), a.Frames(), a.channels, a.sample_rate), 440.0, 3.0);
  }
}

TEST(KivoraConvert, ReEncodesCopiesAndWritesSeveralOutputs) {
  TempDir dir;
  const std::string clip = Source::Get().clip;
  struct Case {
    const char* name;
    std::vector<std::string> outputs;
    std::vector<std::string> sets;
    Expect expect;
  } cases[] = {
      {"re-encode with properties",
       {"small.mkv"},
       {"VideoOptions.VideoCodecName=mpeg4", "VideoOptions.FrameWidth=160", "VideoOptions.FrameHeight=120",
        "VideoOptions.VideoQscale=3", "OutputFormat=matroska", "AudioOptions.AudioCodecName=ac3",
        "AudioOptions.Bitrate=96k"},
       {"mpeg4", 160, 120, "ac3"}},
      {"stream copy", {"copy.mkv"}, {"VideoOptions.VideoStreamCopy=1", "AudioOptions.AudioStreamCopy=true"},
       {"h264", 320, 240, "aac"}},
      {"two outputs, no sound",
       {"one.mkv", "two.avi"},
       {"VideoOptions.VideoCodecName=mpeg4", "AudioOptions.AudioDisable=1"},
       {"mpeg4", 320, 240, ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"convert", clip};
    for (const std::string& o : c.outputs) args.insert(args.end(), {"-o", dir.Path(o)});
    for (const std::string& s : c.sets) args.insert(args.end(), {"--set", s});
    const RunResult r = RunKivora(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Converted 00:02 of media")) << r.out;
    for (const std::string& o : c.outputs) {
      EXPECT_TRUE(Contains(r.out, dir.Path(o) + ": ")) << r.out;
      CheckOutput(dir.Path(o), c.expect, c.name);
    }
  }
}

TEST(KivoraConvert, FreeOptionsGoToFFmpeg) {
  // g (the key frame interval) is no property: it reaches the encoder.
  TempDir dir;
  const std::string clip = Source::Get().clip;
  for (const auto& [gop, keys] : {std::pair{"1", 50}, std::pair{"25", 2}}) {
    const std::string out = dir.Path(std::string("g") + gop + ".mkv");
    const RunResult r = RunKivora({"convert", clip, "-o", out, "--set", "VideoOptions.VideoCodecName=mpeg4",
                                   "--set", std::string("g=") + gop, "--set", "AudioOptions.AudioDisable=1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(VideoPackets(out), std::make_pair(50, keys)) << "g=" << gop;
  }
}

TEST(KivoraConvert, StreamMapsChooseTheStreams) {
  TempDir dir;
  MediaSpec two;
  two.container = "matroska";
  two.tones = {440.0, 660.0};
  const std::string clip = MakeMedia(dir.Path("two.mkv"), two);
  const std::string out = dir.Path("second-tone.mkv");
  const RunResult r = RunKivora({"convert", clip, "-o", out, "--map", "0:0", "--map", "0:2", "--set",
                                 "VideoOptions.VideoCodecName=mpeg4"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_EQ(m.video[0].numbers, Range(0, 49));
  ASSERT_EQ(m.audio.size(), 1u) << "only the mapped sound stream";
  const DecodedAudio& a = m.audio[0];
  EXPECT_NEAR(MeasureToneHz(a.samples.data(), a.Frames(), a.channels, a.sample_rate), 660.0, 3.0);
}

TEST(KivoraConvert, RawInputReadWithInputOptions) {
  // Raw pictures carry no size or rate: the demuxer is chosen by InputFormats
  // and told the rest with --input-option.
  TempDir dir;
  const std::string raw = dir.Path("clip.yuv");
  MediaSpec spec;
  spec.container = "rawvideo";
  spec.video_codec = AV_CODEC_ID_RAWVIDEO;
  spec.audio_codec = AV_CODEC_ID_NONE;
  spec.frames = 20;
  MakeMedia(raw, spec);
  const std::string out = dir.Path("from-raw.mkv");
  const RunResult r = RunKivora({"convert", raw, "-o", out, "--set", "InputFormats=rawvideo", "--input-option",
                                 "video_size=320x240", "--input-option", "pixel_format=yuv420p", "--input-option",
                                 "framerate=10", "--set", "VideoOptions.VideoCodecName=mpeg4"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const QJsonObject v = JsonReport(RunKivora({"probe", out, "--json"}))["streams"].toArray()[0].toObject();
  EXPECT_EQ(v["width"].toInt(), 320);
  EXPECT_DOUBLE_EQ(v["avg_frame_rate_value"].toDouble(), 10.0);
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_EQ(m.video[0].numbers, Range(0, 19));
}

TEST(KivoraConvert, JsonLinesReportProgressAndTheResult) {
  TempDir dir;
  const std::string out = dir.Path("out.mkv");
  const RunResult r = RunKivora(
      {"convert", Source::Get().clip, "-o", out, "--set", "VideoOptions.VideoCodecName=mpeg4", "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::istringstream lines(r.out);
  std::vector<QJsonObject> objects;
  for (std::string line; std::getline(lines, line);) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
    ASSERT_TRUE(doc.isObject()) << line;
    objects.push_back(doc.object());
  }
  ASSERT_GE(objects.size(), 2u) << "at least one progress step and the result";
  int last = -1;
  for (size_t i = 0; i + 1 < objects.size(); ++i) {
    const QJsonObject& o = objects[i];
    for (const char* key : {"progress", "time", "speed", "left"}) EXPECT_TRUE(o.contains(key)) << key;
    EXPECT_GE(o["progress"].toInt(), last) << "progress never runs backwards";
    last = o["progress"].toInt();
    EXPECT_LE(last, 100);
    EXPECT_GE(o["time"].toDouble(), 0);
    EXPECT_LE(o["time"].toDouble(), 2.1);
  }
  const QJsonObject result = objects.back();
  EXPECT_EQ(Str(result["result"]), "completed");
  EXPECT_EQ(result["progress"].toInt(), 100);
  EXPECT_NEAR(result["time"].toDouble(), 2.0, 0.1);
  EXPECT_NEAR(result["duration"].toDouble(), 2.0, 0.1);
  const QJsonArray outputs = result["outputs"].toArray();
  ASSERT_EQ(outputs.size(), 1);
  EXPECT_EQ(Str(outputs[0].toObject()["file"]), out);
  EXPECT_EQ(outputs[0].toObject()["size"].toDouble(), static_cast<double>(std::filesystem::file_size(out)));
}

TEST(KivoraConvert, BadInputsAndBadArgumentsFailWithAReason) {
  TempDir dir;
  std::ofstream(dir.Path("junk.mp4")) << "this is not a movie";
  const std::string clip = Source::Get().clip, out = dir.Path("out.mkv");
  struct Bad {
    std::vector<std::string> args;
    int exit_code;
    std::vector<std::string> messages;  // all in stderr
  } bad[] = {
      {{"convert", dir.Path("missing.mp4"), "-o", out}, 1, {"kivora: convert:", dir.Path("missing.mp4")}},
      {{"convert", dir.Path("junk.mp4"), "-o", out}, 1, {"kivora: convert:"}},
      {{"convert", clip, "-o", out, "--set", "VideoOptions.Nope=1"},
       2,
       {"kivora: convert:", "'VideoOptions.Nope' is no option property"}},
      {{"convert", clip, "-o", out, "--set", "videooptions.framewidth=64"}, 2, {"did you mean VideoOptions.FrameWidth"}},
      {{"convert", clip, "-o", out, "--set", "VideoOptions.FrameWidth=wide"},
       2,
       {"VideoOptions.FrameWidth", "'wide' is not a number"}},
      {{"convert", clip, "-o", out, "--set", "VideoOptions.FrameWidth=6.5"}, 2, {"'6.5' is not a whole number"}},
      {{"convert", clip, "-o", out, "--set", "VideoOptions.FrameRate=fast"}, 2, {"VideoOptions.FrameRate"}},
      {{"convert", clip, "-o", out, "--set", "VideoOptions.Pass=5"}, 2, {"VideoOptions.Pass"}},
      {{"convert", clip, "-o", out, "--set", "VideoOptions.VideoSyncMethod=7"}, 2, {"VideoOptions.VideoSyncMethod"}},
      {{"convert", clip, "-o", out, "--set", "preset"}, 2, {"NAME=VALUE expected"}},
      {{"convert", clip}, 2, {"kivora: convert:", "-o"}},
      {{"convert", "-o", out}, 2, {"kivora: convert:", "IN"}},
  };
  for (const Bad& b : bad) {
    const RunResult r = RunKivora(b.args);
    SCOPED_TRACE(b.args.back());
    EXPECT_EQ(r.exit_code, b.exit_code) << r.err;
    for (const std::string& m : b.messages) EXPECT_TRUE(Contains(r.err, m)) << "missing '" << m << "' in " << r.err;
    EXPECT_EQ(r.out, "") << "nothing on stdout for a failure";
  }
  EXPECT_FALSE(std::filesystem::exists(out)) << "refused arguments write nothing";

  // With --json the failure is a result too.
  const RunResult r = RunKivora({"convert", dir.Path("missing.mp4"), "-o", out, "--json"});
  EXPECT_EQ(r.exit_code, 1);
  const QJsonDocument doc = QJsonDocument::fromJson(
      QByteArray::fromStdString(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1)));
  EXPECT_EQ(Str(doc.object()["result"]), "failed") << r.out;
  EXPECT_FALSE(Str(doc.object()["error"]).empty()) << r.out;
}

TEST(KivoraConvert, TwoPassWithASharedPassLogFile) {
  // --set PassLogFile reaches the converter: pass 1 to /dev/null and pass 2
  // to the file both use its log. The program runs in the test folder, so a
  // log under another name would stay inside it too.
  TempDir dir;
  const std::string input = dir.Path("source.mp4");
  std::filesystem::copy_file(Source::Get().clip, input);
  const std::string out = dir.Path("twopass.avi");
  for (int pass : {1, 2}) {
    SCOPED_TRACE(pass);
    std::vector<std::string> args = {"convert", input, "-o", pass == 1 ? "/dev/null" : out,
                                     "--set", "VideoOptions.VideoCodecName=mpeg4",
                                     "--set", "VideoOptions.Bitrate=300k",
                                     "--set", "VideoOptions.Pass=" + std::to_string(pass),
                                     "--set", "AudioOptions.AudioDisable=1",
                                     "--set", "PassLogFile=" + dir.Path("stats")};
    if (pass == 1) args.insert(args.end(), {"--set", "OutputFormat=null"});
    const RunResult r = RunKivora(args, "/dev/null", 0, dir.Dir());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(std::filesystem::exists(dir.Path("stats-0.log")));
    EXPECT_GT(std::filesystem::file_size(dir.Path("stats-0.log")), 100u);
  }
  EXPECT_EQ(DecodeMedia(out).video.at(0).numbers, Range(0, 49));
  for (const char* other : {"ffmpeg2pass-0.log", "source-2pass-0.log", "twopass-2pass-0.log"})
    EXPECT_FALSE(std::filesystem::exists(dir.Path(other))) << other;
  EXPECT_TRUE(Contains(RunKivora({"convert", "--properties"}).out, "PassLogFile"));
}

TEST(KivoraConvert, HelpAndPropertyList) {
  RunResult r = RunKivora({"help", "convert"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* option : {"IN", "--output", "--set", "--map", "--input-option", "--json", "--properties"})
    EXPECT_TRUE(Contains(r.out, option)) << option << "\n" << r.out;
  EXPECT_TRUE(Contains(RunKivora({}).out, "convert IN... -o OUT")) << "the command list shows its synopsis";

  r = RunKivora({"convert", "--properties"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* name : {"OutputFormat", "StartTime", "RecordingTime", "VideoOptions.FrameWidth",
                           "VideoOptions.FrameRate", "AudioOptions.AudioStreamCopy", "FilterOptions.VideoFilters",
                           "MuxerOptions.MuxPreload", "SubtitleOptions.SubtitleDisable"})
    EXPECT_TRUE(Contains(r.out, name)) << name;
}

TEST(KivoraConvert, TimesAndRatesTakeTheirUsualSpellings) {
  // StartTime and RecordingTime in seconds, a rate as a fraction and a sync
  // method by name: frames 0.4 s to 1.4 s of the clip, at a constant 50 fps
  // (each picture twice).
  TempDir dir;
  const std::string out = dir.Path("cut.mkv");
  const RunResult r =
      RunKivora({"convert", Source::Get().clip, "-o", out, "--set", "StartTime=0.4", "--set", "RecordingTime=1",
                 "--set", "VideoOptions.FrameRate=50/1", "--set", "VideoOptions.VideoSyncMethod=cfr", "--set",
                 "VideoOptions.VideoCodecName=mpeg4", "--set",
                 "AudioOptions.AudioDisable=1"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  const std::vector<int>& n = m.video[0].numbers;
  // About fifty pictures from about frame 10 to frame 34 (the picture at the
  // cut may be taken from either side of it), in order.
  EXPECT_NEAR(static_cast<double>(n.size()), 50.0, 2.0);
  ASSERT_FALSE(n.empty());
  EXPECT_NEAR(n.front(), 10, 1);
  EXPECT_NEAR(n.back(), 34, 1);
  EXPECT_TRUE(std::is_sorted(n.begin(), n.end()));
  int repeated = 0;
  for (size_t i = 1; i < n.size(); ++i) repeated += n[i] == n[i - 1];
  EXPECT_GE(repeated, 22) << "at 50 fps most pictures are shown twice";
}

// Runs the program with stdout on a pipe; returns the pid and the pipe.
pid_t Spawn(const std::vector<std::string>& args, int& out_fd) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDERR_FILENO);
    dup2(devnull, STDIN_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv = {const_cast<char*>(KIVORA_APP_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KIVORA_APP_PATH, argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_fd = fds[0];
  return pid;
}

TEST(KivoraConvert, CtrlCStopsWithAValidShorterFile) {
  // RateEmu reads the input at its own pace, so the stop comes mid-way.
  TempDir dir;
  MediaSpec spec;
  spec.frames = 250;  // 10 s
  const std::string clip = MakeMedia(dir.Path("long.mp4"), spec);
  const std::string out = dir.Path("stopped.mkv");
  int fd = -1;
  const pid_t pid = Spawn({"convert", clip, "-o", out, "--set", "RateEmu=1", "--set",
                           "VideoOptions.VideoCodecName=mpeg4", "--json"},
                          fd);
  ASSERT_GT(pid, 0);
  // Wait until a second of media is converted.
  FILE* in = fdopen(fd, "r");
  char line[1024];
  double converted = 0;
  while (converted < 1.0 && std::fgets(line, sizeof line, in)) {
    const QJsonObject o = QJsonDocument::fromJson(QByteArray(line)).object();
    converted = o["time"].toDouble();
  }
  kill(pid, SIGINT);
  std::string rest;
  while (std::fgets(line, sizeof line, in)) rest = line;
  std::fclose(in);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(Str(QJsonDocument::fromJson(QByteArray::fromStdString(rest)).object()["result"]), "stopped") << rest;

  // The file ends properly: the pictures up to the stop, in order. The
  // input has B-frames, so the last picture decoded may be a reference
  // picture read ahead of the (unread) B-frames shown before it.
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  std::vector<int> n = m.video[0].numbers;
  ASSERT_GE(n.size(), 20u);
  EXPECT_LT(n.size(), 240u);
  const int last = n.back();
  n.pop_back();
  EXPECT_EQ(n, Range(0, static_cast<int>(n.size()) - 1));
  EXPECT_GE(last, static_cast<int>(n.size()));
  EXPECT_LE(last, static_cast<int>(n.size()) + spec.max_b_frames);
}

// Ctrl-C while an input that never answers is being opened stops the job:
// exit code 130 and "stopped", as for a stop mid-way.
TEST(KivoraConvert, CtrlCWhileOpeningIsAStop) {
  TempDir dir;
  StalledTcpServer server;
  ASSERT_FALSE(server.Url().empty());
  const std::string out = dir.Path("never.mkv");
  int fd = -1;
  const pid_t pid = Spawn({"convert", server.Url(), "-o", out, "--json"}, fd);
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 1000 && server.Accepted() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server.Accepted(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(pid, SIGINT);
  FILE* in = fdopen(fd, "r");
  char line[1024];
  std::string rest;
  while (std::fgets(line, sizeof line, in)) rest = line;
  std::fclose(in);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(Str(QJsonDocument::fromJson(QByteArray::fromStdString(rest)).object()["result"]), "stopped") << rest;
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
