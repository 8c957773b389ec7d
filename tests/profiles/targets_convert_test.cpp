// Every target applied to a fresh converter and run on a 4:2:2, 30 fps clip
// with 44.1 kHz mono sound; the outputs are read back with libavformat and
// decoded by an independent reader that must see no error.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivora/converter/converter.h"
#include "kivora/profiles/catalog.h"
#include "kivora/profiles/custom.h"
#include "kivora/profiles/targets.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

struct RunResult {
  std::string error;  // OnError's message, "" when the conversion completed
  std::string errorLog;
  bool complete = false;
};

RunResult Convert(TAVConverter& c, const std::string& in, const std::string& out) {
  RunResult r;
  std::mutex lock;
  c.ConvertOptions().SetSynchronous(true);
  c.OnError = [&](TComponent*, const std::string& msg, const std::string& log, bool& handled) {
    std::lock_guard<std::mutex> l(lock);
    r.error = msg.empty() ? "(empty error)" : msg;
    r.errorLog = log;
    handled = true;
  };
  std::atomic<bool> complete{false};
  c.OnComplete = [&](TComponent*) { complete = true; };
  c.InputFiles().Clear();
  c.InputFiles().Add(in);
  c.OutputFiles().Clear();
  c.OutputFiles().Add(out);
  c.Convert();
  EXPECT_TRUE(c.WaitFor(120000));
  for (int k = 0; k < 2000 && !complete; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  r.complete = complete;
  return r;
}

struct Probed {
  std::string format;
  AVCodecID video = AV_CODEC_ID_NONE, audio = AV_CODEC_ID_NONE;
  int width = 0, height = 0, pixFmt = -1, sampleRate = 0, channels = 0;
  int64_t audioBitrate = 0;
  AVRational rate{0, 1};
};

Probed Probe(const std::string& path) {
  Probed p;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return p;
  AVInputContextPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) return p;
  p.format = ic->iformat->name;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const AVCodecParameters* par = st->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      p.video = par->codec_id;
      p.width = par->width;
      p.height = par->height;
      p.pixFmt = par->format;
      p.rate = st->r_frame_rate;
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      p.audio = par->codec_id;
      p.sampleRate = par->sample_rate;
      p.channels = par->ch_layout.nb_channels;
      p.audioBitrate = par->bit_rate;
    }
  }
  return p;
}

// Error lines FFmpeg logs while the independent reader decodes a file.
std::atomic<int> g_errorLines{0};
void CountErrors(void*, int level, const char*, va_list) {
  if (level <= AV_LOG_ERROR) ++g_errorLines;
}

DecodedMedia DecodeCountingErrors(const std::string& path, int& errorLines) {
  g_errorLines = 0;
  av_log_set_callback(CountErrors);
  DecodedMedia m;
  try {
    m = DecodeMedia(path);
  } catch (...) {
    av_log_set_callback(AVLoaded() ? LogCallback : av_log_default_callback);
    throw;
  }
  av_log_set_callback(AVLoaded() ? LogCallback : av_log_default_callback);
  errorLines = g_errorLines;
  return m;
}

class TargetConversion : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    MediaSpec s;
    s.container = "matroska";
    s.video_codec = AV_CODEC_ID_H264;
    s.pix_fmt = AV_PIX_FMT_YUV422P;
    s.fps = {30, 1};
    s.frames = 30;
    s.audio_codec = AV_CODEC_ID_AAC;
    s.sample_rate = 44100;
    s.channels = 1;
    clip = MakeMedia(dir->Path("clip422.mkv"), s);
  }
  static void TearDownTestSuite() { delete dir; }
  static TempDir* dir;
  static std::string clip;
};
TempDir* TargetConversion::dir = nullptr;
std::string TargetConversion::clip;

TEST_F(TargetConversion, EveryTargetGivesAFileThatReadsBackAsThatTarget) {
  const struct {
    const char* spec;
    const char* format;
    AVCodecID video;
    int width, height;
    AVPixelFormat pixFmt;
    AVRational rate;
    AVCodecID audio;
    int sampleRate;
    int64_t audioBitrate;  // 0: not checked (PCM)
  } cases[] = {
      {"dvd", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 720, 576, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_AC3, 48000, 448000},
      {"dvd:ntsc", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 720, 480, AV_PIX_FMT_YUV420P, {30000, 1001}, AV_CODEC_ID_AC3, 48000, 448000},
      {"vcd", "mpeg", AV_CODEC_ID_MPEG1VIDEO, 352, 288, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_MP2, 44100, 224000},
      {"vcd:film", "mpeg", AV_CODEC_ID_MPEG1VIDEO, 352, 240, AV_PIX_FMT_YUV420P, {24000, 1001}, AV_CODEC_ID_MP2, 44100, 224000},
      {"svcd", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 480, 576, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_MP2, 44100, 224000},
      {"svcd:ntsc", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 480, 480, AV_PIX_FMT_YUV420P, {30000, 1001}, AV_CODEC_ID_MP2, 44100, 224000},
      {"dv", "dv", AV_CODEC_ID_DVVIDEO, 720, 576, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv:ntsc", "dv", AV_CODEC_ID_DVVIDEO, 720, 480, AV_PIX_FMT_YUV411P, {30000, 1001}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv:film", "dv", AV_CODEC_ID_DVVIDEO, 720, 480, AV_PIX_FMT_YUV411P, {30000, 1001}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv50", "dv", AV_CODEC_ID_DVVIDEO, 720, 576, AV_PIX_FMT_YUV422P, {25, 1}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv50:ntsc", "dv", AV_CODEC_ID_DVVIDEO, 720, 480, AV_PIX_FMT_YUV422P, {30000, 1001}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
  };
  int n = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.spec);
    TAVConverter c;
    std::string error;
    ASSERT_TRUE(ApplyProfileByName(tc.spec, c, error)) << error;
    const std::string out = dir->Path("out" + std::to_string(n++) + ".bin");
    const RunResult r = Convert(c, clip, out);
    ASSERT_EQ(r.error, "") << r.errorLog;
    EXPECT_TRUE(r.complete);

    const Probed p = Probe(out);
    EXPECT_EQ(p.format, tc.format);
    EXPECT_EQ(p.video, tc.video);
    EXPECT_EQ(p.width, tc.width);
    EXPECT_EQ(p.height, tc.height);
    EXPECT_EQ(p.pixFmt, tc.pixFmt) << av_get_pix_fmt_name(static_cast<AVPixelFormat>(p.pixFmt));
    EXPECT_EQ(av_cmp_q(p.rate, tc.rate), 0) << p.rate.num << "/" << p.rate.den;
    EXPECT_EQ(p.audio, tc.audio);
    EXPECT_EQ(p.sampleRate, tc.sampleRate);
    if (tc.audioBitrate) {
      EXPECT_EQ(p.audioBitrate, tc.audioBitrate);
    }

    int errorLines = -1;
    const DecodedMedia m = DecodeCountingErrors(out, errorLines);
    EXPECT_EQ(errorLines, 0);
    ASSERT_EQ(m.video.size(), 1u);
    // DV50 carries its sound as two stereo pairs; the second one is silent.
    ASSERT_GE(m.audio.size(), 1u);
    // About one second of pictures at the target's rate, the first one first.
    EXPECT_NEAR(static_cast<double>(m.video[0].numbers.size()), av_q2d(tc.rate), 3.0);
    EXPECT_EQ(m.video[0].numbers.front(), 0);
    EXPECT_GT(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 0.9);
  }
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(TargetConversion, TheH264PresetReachesTheEncoder) {
  const struct {
    const char* spec;
    const char* setting;  // in x264's settings string
  } cases[] = {{"h264:ultrafast", "subme=0 "}, {"h264:slower", "subme=9 "}};
  for (const auto& tc : cases) {
    TAVConverter c;
    std::string error;
    ASSERT_TRUE(ApplyProfileByName(tc.spec, c, error)) << error;
    const std::string out = dir->Path(std::string(tc.spec + 5) + ".mp4");
    ASSERT_EQ(Convert(c, clip, out).error, "");
    const std::string bytes = Slurp(out);
    ASSERT_NE(bytes.find("x264 - core"), std::string::npos);
    EXPECT_NE(bytes.find(tc.setting), std::string::npos) << tc.spec;
  }
}

// Encoders this FFmpeg lacks, or settings they refuse, end in OnError with a
// reason, never in a file reported as done.
TEST_F(TargetConversion, RefusedChoicesEndInAnError) {
  const struct {
    const char* name;
    std::function<void(TAVCustomVideoProfile&)> setup;
  } cases[] = {
      {"amr", [](TAVCustomVideoProfile& p) { p.SetAudioEncoder(TCustomAudioEncoder::AMR_NB); }},
      {"h263 size",
       [](TAVCustomVideoProfile& p) {
         p.SetVideoEncoder(TCustomVideoEncoder::H263);
         p.SetFrameWidth(640);
         p.SetFrameHeight(480);
       }},
      {"real_144 at 44.1 kHz",
       [](TAVCustomVideoProfile& p) {
         p.SetAudioEncoder(TCustomAudioEncoder::RA1);
         p.SetSampleRate(44100);
       }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVCustomVideoProfile p;
    p.SetVideoEncoder(TCustomVideoEncoder::MPEG4);
    p.SetFormat(TCustomAVFormat::F_MKV);
    p.SetAudioEncoder(TCustomAudioEncoder::MP2);
    p.SetSampleRate(44100);
    tc.setup(p);
    TAVConverter c;
    p.ApplyProfile(c);
    const RunResult r = Convert(c, clip, dir->Path(std::string(tc.name) + ".mkv"));
    // OnComplete follows OnError: the resources are released either way.
    EXPECT_NE(r.error, "");
  }
}

}  // namespace
}  // namespace kivora::testing
