// End-to-end conversions of generated clips, read back with an independent
// decoder, plus the component's state machine, events and error paths.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>

#include "kivora/converter/converter.h"
#include "kivora/io/async_stream.h"
#include "kivora/io/url.h"
#include "kivora/platform/bitmap.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/message.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"
#include "cut_http_server.h"

namespace kivora::testing {
namespace {

// What a conversion reported through its events.
struct Outcome {
  std::mutex lock;
  std::vector<std::string> events;  // "stopped", "error", "complete" in order
  std::string error, errorLog;
  std::atomic<int> progress{0};
  std::atomic<bool> complete{false};
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> l(lock);
    events.push_back(e);
  }
};

void Watch(TAVConverter& c, Outcome& o) {
  c.ConvertOptions().SetSynchronous(true);
  c.OnError = [&o](TComponent*, const std::string& msg, const std::string& log, bool& handled) {
    o.error = msg;
    o.errorLog = log;
    handled = true;
    o.Add("error");
  };
  c.OnStopped = [&o](TComponent*) { o.Add("stopped"); };
  if (!c.OnProgress) c.OnProgress = [&o](TComponent*) { o.progress++; };
  c.OnComplete = [&o](TComponent*) {
    o.Add("complete");
    o.complete = true;
  };
}

// Waits for the end of a conversion and for its last event.
bool WaitDone(TAVConverter& c, Outcome& o) {
  const bool ended = c.WaitFor(120000);
  for (int k = 0; k < 4000 && !o.complete; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return ended && o.complete;
}

// Runs a conversion to its end; returns the error text ("" on success).
std::string Convert(TAVConverter& c, const std::vector<std::string>& in, const std::vector<std::string>& out,
                Outcome* outcome = nullptr) {
  Outcome local;
  Outcome& o = outcome ? *outcome : local;
  Watch(c, o);
  TStringList i, f;
  for (auto& s : in) i.Add(s);
  for (auto& s : out) f.Add(s);
  c.SetInputFiles(i);
  c.SetOutputFiles(f);
  c.Convert();
  EXPECT_TRUE(WaitDone(c, o));
  EXPECT_EQ(c.State(), csNone);
  return o.error;
}

class ConverterTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    MediaSpec s;  // H.264 + AAC, 320x240, 25 fps, 50 frames
    s.container = "mp4";
    clip = MakeMedia(dir->Path("clip.mp4"), s);
    MediaSpec two = s;
    two.container = "matroska";
    two.video_codec = AV_CODEC_ID_MPEG4;
    two.width = 160;
    two.height = 120;
    two.tones = {440.0, 880.0};
    two.channels = 1;
    small = MakeMedia(dir->Path("two_audio.mkv"), two);
  }
  static void TearDownTestSuite() { delete dir; }
  static TempDir* dir;
  static std::string clip, small;
};
TempDir* ConverterTest::dir = nullptr;
std::string ConverterTest::clip, ConverterTest::small;

struct E2ECase {
  const char* name;
  const char* out;
  std::function<void(TAVConvertOptions&)> setup;
  std::function<void(const DecodedMedia&)> check;
};

TEST_F(ConverterTest, ConversionsReadBack) {
  const E2ECase cases[] = {
      {"reencode", "a.avi",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("mpeg4");
         o.AudioOptions().SetAudioCodecName("mp2");
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         ASSERT_EQ(m.video[0].numbers.size(), 50u);
         EXPECT_EQ(m.video[0].numbers.front(), 0);
         EXPECT_EQ(m.video[0].numbers.back(), 49);
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_NEAR(MeasureToneHz(m.audio[0].samples.data(), m.audio[0].Frames(), m.audio[0].channels,
                                   m.audio[0].sample_rate),
                     440.0, 5.0);
       }},
      {"copy", "b.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoStreamCopy(true);
         o.AudioOptions().SetAudioStreamCopy(true);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_EQ(m.video[0].numbers.size(), 50u);
         EXPECT_EQ(m.video[0].numbers.back(), 49);
         EXPECT_EQ(m.audio.size(), 1u);
       }},
      {"resize", "c.mp4",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetFrameWidth(160);
         o.VideoOptions().SetFrameHeight(96);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_EQ(m.video[0].widths.front(), 160);
         EXPECT_EQ(m.video[0].heights.front(), 96);
       }},
      {"double rate", "d.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("mpeg4");
         o.VideoOptions().SetVideoSyncMethod(VSYNC_CFR);
         o.VideoOptions().FrameRate().Setnum(50);
         o.VideoOptions().FrameRate().Setden(1);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         const auto& n = m.video[0].numbers;
         EXPECT_NEAR(static_cast<double>(n.size()), 100, 2);
         ASSERT_GE(n.size(), 4u);
         EXPECT_EQ(n[0], n[1]);  // every picture twice
         EXPECT_EQ(n[2], n[3]);
       }},
      {"half rate", "e.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("mpeg4");
         o.VideoOptions().SetVideoSyncMethod(VSYNC_CFR);
         o.VideoOptions().FrameRate().Setnum(25);
         o.VideoOptions().FrameRate().Setden(2);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         const auto& n = m.video[0].numbers;
         // The drift allowance keeps the first pictures; then every second one goes.
         EXPECT_NEAR(static_cast<double>(n.size()), 26, 2);
         ASSERT_GE(n.size(), 3u);
         EXPECT_EQ(n[n.size() - 1] - n[n.size() - 2], 2);
         EXPECT_EQ(n[n.size() - 2] - n[n.size() - 3], 2);
       }},
      {"max frames", "f.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("mpeg4");
         o.VideoOptions().SetMaxFrames(20);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_EQ(m.video[0].numbers.size(), 20u);
         ASSERT_EQ(m.audio.size(), 1u);  // the sound goes on to its end
         EXPECT_GT(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 1.8);
       }},
      {"max frames of a copy", "f2.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoStreamCopy(true);
         o.AudioOptions().SetAudioStreamCopy(true);
         o.VideoOptions().SetMaxFrames(10);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_EQ(m.video[0].numbers.size(), 10u);
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_GT(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 1.8);
       }},
      {"start time", "s.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("mpeg4");
         o.SetStartTime(1000000);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         ASSERT_FALSE(m.video[0].numbers.empty());
         EXPECT_EQ(m.video[0].numbers.front(), 25);  // the picture at 1 s
         EXPECT_EQ(m.video[0].numbers.back(), 49);
         EXPECT_EQ(m.video[0].numbers.size(), 25u);
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_NEAR(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 1.0, 0.1);
       }},
      {"recording time", "r.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("mpeg4");
         o.SetRecordingTime(1000000);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_EQ(m.video[0].numbers.size(), 25u);
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_NEAR(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 1.0, 0.1);
       }},
      {"codec names pick their default encoders", "n.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("h264");
         o.AudioOptions().SetAudioCodecName("mp3");  // no encoder has that name
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_EQ(m.video[0].numbers.size(), 50u);
         EXPECT_EQ(m.audio.size(), 1u);
       }},
      {"video filter and audio only", "g.mp3",
       [](TAVConvertOptions& o) { o.AudioOptions().SetAudioSampleRate(22050); },
       [](const DecodedMedia& m) {
         EXPECT_TRUE(m.video.empty());
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_EQ(m.audio[0].sample_rate, 22050);
       }},
  };
  for (const E2ECase& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    tc.setup(c.ConvertOptions());
    const std::string out = dir->Path(tc.out);
    ASSERT_EQ(Convert(c, {clip}, {out}), "");
    EXPECT_EQ(c.Progress(), 100);
    tc.check(DecodeMedia(out));
  }
}

TEST_F(ConverterTest, ErrorsReachOnErrorAndLeaveNothingBehind) {
  struct Case {
    const char* name;
    std::vector<std::string> in, out;
    std::function<void(TAVConvertOptions&)> setup;
    std::string expected;  // prefix of the error text
  };
  const std::string missing = dir->Path("missing.mp4");
  const std::string garbage = dir->Path("garbage.bin");
  {
    std::ofstream f(garbage, std::ios::binary);
    for (int i = 0; i < 4096; ++i) f.put(static_cast<char>((i * 7919) >> 3));
  }
  const Case cases[] = {
      {"no input", {}, {dir->Path("x.mkv")}, nullptr, "At least one input file must be specified"},
      {"unknown format", {clip}, {dir->Path("x.mkv")}, [](auto& o) { o.SetOutputFormat("nosuchformat"); },
       "Unknown Output format nosuchformat"},
      // The number FFmpeg gave, then its reason.
      {"missing input", {missing}, {dir->Path("x.mkv")}, nullptr,
       "Could not open file:" + missing + " error(" + std::to_string(AVERROR(ENOENT)) + ")! " + std::strerror(ENOENT)},
      {"not media", {garbage}, {dir->Path("x.mkv")}, nullptr,
       "Could not open file:" + garbage + " error(" + std::to_string(AVERROR_INVALIDDATA) +
           ")! Invalid data found when processing input"},
      {"unknown codec", {clip}, {dir->Path("x.mkv")}, [](auto& o) { o.VideoOptions().SetVideoCodecName("nosuch"); },
       "Unknown Codec Name nosuch"},
      {"misspelled codec", {clip}, {dir->Path("x.mkv")}, [](auto& o) { o.VideoOptions().SetVideoCodecName("mpeg5"); },
       "Unknown Codec Name mpeg5 (close: mpeg4"},
      {"codec type", {clip}, {dir->Path("x.mkv")}, [](auto& o) { o.VideoOptions().SetVideoCodecName("mp2"); },
       "Invalid codec type"},
      {"map file index", {clip}, {dir->Path("x.mkv")}, [](auto& o) { o.StreamMaps().Add("3:v"); },
       "Invalid input file index:3"},
      {"map count", {small}, {dir->Path("x.mkv")}, [](auto& o) {
         o.StreamMaps().Add("0:v");
         o.VideoOptions().SetVideoDisable(true);
       },
       "Number of stream maps must match number of output streams"},
      {"same file", {clip}, {clip}, nullptr, "Output file "},
      {"unwritable", {clip}, {"/proc/nope/x.mkv"}, nullptr, "Could not write to file"},
      {"no streams", {clip}, {dir->Path("y.mkv")},
       [](auto& o) {
         o.VideoOptions().SetVideoDisable(true);
         o.AudioOptions().SetAudioDisable(true);
       },
       "Output file does not contain any stream"},
      {"copy and volume", {clip}, {dir->Path("z.mkv")},
       [](auto& o) {
         o.AudioOptions().SetAudioStreamCopy(true);
         o.AudioOptions().SetAudioVolume(300);
       },
       "-acodec copy and -vol are incompatible (frames are not decoded)"},
  };
  const uintmax_t clipSize = std::filesystem::file_size(clip);
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    if (tc.setup) tc.setup(c.ConvertOptions());
    TSemaphore sem(1);
    Outcome o;
    Watch(c, o);
    TStringList i, f;
    for (auto& s : tc.in) i.Add(s);
    for (auto& s : tc.out) f.Add(s);
    c.SetInputFiles(i);
    c.SetOutputFiles(f);
    c.Convert(&sem);
    ASSERT_TRUE(WaitDone(c, o));
    EXPECT_EQ(o.error.rfind(tc.expected, 0), 0u) << o.error;
    EXPECT_EQ(c.State(), csNone);
    EXPECT_EQ(sem.Count(), 1);  // the slot is given back
  }
  EXPECT_EQ(std::filesystem::file_size(clip), clipSize);  // the source was never truncated
}

// A job refused during its set-up touches no output: a file that was there
// keeps its bytes, and none is made. The checks run (encoders, bitstream
// filters, the muxer's header) before any output is opened.
TEST_F(ConverterTest, ARefusedSetUpLeavesTheOutputsAlone) {
  struct Case {
    const char* name;
    const char* ext;
    std::function<void(TAVConvertOptions&)> setup;
    std::string expected;  // prefix of the error text
  };
  const Case cases[] = {
      {"map count", "mkv",
       [](auto& o) {
         o.StreamMaps().Add("0:v");
         o.StreamMaps().Add("0:a");
         o.VideoOptions().SetVideoDisable(true);
       },
       "Number of stream maps must match number of output streams"},
      {"encoder refuses", "mkv", [](auto& o) { o.VideoOptions().SetVideoCodecName("h263"); },
       "Error while opening codec for output stream"},
      {"unknown bitstream filter", "mkv",
       [](auto& o) {
         o.VideoOptions().SetVideoStreamCopy(true);
         o.FilterOptions().SetVideoBitstreamFilters("nosuch_bsf");
       },
       "Unknown bitstream filter"},
      {"muxer refuses the codec", "mp4", [](auto& o) { o.AudioOptions().SetAudioCodecName("pcm_s16le"); },
       "Could not write header for output file"},
  };
  int n = 0;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::string kept = dir->Path("kept" + std::to_string(n) + "." + tc.ext);
    const std::string fresh = dir->Path("fresh" + std::to_string(n) + "." + tc.ext);
    ++n;
    std::ofstream(kept, std::ios::binary) << "the user's own bytes";
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    tc.setup(c.ConvertOptions());
    const std::string error = Convert(c, {clip}, {kept, fresh});
    EXPECT_EQ(error.rfind(tc.expected, 0), 0u) << error;
    std::ifstream f(kept, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "the user's own bytes");
    EXPECT_FALSE(std::filesystem::exists(fresh));
  }
}

// A bitstream filter that gathers packets gives back what it holds at the
// end: 24 000 samples rechunked by 1024 end in a padded last chunk, not 23
// whole ones.
TEST_F(ConverterTest, BitstreamFiltersAreDrainedBeforeTheTrailer) {
  MediaSpec s;
  s.container = "wav";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_codec = AV_CODEC_ID_PCM_S16LE;
  s.sample_rate = 48000;
  s.channels = 1;
  s.audio_seconds = 0.5;
  const std::string in = MakeMedia(dir->Path("rechunk_in.wav"), s);
  ASSERT_EQ(DecodeMedia(in).audio.at(0).Frames(), 24000u);
  TAVConverter c;
  c.ConvertOptions().AudioOptions().SetAudioStreamCopy(true);
  c.ConvertOptions().FilterOptions().SetAudioBitstreamFilters("pcm_rechunk");
  const std::string out = dir->Path("rechunked.wav");
  ASSERT_EQ(Convert(c, {in}, {out}), "");
  EXPECT_EQ(DecodeMedia(out).audio.at(0).Frames(), 24576u);
}

TEST_F(ConverterTest, ConvertWhileRunningIsRefused) {
  TAVConverter c;
  c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  Outcome o;
  Watch(c, o);
  // The run waits in its first progress event until the second call was made.
  std::atomic<bool> inside{false}, release{false};
  c.OnProgress = [&](TComponent*) {
    inside = true;
    for (int i = 0; i < 5000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  c.InputFiles().Add(clip);
  c.OutputFiles().Add(dir->Path("busy.mkv"));
  c.Convert();
  for (int i = 0; i < 5000 && !inside; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(inside);
  EXPECT_THROW(c.Convert(), Exception);
  EXPECT_EQ(c.State(), csRunning);  // the refused call changed nothing
  release = true;
  ASSERT_TRUE(WaitDone(c, o));
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.events, (std::vector<std::string>{"complete"}));
  EXPECT_EQ(DecodeMedia(dir->Path("busy.mkv")).video.at(0).numbers.size(), 50u);
  o.complete = false;
  c.Convert();  // a finished converter runs again
  // The figures are read from this thread while the worker writes them (the
  // ThreadSanitizer run checks that both sides take the figure lock): an
  // input's size is 0 until the worker has opened it, then its real size.
  const int64_t clipSize = static_cast<int64_t>(std::filesystem::file_size(clip));
  bool sizesSane = true;
  int reads = 0;
  while (c.State() != csNone) {
    for (int k = 0; k < 50; ++k, ++reads) {
      const int64_t size = c.GetSourceFileSize(0);
      sizesSane = sizesSane && (size == 0 || size == clipSize) && c.GetSourceFileSize(1) == 0 &&
                  c.GetSourceFileSize(-1) == 0;
      (void)c.SourceFileSize();
      (void)c.TargetFileSize();
      (void)c.Progress();
      (void)c.GetLeftTime();
      (void)c.Bitrate();
      (void)c.LastErrorMessage();
    }
  }
  ASSERT_TRUE(WaitDone(c, o));
  EXPECT_EQ(o.error, "");
  EXPECT_GT(reads, 0);
  EXPECT_TRUE(sizesSane);
  EXPECT_EQ(c.GetSourceFileSize(0), clipSize);  // still known after the run
  EXPECT_EQ(c.SourceFileSize(), clipSize);
  // The final size, not a figure from before the trailer or after the close.
  EXPECT_EQ(c.TargetFileSize(), static_cast<int64_t>(std::filesystem::file_size(dir->Path("busy.mkv"))));
}

TEST_F(ConverterTest, SharedSemaphoreQueuesTheSecondConverter) {
  TSemaphore sem(1);
  TAVConverter a, b;
  Outcome oa, ob;
  Watch(a, oa);
  Watch(b, ob);
  // The first one waits in its first progress event until the second is queued.
  std::atomic<bool> release{false};
  std::atomic<int> seenWaiting{0};
  a.OnProgress = [&](TComponent*) {
    for (int i = 0; i < 2000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  for (TAVConverter* c : {&a, &b}) {
    c->ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c->InputFiles().Add(clip);
  }
  a.OutputFiles().Add(dir->Path("sem_a.mkv"));
  b.OutputFiles().Add(dir->Path("sem_b.mkv"));
  a.Convert(&sem);
  for (int i = 0; i < 1000 && sem.Count() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  b.Convert(&sem);
  for (int i = 0; i < 1000 && b.State() != csWaiting; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (b.State() == csWaiting) seenWaiting++;
  release = true;
  ASSERT_TRUE(WaitDone(a, oa));
  ASSERT_TRUE(WaitDone(b, ob));
  EXPECT_EQ(seenWaiting, 1);
  EXPECT_EQ(oa.error, "");
  EXPECT_EQ(ob.error, "");
  EXPECT_EQ(sem.Count(), 1);

  // A default semaphore has one free slot.
  EXPECT_EQ(TSemaphore().Count(), 1);

  // A queued converter says that it waits, and can be stopped (and so
  // destroyed).
  TSemaphore none(0);
  TAVConverter c;
  Outcome oc;
  Watch(c, oc);
  c.SetLogLevel(llInfo);
  std::atomic<bool> saidWaiting{false};
  c.OnLog = [&](TComponent*, int, const std::string& line) {
    if (line.find("Waiting for a free conversion slot") != std::string::npos) saidWaiting = true;
  };
  c.InputFiles().Add(clip);
  c.OutputFiles().Add(dir->Path("never.mkv"));
  c.Convert(&none);
  for (int i = 0; i < 1000 && c.State() != csWaiting; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(c.State(), csWaiting);
  for (int i = 0; i < 500 && !saidWaiting; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(saidWaiting);
  c.Stop();
  ASSERT_TRUE(WaitDone(c, oc));
  EXPECT_EQ(none.Count(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir->Path("never.mkv")));
}

TEST_F(ConverterTest, StopLeavesAPlayableShorterFileAndPauseResumes) {
  TAVConverter c;
  c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  Outcome o;
  Watch(c, o);
  std::atomic<int> steps{0};
  c.OnProgress = [&](TComponent* s) {
    if (++steps == 3) static_cast<TAVConverter*>(s)->Stop();
  };
  // Progress events come at most ten a second: slow the steps down a little.
  c.OnAudioBuffer = [](TComponent*, void*, int) { std::this_thread::sleep_for(std::chrono::milliseconds(8)); };
  const std::string out = dir->Path("stopped.mkv");
  ASSERT_EQ(Convert(c, {clip}, {out}, &o), "");
  ASSERT_GE(o.events.size(), 2u) << steps << " " << (o.events.empty() ? "" : o.events[0]);
  EXPECT_EQ(o.events[o.events.size() - 2], "stopped");
  EXPECT_EQ(o.events.back(), "complete");
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_GT(m.video[0].numbers.size(), 0u);
  EXPECT_LT(m.video[0].numbers.size(), 50u);

  // Pause from another thread, then resume: the conversion completes.
  TAVConverter p;
  p.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  Outcome op;
  Watch(p, op);
  // Each picture takes 10 ms, so the run lasts well beyond the pause.
  std::atomic<int> pictures{0};
  p.SetVideoBufferEventInterval(1);
  p.OnVideoBuffer = [&](TComponent*, TAVBitmap&, double, bool&) {
    ++pictures;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  p.InputFiles().Add(clip);
  p.OutputFiles().Add(dir->Path("paused.mkv"));
  p.Convert();
  for (int i = 0; i < 500 && pictures < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_GE(pictures, 5);
  p.Pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the picture in hand ends
  EXPECT_EQ(p.State(), csPaused);
  const int at_pause = pictures;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(pictures, at_pause) << "pictures went on while paused";
  EXPECT_EQ(p.State(), csPaused);
  EXPECT_LT(at_pause, 50);
  p.Resume();
  ASSERT_TRUE(WaitDone(p, op));
  EXPECT_EQ(op.error, "");
  EXPECT_EQ(DecodeMedia(dir->Path("paused.mkv")).video.at(0).numbers.size(), 50u);
}

// OnProgress comes at most every 100 ms while the loop runs, never runs
// backwards, and a last event after the loop reads 100 on a complete run, so a
// progress bar ends full.
TEST_F(ConverterTest, ProgressIsThrottledAndEndsAtAHundred) {
  TAVConverter c;
  c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  c.ConvertOptions().AudioOptions().SetAudioCodecName("mp2");  // 1152 samples a frame
  Outcome o;
  Watch(c, o);
  struct Seen {
    int64_t at;
    int percent;
  };
  std::vector<Seen> seen;  // the handler runs on the worker only
  c.OnProgress = [&](TComponent* s) {
    seen.push_back({av_gettime_relative(), static_cast<TAVConverter*>(s)->Progress()});
  };
  // About 0.7 s of work: several throttle periods.
  c.OnAudioBuffer = [](TComponent*, void*, int) { std::this_thread::sleep_for(std::chrono::milliseconds(8)); };
  ASSERT_EQ(Convert(c, {clip}, {dir->Path("progress.mkv")}, &o), "");
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen.back().percent, 100);
  EXPECT_LT(seen[seen.size() - 2].percent, 100);  // the 100 comes from the last event
  for (size_t i = 1; i < seen.size(); ++i) {
    EXPECT_GE(seen[i].percent, seen[i - 1].percent) << i;
    // The last event is not throttled; every other one keeps its distance.
    if (i + 1 < seen.size()) {
      EXPECT_GE(seen[i].at - seen[i - 1].at, 95000) << i;
    }
  }
}

// OnAudioBuffer gets the sound as the encoder takes it: for planar formats
// the first plane only, with that plane's size; for interleaved formats all
// channels. The bytes it gets are read back as the source's tone.
TEST_F(ConverterTest, AudioBufferGetsOnePlaneOfPlanarSound) {
  struct Case {
    const char* name;
    const char* codec;
    AVSampleFormat format;  // what the encoder takes
    int frame;              // samples per encoder frame
    int channels;           // channels in the buffer
  };
  const Case cases[] = {
      {"aac, planar float", "aac", AV_SAMPLE_FMT_FLTP, 1024, 1},
      {"mp2, interleaved s16", "mp2", AV_SAMPLE_FMT_S16, 1152, 2},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoDisable(true);
    c.ConvertOptions().AudioOptions().SetAudioCodecName(tc.codec);
    std::vector<int> sizes;
    std::vector<int16_t> samples;  // what the handler saw, as s16
    c.OnAudioBuffer = [&](TComponent*, void* data, int size) {
      sizes.push_back(size);
      if (tc.format == AV_SAMPLE_FMT_FLTP) {
        const float* f = static_cast<const float*>(data);
        for (int i = 0; i < size / 4; ++i)
          samples.push_back(static_cast<int16_t>(std::lround(std::clamp(f[i], -1.0f, 1.0f) * 32767)));
      } else {
        const int16_t* v = static_cast<const int16_t*>(data);
        samples.insert(samples.end(), v, v + size / 2);
      }
    };
    ASSERT_EQ(Convert(c, {clip}, {dir->Path(std::string("abuf_") + tc.codec + ".mkv")}), "");
    ASSERT_GT(sizes.size(), 10u);
    const int full = tc.frame * av_get_bytes_per_sample(tc.format) * tc.channels;
    for (size_t i = 0; i + 1 < sizes.size(); ++i) ASSERT_EQ(sizes[i], full) << i;
    EXPECT_GT(sizes.back(), 0);
    EXPECT_LE(sizes.back(), full);
    EXPECT_NEAR(MeasureToneHz(samples.data(), samples.size() / static_cast<size_t>(tc.channels), tc.channels, 44100),
                440.0, 5.0);
  }
}

// A text subtitle stream is decoded by its own codec (SubRip here) and
// encoded by the one asked for; the output's cues read back with their text,
// styling and times.
TEST_F(ConverterTest, TextSubtitlesAreDecodedByTheirOwnCodec) {
  const std::string srt = dir->Path("cues.srt");
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,250\nHello <i>world</i>\n\n"
                        "2\n00:00:02,000 --> 00:00:03,000\nSecond line\n\n";
  struct Case {
    const char* out;
    const char* codec;
    AVCodecID expected;
  };
  const Case cases[] = {
      {"cues.ass", "ass", AV_CODEC_ID_ASS},
      {"cues.mp4", "mov_text", AV_CODEC_ID_MOV_TEXT},
      {"cues.mkv", "", AV_CODEC_ID_ASS},  // Matroska's own choice
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.out);
    TAVConverter c;
    c.ConvertOptions().SubtitleOptions().SetSubtitleCodecName(tc.codec);
    const std::string out = dir->Path(tc.out);
    ASSERT_EQ(Convert(c, {srt}, {out}), "");
    // Read back with the output's own decoder.
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
    AVInputContextPtr ic(raw);
    ASSERT_GE(avformat_find_stream_info(ic.get(), nullptr), 0);
    ASSERT_EQ(ic->nb_streams, 1u);
    AVStream* st = ic->streams[0];
    EXPECT_EQ(st->codecpar->codec_id, tc.expected);
    AVCodecContextPtr dec(avcodec_alloc_context3(avcodec_find_decoder(st->codecpar->codec_id)));
    ASSERT_TRUE(dec);
    ASSERT_GE(avcodec_parameters_to_context(dec.get(), st->codecpar), 0);
    dec->pkt_timebase = st->time_base;
    ASSERT_GE(avcodec_open2(dec.get(), dec->codec, nullptr), 0);
    std::vector<std::pair<double, std::string>> cues;  // start, text
    AVPacketPtr pkt(av_packet_alloc());
    while (av_read_frame(ic.get(), pkt.get()) >= 0) {
      AVSubtitle sub{};
      int got = 0;
      if (avcodec_decode_subtitle2(dec.get(), &sub, &got, pkt.get()) >= 0 && got) {
        std::string text;
        for (unsigned r = 0; r < sub.num_rects; ++r)
          if (sub.rects[r]->ass) text += sub.rects[r]->ass;
        if (!text.empty()) cues.emplace_back(static_cast<double>(pkt->pts) * av_q2d(st->time_base), text);
        avsubtitle_free(&sub);
      }
      av_packet_unref(pkt.get());
    }
    ASSERT_EQ(cues.size(), 2u);
    EXPECT_NEAR(cues[0].first, 0.5, 0.02);
    EXPECT_NE(cues[0].second.find("Hello {\\i1}world"), std::string::npos) << cues[0].second;
    EXPECT_NEAR(cues[1].first, 2.0, 0.02);
    EXPECT_NE(cues[1].second.find("Second line"), std::string::npos) << cues[1].second;
  }
}

// An encoder that refuses to open ends the set-up in OnError with FFmpeg's
// reason; the slot is given back and the converter is ready again.
TEST_F(ConverterTest, AnEncoderThatRefusesToOpenReachesOnError) {
  struct Case {
    const char* name;
    std::function<void(TAVConvertOptions&)> setup;
    const char* reason;  // in FFmpeg's last error line
  };
  const Case cases[] = {
      {"picture size", [](TAVConvertOptions& o) { o.VideoOptions().SetVideoCodecName("h263"); },
       "picture size of 320x240 is not valid"},
      {"bit rate",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoDisable(true);
         o.AudioOptions().SetAudioCodecName("mp2");
         o.AudioOptions().SetBitrate(1000000);
       },
       "is not allowed in mp2"},
      {"option",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoCodecName("libx264");
         o.SetAdvancedOption("preset", "nosuch");
       },
       "Error setting preset/tune nosuch"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    tc.setup(c.ConvertOptions());
    TSemaphore sem(1);
    Outcome o;
    Watch(c, o);
    c.InputFiles().Add(clip);
    c.OutputFiles().Add(dir->Path("refused.mkv"));
    c.Convert(&sem);
    ASSERT_TRUE(WaitDone(c, o));
    EXPECT_EQ(o.error.rfind("Error while opening codec for output stream", 0), 0u) << o.error;
    EXPECT_NE(o.errorLog.find(tc.reason), std::string::npos) << o.errorLog;
    EXPECT_EQ(o.events, (std::vector<std::string>{"error", "complete"}));
    EXPECT_EQ(c.State(), csNone);
    EXPECT_EQ(sem.Count(), 1);
    EXPECT_LT(c.Progress(), 100);
    EXPECT_FALSE(std::filesystem::exists(dir->Path("refused.mkv"))) << "the set-up went on after the refusal";
  }
}

TEST_F(ConverterTest, VideoBufferEditsReachTheEncoder) {
  TAVConverter c;
  c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  c.ConvertOptions().VideoOptions().SetVideoQscale(2);
  c.SetVideoBufferEventInterval(0);  // counts as 1
  std::atomic<int> calls{0};
  c.OnVideoBuffer = [&](TComponent*, TAVBitmap& bmp, double, bool& modified) {
    ++calls;
    if (calls % 2 == 0) return;  // every other picture left alone
    // Paint the picture red, bytes R, G, B, A: its frame number cells
    // disappear, and a bitmap read as BGRA would come out blue.
    uint8_t* p = static_cast<uint8_t*>(bmp.Buffer());
    for (size_t i = 0, n = static_cast<size_t>(bmp.VideoWidth()) * bmp.VideoHeight(); i < n; ++i) {
      p[4 * i] = 255;
      p[4 * i + 1] = 0;
      p[4 * i + 2] = 0;
      p[4 * i + 3] = 255;
    }
    modified = true;
  };
  const std::string out = dir->Path("edited.mkv");
  ASSERT_EQ(Convert(c, {clip}, {out}), "");
  EXPECT_EQ(calls, 50);
  const DecodedVideo v = DecodeMedia(out).video.at(0);
  const auto& numbers = v.numbers;
  ASSERT_EQ(numbers.size(), 50u);
  EXPECT_EQ(numbers[0], -1);  // edited
  EXPECT_EQ(numbers[1], 1);   // untouched
  EXPECT_EQ(numbers[2], -1);
  // The edited pictures are red, within the codec's rounding.
  for (int i : {0, 2}) {
    const uint32_t rgb = v.centre_rgb.at(static_cast<size_t>(i));
    EXPECT_GT(static_cast<int>(rgb >> 16 & 0xFF), 220) << std::hex << rgb;
    EXPECT_LT(static_cast<int>(rgb >> 8 & 0xFF), 40) << std::hex << rgb;
    EXPECT_LT(static_cast<int>(rgb & 0xFF), 40) << std::hex << rgb;
  }
}

TEST_F(ConverterTest, TwoPassMpeg4WritesAndReadsItsStatistics) {
  const std::string out = dir->Path("twopass.avi");
  for (int pass : {1, 2}) {
    SCOPED_TRACE(pass);
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.ConvertOptions().VideoOptions().SetBitrate(300000);
    c.ConvertOptions().VideoOptions().SetPass(pass);
    c.ConvertOptions().AudioOptions().SetAudioDisable(true);
    ASSERT_EQ(Convert(c, {clip}, {out}), "");
    const std::string log = dir->Path("twopass-2pass-0.log");
    ASSERT_TRUE(std::filesystem::exists(log));
    EXPECT_GT(std::filesystem::file_size(log), 100u);  // the encoder's statistics
  }
  EXPECT_EQ(DecodeMedia(out).video.at(0).numbers.size(), 50u);
}

TEST_F(ConverterTest, TwoPassWithTheFirstPassToDevNull) {
  // The usual recipe: pass 1 to the null muxer on /dev/null, pass 2 to the
  // file. The log is named after the input then (or after PassLogFile), and
  // pass 2 finds it. The current folder is a test folder, so a log that
  // went to "ffmpeg2pass-0.log" stays inside it and shows.
  const std::string work = dir->Path("twopass-null");
  std::filesystem::create_directories(work);
  const std::string input = work + "/source.mp4";
  std::filesystem::copy_file(clip, input, std::filesystem::copy_options::overwrite_existing);
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(work);
  struct Restore {
    std::filesystem::path p;
    ~Restore() { std::filesystem::current_path(p); }
  } restore{before};
  struct Case {
    const char* name;
    std::string pass_log_file;
    std::string log;  // where the statistics are
  };
  const Case cases[] = {
      {"named after the input", "", work + "/source-2pass-0.log"},
      {"named by the application", work + "/shared", work + "/shared-0.log"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string out = work + "/" + std::string(k.pass_log_file.empty() ? "a" : "b") + ".avi";
    for (int pass : {1, 2}) {
      SCOPED_TRACE(pass);
      TAVConverter c;
      c.SetPassLogFile(k.pass_log_file);
      c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
      c.ConvertOptions().VideoOptions().SetBitrate(300000);
      c.ConvertOptions().VideoOptions().SetPass(pass);
      c.ConvertOptions().AudioOptions().SetAudioDisable(true);
      if (pass == 1) c.ConvertOptions().SetOutputFormat("null");
      ASSERT_EQ(Convert(c, {input}, {pass == 1 ? "/dev/null" : out}), "");
      ASSERT_TRUE(std::filesystem::exists(k.log));
      EXPECT_GT(std::filesystem::file_size(k.log), 100u);
    }
    EXPECT_EQ(DecodeMedia(out).video.at(0).numbers.size(), 50u);
    EXPECT_FALSE(std::filesystem::exists(work + "/ffmpeg2pass-0.log"));
    EXPECT_FALSE(std::filesystem::exists(work + "/a-2pass-0.log"));
  }
}

TEST_F(ConverterTest, AFreeOptionNothingTakesIsReported) {
  // "g" reaches the encoder silently; a name no encoder, muxer or demuxer
  // knows is said to be ignored, and the conversion goes on.
  const struct {
    const char* name;
    bool reported;
  } cases[] = {{"g", false}, {"no_such_option_here", true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    TAVConverter c;
    std::mutex lock;
    std::vector<std::string> lines;
    c.SetLogLevel(llInfo);
    c.OnLog = [&](TComponent*, int, const std::string& l) {
      std::lock_guard<std::mutex> g(lock);
      lines.push_back(l);
    };
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.ConvertOptions().AudioOptions().SetAudioDisable(true);
    c.ConvertOptions().SetAdvancedOption(k.name, "5");
    const std::string out = dir->Path(std::string("free-") + k.name + ".mkv");
    ASSERT_EQ(Convert(c, {clip}, {out}), "");
    EXPECT_EQ(DecodeMedia(out).video.at(0).numbers.size(), 50u);
    bool said = false;
    for (auto& l : lines)
      said = said || (l.find("Unrecognized option") != std::string::npos && l.find(k.name) != std::string::npos);
    EXPECT_EQ(said, k.reported);
  }
}

// Subtitle cues of the converted file, in milliseconds: start and duration.
std::vector<std::pair<int64_t, int64_t>> SubtitleCues(const std::string& path) {
  std::vector<std::pair<int64_t, int64_t>> cues;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) != 0) return cues;
  AVInputContextPtr hold(ic);
  avformat_find_stream_info(ic, nullptr);
  const int s = av_find_best_stream(ic, AVMEDIA_TYPE_SUBTITLE, -1, -1, nullptr, 0);
  if (s < 0) return cues;
  const AVRational tb = ic->streams[s]->time_base;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == s)
      cues.emplace_back(av_rescale_q(pkt->pts, tb, AVRational{1, 1000}),
                        av_rescale_q(pkt->duration, tb, AVRational{1, 1000}));
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  return cues;
}

TEST_F(ConverterTest, ASubtitleCueBeforeTheStartIsClippedToIt) {
  // Cues 0.2-0.8 s, 1.0-2.5 s and 3.0-4.0 s; the conversion starts at 1.5 s:
  // the first is gone, the second shows from the start for what is left of
  // it, the third keeps its length.
  const std::string srt = dir->Path("cues.srt");
  {
    std::ofstream f(srt, std::ios::binary);
    f << "1\n00:00:00,200 --> 00:00:00,800\nearly\n\n"
         "2\n00:00:01,000 --> 00:00:02,500\nacross\n\n"
         "3\n00:00:03,000 --> 00:00:04,000\nlater\n\n";
  }
  const std::vector<std::pair<int64_t, int64_t>> expected = {{0, 1000}, {1500, 1000}};
  struct Case {
    const char* out;
    int64_t start;
    std::vector<std::pair<int64_t, int64_t>> cues;
  };
  const Case cases[] = {
      {"cues.mkv", 1500000, expected},
      {"cues-out.srt", 1500000, expected},
      // No cue lies across the start: nothing is clipped.
      {"cues-late.mkv", 2700000, {{300, 1000}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.out);
    TAVConverter c;
    c.ConvertOptions().SetStartTime(k.start);
    const std::string out = dir->Path(k.out);
    ASSERT_EQ(Convert(c, {srt}, {out}), "");
    EXPECT_EQ(SubtitleCues(out), k.cues);
  }
}

TEST_F(ConverterTest, EachEncoderGetsItsOwnBitrate) {
  TAVConverter c;
  auto& o = c.ConvertOptions();
  o.VideoOptions().SetVideoCodecName("mpeg2video");
  o.VideoOptions().SetBitrate(4000000);
  o.SetAdvancedOption("maxrate", "5000000");
  o.SetAdvancedOption("bufsize", "1835008");
  o.AudioOptions().SetAudioCodecName("mp2");
  o.AudioOptions().SetBitrate(128000);
  const std::string out = dir->Path("rates.mpg");
  ASSERT_EQ(Convert(c, {clip}, {out}), "");
  // Nothing derived is written back into the application's options.
  EXPECT_EQ(o.OutputOptions().Count(), 2);
  AVFormatContext* ic = nullptr;
  ASSERT_EQ(avformat_open_input(&ic, out.c_str(), nullptr, nullptr), 0);
  AVInputContextPtr hold(ic);
  avformat_find_stream_info(ic, nullptr);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      EXPECT_EQ(ic->streams[i]->codecpar->bit_rate, 128000);
    }
  }
}

// Slows a conversion to about 10 ms a picture (a run of 50 pictures lasts
// half a second) and records each progress figure it reports.
struct ProgressLog {
  std::mutex lock;
  std::vector<int> seen;
  void Watch(TAVConverter& c) {
    c.OnProgress = [this](TComponent* s) {
      std::lock_guard<std::mutex> g(lock);
      seen.push_back(static_cast<TAVConverter*>(s)->Progress());
    };
    c.SetVideoBufferEventInterval(1);
    c.OnVideoBuffer = [](TComponent*, TAVBitmap&, double, bool&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
  }
  std::vector<int> Seen() {
    std::lock_guard<std::mutex> g(lock);
    return seen;
  }
};

TEST_F(ConverterTest, SeveralInputsMapsAndAComplexGraph) {
  // Picture from the first input, second sound track of the second.
  {
    TAVConverter c;
    c.ConvertOptions().StreamMaps().Add("0:v");
    c.ConvertOptions().StreamMaps().Add("1:a:1");
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    const std::string out = dir->Path("mapped.mkv");
    ASSERT_EQ(Convert(c, {clip, small}, {out}), "");
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.video.size(), 1u);
    EXPECT_EQ(m.video[0].widths.front(), 320);
    ASSERT_EQ(m.audio.size(), 1u);
    EXPECT_NEAR(MeasureToneHz(m.audio[0].samples.data(), m.audio[0].Frames(), m.audio[0].channels,
                              m.audio[0].sample_rate),
                880.0, 8.0);
  }
  // Two pictures side by side from two inputs. The progress follows the
  // graph's inputs through the run and ends at the length converted.
  {
    TAVConverter c;
    c.ConvertOptions().FilterOptions().ComplexFilters().Add("[0:v]scale=160:120[l];[l][1:v]hstack");
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.ConvertOptions().AudioOptions().SetAudioDisable(true);
    ProgressLog log;
    log.Watch(c);
    const std::string out = dir->Path("stacked.mkv");
    ASSERT_EQ(Convert(c, {clip, small}, {out}), "");
    EXPECT_NEAR(c.ConvertedDuration(), 2.0, 0.1);
    {
      const std::vector<int> seen = log.Seen();
      ASSERT_GE(seen.size(), 3u);
      EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
      int between = 0;
      for (int p : seen) between += (p > 5 && p < 95) ? 1 : 0;
      EXPECT_GE(between, 2) << "progress jumped";
    }
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.video.size(), 1u);
    EXPECT_EQ(m.video[0].widths.front(), 320);
    EXPECT_EQ(m.video[0].heights.front(), 120);
    EXPECT_NEAR(static_cast<double>(m.video[0].numbers.size()), 50, 1);
  }
  // Two inputs one after the other: the output is as long as both, and the
  // progress does not reach its end when the first input is done.
  {
    TAVConverter c;
    c.ConvertOptions().FilterOptions().ComplexFilters().Add("[1:v]scale=320:240[b];[0:v][b]concat=n=2:v=1:a=0");
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.ConvertOptions().AudioOptions().SetAudioDisable(true);
    ProgressLog log;
    log.Watch(c);
    const std::string out = dir->Path("concatenated.mkv");
    ASSERT_EQ(Convert(c, {clip, small}, {out}), "");
    EXPECT_NEAR(c.ConvertedDuration(), 4.0, 0.1);
    EXPECT_EQ(DecodeMedia(out).video.at(0).numbers.size(), 100u);
    const std::vector<int> seen = log.Seen();
    ASSERT_GE(seen.size(), 5u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 100);
    int nearly = 0;  // events that read almost done before the end
    for (size_t i = 0; i + 1 < seen.size(); ++i) nearly += seen[i] >= 95 ? 1 : 0;
    EXPECT_LE(nearly, 2) << "progress ran ahead of the work";
  }
}

// Complex graph outputs reach the output files: unlabelled ones go to the
// first file only, a "[label]" map takes a labelled one into the first file
// that can take it (one whose video does not already come from the graph),
// and the stream maps keep their order within a file.
TEST_F(ConverterTest, ComplexGraphOutputsGoToTheFilesThatTakeThem) {
  struct Size {
    int width, height;
  };
  struct FileCheck {
    std::vector<Size> video;  // in stream order, 50 pictures each
    size_t audio;
  };
  struct Case {
    const char* name;
    const char* graph;
    std::vector<std::string> maps;
    std::vector<FileCheck> files;
  };
  const Case cases[] = {
      {"unlabelled to the first file, labelled to the second", "split=2[a][big];[a]scale=160:120", {"[big]"},
       {{{{160, 120}}, 0}, {{{320, 240}}, 0}}},
      {"two labels in one file, in map order", "split=2[a][b];[a]scale=160:120[small]", {"[small]", "[b]"},
       {{{{160, 120}, {320, 240}}, 0}}},
      {"a label beside an input stream", "[0:v]scale=160:120[v]", {"0:a", "[v]"}, {{{{160, 120}}, 1}}},
      // Without maps the second file selects its own streams from the input.
      {"unlabelled to the first file only", "[0:v]scale=160:120", {}, {{{{160, 120}}, 1}, {{{320, 240}}, 1}}},
  };
  int n = 0;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    c.ConvertOptions().FilterOptions().ComplexFilters().Add(tc.graph);
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    for (const std::string& m : tc.maps) c.ConvertOptions().StreamMaps().Add(m);
    std::vector<std::string> outs;
    for (size_t i = 0; i < tc.files.size(); ++i)
      outs.push_back(dir->Path("graph" + std::to_string(n) + "_" + std::to_string(i) + ".mkv"));
    ++n;
    ASSERT_EQ(Convert(c, {clip}, outs), "");
    for (size_t i = 0; i < tc.files.size(); ++i) {
      SCOPED_TRACE(i);
      const DecodedMedia m = DecodeMedia(outs[i]);
      const FileCheck& want = tc.files[i];
      ASSERT_EQ(m.video.size(), want.video.size());
      for (size_t k = 0; k < want.video.size(); ++k) {
        EXPECT_EQ(m.video[k].widths.front(), want.video[k].width);
        EXPECT_EQ(m.video[k].heights.front(), want.video[k].height);
        EXPECT_EQ(m.video[k].numbers.size(), 50u);
        EXPECT_EQ(m.video[k].numbers.back(), 49);
      }
      EXPECT_EQ(m.audio.size(), want.audio);
    }
  }
}

// A labelled graph output that no map takes, or a map naming no graph output,
// fails before any output file is made: OnError names the label, and there is
// no file that could pass for a result.
TEST_F(ConverterTest, GraphOutputsAndLabelMapsThatDoNotMeetFail) {
  struct Case {
    const char* name;
    const char* graph;
    std::vector<std::string> maps;
    std::string expected;
  };
  const Case cases[] = {
      {"labelled output left over", "split=2[a][big];[a]scale=160:120", {},
       "Filter output big is not connected to any output stream"},
      {"labelled output left over beside maps", "[0:v]split=2[v][rest]", {"[v]", "0:a"},
       "Filter output rest is not connected to any output stream"},
      {"map names no graph output", "[0:v]scale=160:120[v]", {"[v]", "[nosuch]"},
       "Stream map '[nosuch]' matches no filter graph output."},
      {"map without its closing bracket", "[0:v]scale=160:120[v]", {"[v"}, "Invalid stream specifier: [v"},
  };
  int n = 0;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    c.ConvertOptions().FilterOptions().ComplexFilters().Add(tc.graph);
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    for (const std::string& m : tc.maps) c.ConvertOptions().StreamMaps().Add(m);
    const std::string a = dir->Path("unmet" + std::to_string(n) + "_a.mkv");
    const std::string b = dir->Path("unmet" + std::to_string(n) + "_b.mkv");
    ++n;
    Outcome o;
    EXPECT_EQ(Convert(c, {clip}, {a, b}, &o), tc.expected);
    EXPECT_EQ(o.events, (std::vector<std::string>{"error", "complete"}));
    EXPECT_LT(c.Progress(), 100);
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_FALSE(std::filesystem::exists(b));
  }
}


TEST_F(ConverterTest, ResolutionChangeRebuildsTheGraphWithoutLosingPictures) {
  MediaSpec s;
  s.container = "matroska";
  s.video_codec = AV_CODEC_ID_MPEG4;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.resize_at_frame = 25;
  s.width2 = 160;
  s.height2 = 120;
  const std::string in = MakeMedia(dir->Path("resize_in.mkv"), s);
  // "reverse" holds every picture until its graph ends: the pictures before
  // the size change come out only if the old graph is drained before the
  // new one is built.
  for (const char* filters : {"", "reverse"}) {
    SCOPED_TRACE(filters);
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.ConvertOptions().FilterOptions().SetVideoFilters(filters);
    const std::string out = dir->Path(std::string("resize_out") + filters + ".mkv");
    ASSERT_EQ(Convert(c, {in}, {out}), "");
    const DecodedVideo v = DecodeMedia(out).video.at(0);
    ASSERT_EQ(v.numbers.size(), 50u);
    for (size_t i = 0; i < v.numbers.size(); ++i) {
      const int n = static_cast<int>(i);
      const int want = *filters ? (n < 25 ? 24 - n : 74 - n) : n;
      EXPECT_EQ(v.numbers[i], want) << "picture " << i;
      EXPECT_EQ(v.widths[i], 320);  // the encoder keeps its size
    }
  }
}

TEST_F(ConverterTest, OutputsLimitsAndStatistics) {
  // A folder that does not exist yet is made for a plain path.
  {
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoStreamCopy(true);
    c.ConvertOptions().AudioOptions().SetAudioDisable(true);
    std::atomic<int> stats{0};
    std::atomic<bool> sane{true};
    c.OnVideoStats = [&](TComponent*, int w, int h, double rate, double avg, int, double elapse) {
      ++stats;
      if (w != 320 || h != 240 || !std::isfinite(rate) || !std::isfinite(avg) || elapse <= 0) sane = false;
    };
    const std::string out = dir->Path("new/sub/dir/copy.mkv");
    ASSERT_EQ(Convert(c, {clip}, {out}), "");
    EXPECT_EQ(stats, 50);
    EXPECT_TRUE(sane);
    EXPECT_EQ(DecodeMedia(out).video.at(0).numbers.size(), 50u);
  }
  // A size limit ends each file early, each at its own size: MPEG-TS spends
  // more bytes a picture than Matroska, so it is full first and the Matroska
  // file goes on. Both stay complete and near the limit.
  {
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.ConvertOptions().VideoOptions().SetVideoQscale(2);
    c.ConvertOptions().AudioOptions().SetAudioDisable(true);
    const int64_t limit = 60000;
    c.ConvertOptions().SetLimitFileSize(limit);
    const std::string ts = dir->Path("limited.ts");
    const std::string mkv = dir->Path("limited.mkv");
    ASSERT_EQ(Convert(c, {clip}, {ts, mkv}), "");
    const auto n_ts = DecodeMedia(ts).video.at(0).numbers.size();
    const auto n_mkv = DecodeMedia(mkv).video.at(0).numbers.size();
    EXPECT_GT(n_ts, 0u);
    EXPECT_LT(n_mkv, 50u);
    EXPECT_GT(n_mkv, n_ts);
    for (const std::string& f : {ts, mkv}) {
      SCOPED_TRACE(f);
      EXPECT_GE(static_cast<int64_t>(std::filesystem::file_size(f)), limit * 8 / 10);
      EXPECT_LT(static_cast<int64_t>(std::filesystem::file_size(f)), limit * 14 / 10);
    }
  }
  // A truncated input converts what could be read and says so.
  {
    MediaSpec s;
    s.container = "matroska";
    s.video_codec = AV_CODEC_ID_MPEG4;
    s.audio_codec = AV_CODEC_ID_MP2;
    const std::string full = MakeMedia(dir->Path("full.mkv"), s);
    const std::string cut = dir->Path("cut.mkv");
    std::filesystem::copy_file(full, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(full) / 2);
    TAVConverter c;
    std::mutex lock;
    std::vector<std::string> lines;
    c.OnLog = [&](TComponent*, int, const std::string& l) {
      std::lock_guard<std::mutex> g(lock);
      lines.push_back(l);
    };
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    const std::string out = dir->Path("from_cut.mkv");
    ASSERT_EQ(Convert(c, {cut}, {out}), "");
    const auto n = DecodeMedia(out).video.at(0).numbers.size();
    EXPECT_GT(n, 5u);
    EXPECT_LT(n, 45u);
    bool said = false;
    for (auto& l : lines) said = said || l.find("input ended early") != std::string::npos;
    EXPECT_TRUE(said);
  }
}

// A read error mid-input (the server closes before the length it announced)
// ends in OnError, yet the output holds what was read and has its trailer (an
// MP4 without one cannot be opened). The same part served as a complete
// (chunked) reply is a clean end of input: no error.
TEST_F(ConverterTest, AReadErrorEndsInOnErrorAfterTheTrailer) {
  MediaSpec s;
  s.container = "mpegts";
  s.video_codec = AV_CODEC_ID_MPEG4;
  s.audio_codec = AV_CODEC_ID_MP2;
  std::string bytes;
  {
    std::ifstream f(MakeMedia(dir->Path("served.ts"), s), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  for (const bool announced : {true, false}) {
    SCOPED_TRACE(announced ? "cut short" : "clean end");
    CutHttpServer server(bytes, bytes.size() / 2, announced);
    ASSERT_FALSE(server.Url("clip.ts").empty());
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    Outcome o;
    const std::string out = dir->Path(announced ? "read_error.mp4" : "clean_end.mp4");
    const std::string error = Convert(c, {server.Url("clip.ts")}, {out}, &o);
    if (announced) {
      EXPECT_EQ(error.rfind("Error reading input file http://127.0.0.1:", 0), 0u) << error;
      EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
      EXPECT_EQ(o.events, (std::vector<std::string>{"error", "complete"}));
      EXPECT_LT(c.Progress(), 100);
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(o.events, (std::vector<std::string>{"complete"}));
      EXPECT_EQ(c.Progress(), 100);
    }
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.video.size(), 1u);
    const auto& n = m.video[0].numbers;
    EXPECT_GT(n.size(), 10u);
    EXPECT_LT(n.size(), 45u);
    ASSERT_FALSE(n.empty());
    EXPECT_EQ(n.front(), 0);
    for (size_t i = 1; i < n.size(); ++i) EXPECT_EQ(n[i], n[i - 1] + 1) << i;
    EXPECT_EQ(m.audio.size(), 1u);
  }
}

// A second input that has gone silent does not hold up the end of a job that
// takes nothing more from it: its reader is woken when the loop ends.
TEST_F(ConverterTest, ASilentSecondInputDoesNotHoldUpTheEnd) {
  // A few pictures, all but the last bytes sent: the reader has read what
  // came (far less than its queue holds) and waits in a read for the rest.
  MediaSpec s;
  s.container = "matroska";
  s.video_codec = AV_CODEC_ID_MPEG4;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 6;
  std::string bytes;
  {
    std::ifstream f(MakeMedia(dir->Path("silent.mkv"), s), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  CutHttpServer server(bytes, bytes.size() - 16, false, true);
  ASSERT_FALSE(server.Url("silent.mkv").empty());
  TAVConverter c;
  Outcome o;
  Watch(c, o);
  c.ConvertOptions().VideoOptions().SetVideoStreamCopy(true);
  c.ConvertOptions().AudioOptions().SetAudioStreamCopy(true);
  c.ConvertOptions().StreamMaps().Add("0:v");
  c.ConvertOptions().StreamMaps().Add("0:a");
  c.InputFiles().Add(clip);
  c.InputFiles().Add(server.Url("silent.mkv"));
  const std::string out = dir->Path("first_only.mkv");
  c.OutputFiles().Add(out);
  c.Convert();
  const bool ended = c.WaitFor(20000);
  if (!ended) c.Stop();  // lets the test end either way
  ASSERT_TRUE(ended) << "the end waited for the silent input";
  ASSERT_TRUE(WaitDone(c, o));
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.events, (std::vector<std::string>{"complete"}));
  EXPECT_EQ(DecodeMedia(out).video.at(0).numbers.size(), 50u);
}

TEST_F(ConverterTest, OnCompleteMayDestroyTheConverterOrStartAgain) {
  std::atomic<int> runs{0};
  std::atomic<bool> done{false};
  auto* c = new TAVConverter();
  c->ConvertOptions().SetSynchronous(true);
  c->ConvertOptions().VideoOptions().SetVideoStreamCopy(true);
  c->ConvertOptions().AudioOptions().SetAudioStreamCopy(true);
  c->InputFiles().Add(clip);
  c->OutputFiles().Add(dir->Path("again.mkv"));
  c->OnComplete = [&](TComponent* sender) {
    auto* self = static_cast<TAVConverter*>(sender);
    if (++runs == 1) {
      self->Convert();  // the next run starts from the handler
    } else {
      delete self;  // and the second one destroys its converter
      done = true;
    }
  };
  c->Convert();
  for (int i = 0; i < 6000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(done);
  EXPECT_EQ(runs, 2);
}

// A converter destroyed while its worker is stuck writing to a peer that takes
// nothing ends within seconds: the destructor aborts the writes before it
// waits for the worker. The abandoned run raises no error.
TEST_F(ConverterTest, DestroyingAConverterMidRunLeavesAPlayableFile) {
  // An application that closes its window while a conversion runs keeps
  // what was converted: the destructor stops the run and lets it write the
  // trailer (an MP4 without one cannot be opened at all).
  auto c = std::make_unique<TAVConverter>();
  c->ConvertOptions().SetSynchronous(true);
  c->ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  std::atomic<int> steps{0};
  c->OnProgress = [&steps](TComponent*) { ++steps; };
  c->OnAudioBuffer = [](TComponent*, void*, int) { std::this_thread::sleep_for(std::chrono::milliseconds(8)); };
  const std::string out = dir->Path("destroyed.mp4");
  c->InputFiles().Add(clip);
  c->OutputFiles().Add(out);
  c->Convert();
  for (int i = 0; i < 1000 && steps < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(steps.load(), 2);
  c.reset();
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_GT(m.video[0].numbers.size(), 0u);
  EXPECT_LT(m.video[0].numbers.size(), 50u);
  EXPECT_EQ(m.video[0].numbers.front(), 0);
}

// A stop while an input that never answers is being opened is a stop: the
// open is interrupted, OnStopped then OnComplete, no error and no file.
TEST_F(ConverterTest, AStopWhileOpeningIsAStop) {
  StalledTcpServer server;
  ASSERT_FALSE(server.Url().empty());
  TAVConverter c;
  Outcome o;
  Watch(c, o);
  const std::string out = dir->Path("never_opened.mkv");
  c.InputFiles().Add(server.Url());
  c.OutputFiles().Add(out);
  c.Convert();
  for (int i = 0; i < 1000 && server.Accepted() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server.Accepted(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(c.State(), csRunning);
  c.Stop();
  ASSERT_TRUE(WaitDone(c, o));
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.events, (std::vector<std::string>{"stopped", "complete"}));
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(ConverterTest, DestroyingTheConverterEndsAStalledWrite) {
  StalledTcpServer server;
  ASSERT_FALSE(server.Url().empty());
  auto c = std::make_unique<TAVConverter>();
  c->ConvertOptions().SetSynchronous(true);
  c->ConvertOptions().SetOutputFormat("nut");
  // Raw pictures of about 115 kB each: far more than the peer's buffers hold.
  c->ConvertOptions().VideoOptions().SetVideoCodecName("rawvideo");
  c->ConvertOptions().AudioOptions().SetAudioDisable(true);
  std::atomic<int> errors{0};
  c->OnError = [&errors](TComponent*, const std::string&, const std::string&, bool& handled) {
    ++errors;
    handled = true;
  };
  c->InputFiles().Add(clip);
  c->OutputFiles().Add(server.Url());
  c->Convert();
  for (int i = 0; i < 1000 && server.Accepted() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server.Accepted(), 1);
  // Give the writes time to fill the buffers: the run is still going, stuck
  // well before the end of the clip.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(c->State(), csRunning);
  EXPECT_LT(c->ConvertedDuration(), 1.0);

  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    c.reset();
    destroyed = true;
  });
  for (int i = 0; i < 1000 && !destroyed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool inTime = destroyed;
  server.Release();  // frees a worker the destructor could not end, so the test ends either way
  destroyer.join();
  EXPECT_TRUE(inTime) << "the destructor waited on a stalled write for over 10 s";
  EXPECT_EQ(errors, 0);
}


TEST_F(ConverterTest, OtherContainersAndStreamKinds) {
  struct Case {
    const char* name;
    std::function<void(MediaSpec&)> make;
    const char* out;
    std::function<void(TAVConvertOptions&)> setup;
    std::function<void(const DecodedMedia&)> check;
  };
  const Case cases[] = {
      {"mpeg-ts to mp4 defaults",
       [](MediaSpec& s) {
         s.container = "mpegts";
         s.video_codec = AV_CODEC_ID_MPEG2VIDEO;
         s.audio_codec = AV_CODEC_ID_MP2;
       },
       "ts.mp4", nullptr,
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_NEAR(static_cast<double>(m.video[0].numbers.size()), 50, 1);
         EXPECT_EQ(m.audio.size(), 1u);
       }},
      {"sound only to wav",
       [](MediaSpec& s) {
         s.container = "mp3";
         s.video_codec = AV_CODEC_ID_NONE;
         s.audio_codec = AV_CODEC_ID_MP3;
       },
       "sound.wav", nullptr,
       [](const DecodedMedia& m) {
         EXPECT_TRUE(m.video.empty());
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_NEAR(MeasureToneHz(m.audio[0].samples.data(), m.audio[0].Frames(), m.audio[0].channels,
                                   m.audio[0].sample_rate),
                     440.0, 5.0);
       }},
      {"bitmap subtitles copied",
       [](MediaSpec& s) {
         s.container = "matroska";
         s.subtitles = true;
       },
       "subs.mkv",
       [](TAVConvertOptions& o) {
         o.VideoOptions().SetVideoStreamCopy(true);
         o.AudioOptions().SetAudioStreamCopy(true);
         o.SubtitleOptions().SetSubtitleCodecName("copy");
       },
       [](const DecodedMedia& m) {
         EXPECT_EQ(m.video.size(), 1u);
         EXPECT_GE(m.subtitles.size(), 3u);
       }},
      {"picture and sound to mp3 is sound only",
       [](MediaSpec& s) { s.container = "mp4"; },
       "sound_only.mp3", nullptr,
       [](const DecodedMedia& m) {
         // The muxer's video codec is for covers: a moving picture is not one.
         EXPECT_TRUE(m.video.empty());
         EXPECT_TRUE(m.attached_pictures.empty());
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_NEAR(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 2.0, 0.1);
       }},
      {"cover picture goes to an mp3",
       [](MediaSpec& s) {
         s.container = "matroska";
         s.video_codec = AV_CODEC_ID_NONE;
         s.audio_codec = AV_CODEC_ID_MP2;
         s.cover_picture = true;
         s.cover_number = 9;
       },
       "cover.mp3", nullptr,
       [](const DecodedMedia& m) {
         EXPECT_TRUE(m.video.empty());
         ASSERT_EQ(m.attached_pictures.size(), 1u);
         ASSERT_EQ(m.attached_pictures[0].numbers.size(), 1u);
         EXPECT_EQ(m.attached_pictures[0].numbers[0], 9);
         EXPECT_EQ(m.audio.size(), 1u);
       }},
      {"cover picture is not the video",
       [](MediaSpec& s) {
         s.container = "matroska";
         s.video_codec = AV_CODEC_ID_NONE;
         s.audio_codec = AV_CODEC_ID_MP2;
         s.cover_picture = true;
       },
       "cover.mkv", nullptr,
       [](const DecodedMedia& m) {
         EXPECT_TRUE(m.video.empty());
         EXPECT_EQ(m.audio.size(), 1u);
       }},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    MediaSpec spec;
    tc.make(spec);
    const std::string in = MakeMedia(dir->Path(std::string("other_") + tc.out + ".in"), spec);
    TAVConverter c;
    if (tc.setup) tc.setup(c.ConvertOptions());
    const std::string out = dir->Path(tc.out);
    ASSERT_EQ(Convert(c, {in}, {out}), "");
    tc.check(DecodeMedia(out));
  }
}

// A forced raw demuxer is told the output's picture size and pixel format
// only when the application gave none for the input: the input's own options
// describe the bytes, and the scaler makes the output's size and format.
TEST_F(ConverterTest, InputOptionsOfARawInputWinOverTheOutputsPicture) {
  constexpr int W = 320, H = 240, N = 25;
  const std::string raw = dir->Path("pictures.rgba");
  {
    std::vector<uint8_t> rgba(static_cast<size_t>(W) * H * 4);
    std::ofstream f(raw, std::ios::binary);
    for (int n = 0; n < N; ++n) {
      DrawTestPicture(rgba.data(), W, H, W * 4, n);
      f.write(reinterpret_cast<const char*>(rgba.data()), static_cast<std::streamsize>(rgba.size()));
    }
  }
  struct Case {
    const char* name;
    std::function<void(TAVConvertOptions&)> setup;
    int width, height;
  };
  const Case cases[] = {
      {"output size", [](TAVConvertOptions& o) {
         o.VideoOptions().SetFrameWidth(160);
         o.VideoOptions().SetFrameHeight(120);
       }, 160, 120},
      {"output pixel format", [](TAVConvertOptions& o) {
         o.VideoOptions().SetFramePixFormat(AV_PIX_FMT_YUV420P);
       }, W, H},
      {"both", [](TAVConvertOptions& o) {
         o.VideoOptions().SetFrameWidth(160);
         o.VideoOptions().SetFrameHeight(120);
         o.VideoOptions().SetFramePixFormat(AV_PIX_FMT_YUV420P);
       }, 160, 120},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    TAVConvertOptions& o = c.ConvertOptions();
    TStringList formats;
    formats.Add("rawvideo");
    o.SetInputFormats(formats);
    o.SetInputOption("video_size", "320x240");
    o.SetInputOption("pixel_format", "rgba");
    o.SetInputOption("framerate", "25");
    o.VideoOptions().SetVideoCodecName("mpeg4");
    tc.setup(o);
    const std::string out = dir->Path(std::string("from_raw_") + std::to_string(&tc - cases) + ".mkv");
    ASSERT_EQ(Convert(c, {raw}, {out}), "");
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.video.size(), 1u);
    const DecodedVideo& v = m.video[0];
    EXPECT_EQ(v.numbers.size(), static_cast<size_t>(N));
    if (v.numbers.size() != static_cast<size_t>(N)) continue;
    for (int n = 0; n < N; ++n) {
      EXPECT_EQ(v.numbers[static_cast<size_t>(n)], n) << n;
      EXPECT_EQ(v.widths[static_cast<size_t>(n)], tc.width) << n;
      EXPECT_EQ(v.heights[static_cast<size_t>(n)], tc.height) << n;
    }
  }
}

// The input-side options that choose what is read and when it lies on the
// output's timeline, each read back from the output.
TEST_F(ConverterTest, InputSelectionAndTimingOptionsShapeTheOutput) {
  // An MPEG-TS file with two programs: 1 holds the pictures and a 440 Hz
  // tone, 2 an 880 Hz tone alone.
  MediaSpec ts;
  ts.container = "mpegts";
  ts.video_codec = AV_CODEC_ID_MPEG4;
  ts.audio_codec = AV_CODEC_ID_MP2;
  ts.tones = {440.0, 880.0};
  ts.ts_programs = {{0, 1}, {2}};
  const std::string programs = MakeMedia(dir->Path("programs.ts"), ts);

  // Raw grey pictures whose two fields were taken at different moments: a
  // bar moving right 8 pixels a field, so the rows of a frame alternate
  // between two bar positions (combing).
  constexpr int W = 64, H = 64, N = 6;
  const std::string combed = dir->Path("combed.gray");
  {
    std::ofstream f(combed, std::ios::binary);
    std::vector<uint8_t> pic(static_cast<size_t>(W) * H);
    for (int n = 0; n < N; ++n) {
      for (int y = 0; y < H; ++y) {
        const int bar = 8 * (2 * n + (y & 1));
        for (int x = 0; x < W; ++x) pic[static_cast<size_t>(y) * W + x] = (x >= bar && x < bar + 16) ? 235 : 16;
      }
      f.write(reinterpret_cast<const char*>(pic.data()), static_cast<std::streamsize>(pic.size()));
    }
  }
  // Mean difference between the rows of each field pair of the first picture.
  auto comb = [](const DecodedVideo& v) {
    double sum = 0;
    const int w = v.first_width, h = w ? static_cast<int>(v.first_luma.size()) / w : 0;
    for (int y = 0; y + 1 < h; y += 2)
      for (int x = 0; x < w; ++x)
        sum += std::abs(v.first_luma[static_cast<size_t>(y) * w + x] - v.first_luma[static_cast<size_t>(y + 1) * w + x]);
    return h ? sum / (w * (h / 2)) : -1.0;
  };
  auto raw_grey = [](TAVConvertOptions& o) {
    TStringList formats;
    formats.Add("rawvideo");
    o.SetInputFormats(formats);
    o.SetInputOption("video_size", "64x64");
    o.SetInputOption("pixel_format", "gray");
    o.SetInputOption("framerate", "25");
    o.VideoOptions().SetVideoCodecName("mpeg4");
    o.VideoOptions().SetVideoQscale(2);
  };
  static TTSScale doubled;  // the options keep a pointer to it
  doubled.SetStreamIndex(0);
  doubled.SetScale(2.0);

  struct Case {
    const char* name;
    std::string in;
    std::function<void(TAVConvertOptions&)> setup;
    std::function<void(const DecodedMedia&)> check;
    std::string error;  // expected error prefix, empty for success
  };
  const Case cases[] = {
      {"program 1", programs, [](TAVConvertOptions& o) {
         o.SetProgramID(1);
         o.VideoOptions().SetVideoStreamCopy(true);
         o.AudioOptions().SetAudioStreamCopy(true);
       },
       [](const DecodedMedia& m) {
         ASSERT_EQ(m.video.size(), 1u);
         EXPECT_EQ(m.video[0].numbers.size(), 50u);
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_NEAR(MeasureToneHz(m.audio[0].samples.data(), m.audio[0].Frames(), m.audio[0].channels,
                                   m.audio[0].sample_rate), 440.0, 5.0);
       }, ""},
      {"program 2", programs, [](TAVConvertOptions& o) {
         o.SetProgramID(2);
         o.AudioOptions().SetAudioStreamCopy(true);
       },
       [](const DecodedMedia& m) {
         EXPECT_TRUE(m.video.empty());
         ASSERT_EQ(m.audio.size(), 1u);
         EXPECT_NEAR(MeasureToneHz(m.audio[0].samples.data(), m.audio[0].Frames(), m.audio[0].channels,
                                   m.audio[0].sample_rate), 880.0, 5.0);
       }, ""},
      {"no such program", programs, [](TAVConvertOptions& o) { o.SetProgramID(3); }, nullptr,
       "Specified program id not found"},
      {"one map line, two streams", small, [](TAVConvertOptions& o) {
         o.StreamMaps().Add("0:a");
         o.AudioOptions().SetAudioStreamCopy(true);
       },
       [](const DecodedMedia& m) {
         EXPECT_TRUE(m.video.empty());
         ASSERT_EQ(m.audio.size(), 2u);
         for (size_t i = 0; i < 2; ++i)
           EXPECT_NEAR(MeasureToneHz(m.audio[i].samples.data(), m.audio[i].Frames(), m.audio[i].channels,
                                     m.audio[i].sample_rate), 440.0 * static_cast<double>(i + 1), 5.0);
       }, ""},
      {"without deinterlacing", combed, raw_grey,
       [&comb](const DecodedMedia& m) { EXPECT_GT(comb(m.video.at(0)), 30.0); }, ""},
      {"deinterlaced", combed, [&raw_grey](TAVConvertOptions& o) {
         raw_grey(o);
         o.VideoOptions().SetDeinterlace(true);
       },
       [&comb](const DecodedMedia& m) {
         EXPECT_EQ(m.video.at(0).numbers.size(), static_cast<size_t>(N));
         EXPECT_LT(comb(m.video.at(0)), 12.0);
       }, ""},
      {"timestamp offset", clip, [](TAVConvertOptions& o) {
         o.SetInputTSOffset(2000000);
         o.VideoOptions().SetVideoStreamCopy(true);
         o.AudioOptions().SetAudioDisable(true);
       },
       [](const DecodedMedia& m) {
         const DecodedVideo& v = m.video.at(0);
         ASSERT_EQ(v.times.size(), 50u);
         EXPECT_NEAR(*std::min_element(v.times.begin(), v.times.end()), 2.0, 0.1);
       }, ""},
      {"timestamp scale", clip, [](TAVConvertOptions& o) {
         o.InputTSScale().push_back(&doubled);
         o.VideoOptions().SetVideoStreamCopy(true);
         o.AudioOptions().SetAudioDisable(true);
       },
       [](const DecodedMedia& m) {
         const DecodedVideo& v = m.video.at(0);
         ASSERT_EQ(v.times.size(), 50u);
         const auto [lo, hi] = std::minmax_element(v.times.begin(), v.times.end());
         EXPECT_NEAR(*hi - *lo, 2 * 49 / 25.0, 0.05);
       }, ""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVConverter c;
    tc.setup(c.ConvertOptions());
    const std::string out = dir->Path(std::string("input_opts_") + std::to_string(&tc - cases) + ".mkv");
    const std::string error = Convert(c, {tc.in}, {out});
    if (!tc.error.empty()) {
      EXPECT_EQ(error.rfind(tc.error, 0), 0u) << error;
      EXPECT_FALSE(std::filesystem::exists(out));
      continue;
    }
    ASSERT_EQ(error, "");
    tc.check(DecodeMedia(out));
  }
}

// Damaged media converts what can be read or fails through OnError; it never
// crashes (the sanitizer builds run this too).
TEST_F(ConverterTest, DamagedInputsNeverCrash) {
  std::string bytes;
  {
    std::ifstream f(small, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  ASSERT_GT(bytes.size(), 1000u);
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int variant = 0; variant < 12; ++variant) {
    SCOPED_TRACE(variant);
    std::string damaged = bytes;
    if (variant % 3 == 2) {
      damaged.resize(next() % damaged.size());
    } else {
      const int flips = variant % 3 == 0 ? 20 : 400;
      for (int k = 0; k < flips; ++k) damaged[next() % damaged.size()] = static_cast<char>(next());
    }
    const std::string in = dir->Path("damaged" + std::to_string(variant) + ".mkv");
    std::ofstream(in, std::ios::binary) << damaged;
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    Outcome o;
    Convert(c, {in}, {dir->Path("from_damaged" + std::to_string(variant) + ".mkv")}, &o);
    EXPECT_EQ(o.events.back(), "complete");
  }
}

TEST_F(ConverterTest, ApplicationStreamsAreInputsAndOutputsLikeFiles) {
  // A memory copy of the clip in, a memory stream and a live stream out;
  // each output saved and read back gives the pictures and sound of the
  // same conversion between files.
  TAVConverter ref;
  ASSERT_EQ(Convert(ref, {clip}, {dir->Path("ref.mkv")}), "");
  const DecodedMedia want = DecodeMedia(dir->Path("ref.mkv"));
  ASSERT_EQ(want.video.size(), 1u);

  TMemoryStream in;
  in.LoadFromFile(clip);
  TMemoryStream out;
  TAVAsyncStream live;
  TAVConverter c;
  c.ConvertOptions().SetOutputFormat("matroska");  // nothing to guess from for the live one
  ASSERT_EQ(Convert(c, {StreamUrl(in, "mp4")}, {StreamUrl(out, "mkv")}), "");
  TAVConverter c2;
  c2.ConvertOptions().SetOutputFormat("matroska");
  ASSERT_EQ(Convert(c2, {StreamUrl(in)}, {StreamUrl(live)}), "");
  out.SaveToFile(dir->Path("out.mkv"));
  {
    const std::vector<uint8_t> bytes = live.CopyBytes();
    std::ofstream(dir->Path("live.mkv"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  for (const char* name : {"out.mkv", "live.mkv"}) {
    const DecodedMedia got = DecodeMedia(dir->Path(name));
    ASSERT_EQ(got.video.size(), 1u) << name;
    EXPECT_EQ(got.video[0].numbers, want.video[0].numbers) << name;
    ASSERT_EQ(got.audio.size(), 1u) << name;
    EXPECT_EQ(got.audio[0].Frames(), want.audio[0].Frames()) << name;
  }

  // One stream as the input and the output of one conversion: refused, and
  // the stream keeps its content.
  const int64_t size = in.Size();
  TAVConverter same;
  EXPECT_NE(Convert(same, {StreamUrl(in, "mp4")}, {StreamUrl(in, "mkv")}), "");
  EXPECT_EQ(in.Size(), size);
}

// A bitmap that a thread keeps redrawing is recorded live: the pictures come
// in the order they were drawn, at about the capture rate, with rising times.
TEST_F(ConverterTest, ARecordedBitmapBecomesAnMp4OfItsPictures) {
  TBitmap canvas(320, 240);
  auto draw = [&canvas](int n) {
    TBmpCaptureLock lock;
    TBitmapData d;
    if (!canvas.Map(TMapAccess::Write, d)) return;
    DrawTestPicture(d.Data, d.Width, d.Height, d.Pitch, n);
    canvas.Unmap(d);
  };
  draw(0);
  std::atomic<bool> stop{false};
  std::thread painter([&] {
    for (int n = 1; !stop; ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      draw(n);
    }
  });
  TAVConverter c;
  c.ConvertOptions().SetRateEmu(true);
  c.ConvertOptions().SetRecordingTime(2000000);
  c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  TStringList formats;
  formats.Add("bmpcap");
  c.ConvertOptions().SetInputFormats(formats);
  const std::string out = dir->Path("recorded.mp4");
  const std::string error = Convert(c, {BmpCaptureName(canvas)}, {out});
  stop = true;
  painter.join();
  ASSERT_EQ(error, "");
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  const DecodedVideo& v = m.video[0];
  // About 30 pictures a second for two seconds.
  EXPECT_GE(v.numbers.size(), 45u);
  EXPECT_LE(v.numbers.size(), 66u);
  int unreadable = 0;
  for (size_t i = 0; i < v.numbers.size(); ++i) {
    unreadable += v.numbers[i] < 0;
    if (i > 0) {
      EXPECT_GT(v.times[i], v.times[i - 1]) << i;
      if (v.numbers[i] >= 0 && v.numbers[i - 1] >= 0) {
        EXPECT_GE(v.numbers[i], v.numbers[i - 1]) << i;
      }
    }
  }
  EXPECT_EQ(unreadable, 0);
  EXPECT_GT(v.numbers.back(), v.numbers.front() + 20);
  EXPECT_EQ(v.widths.front(), 320);
  EXPECT_EQ(v.heights.front(), 240);
}

// What the container says about a file, read with libavformat alone: its
// duration, and per stream the time base, the frame rate, the first and last
// packet times and the number of packets and index entries.
struct ProbedStream {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVRational time_base{0, 1};
  AVRational avg_frame_rate{0, 1};
  int packets = 0;
  int index_entries = 0;
  double first = NAN, last_end = NAN;  // seconds
};
struct ProbedFile {
  double duration = NAN;
  std::vector<ProbedStream> streams;
};

ProbedFile Probe(const std::string& path) {
  ProbedFile r;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return r;
  if (avformat_find_stream_info(ic, nullptr) >= 0) {
    if (ic->duration != AV_NOPTS_VALUE) r.duration = static_cast<double>(ic->duration) / AV_TIME_BASE;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      ProbedStream ps;
      ps.type = ic->streams[i]->codecpar->codec_type;
      ps.time_base = ic->streams[i]->time_base;
      ps.avg_frame_rate = ic->streams[i]->avg_frame_rate;
      ps.index_entries = avformat_index_get_entries_count(ic->streams[i]);
      r.streams.push_back(ps);
    }
    AVPacket* pkt = av_packet_alloc();
    while (pkt && av_read_frame(ic, pkt) >= 0) {
      ProbedStream& ps = r.streams.at(static_cast<size_t>(pkt->stream_index));
      ++ps.packets;
      if (pkt->pts != AV_NOPTS_VALUE) {
        const double t = static_cast<double>(pkt->pts) * av_q2d(ps.time_base);
        const double end = t + static_cast<double>(pkt->duration) * av_q2d(ps.time_base);
        if (std::isnan(ps.first) || t < ps.first) ps.first = t;
        if (std::isnan(ps.last_end) || end > ps.last_end) ps.last_end = end;
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  avformat_close_input(&ic);
  return r;
}

const ProbedStream* FirstOfType(const ProbedFile& f, AVMediaType type) {
  for (const ProbedStream& s : f.streams)
    if (s.type == type) return &s;
  return nullptr;
}

// Stream copy from StartTime: the sound begins at the start, the pictures
// keep the key frame before it (at times before zero) so the first one
// shown is the one at the start, and the file lasts RecordingTime, not the
// lead-in from the key frame as well.
TEST_F(ConverterTest, StreamCopyKeepsTheFrameTimingContainersCountIn) {
  // AVI counts in frames: a copy must carry the frame rate (twice it, as
  // the command line writes), or the index fills with empty frames. Other
  // containers keep a time base that holds every input time.
  MediaSpec s;
  s.container = "mp4";
  s.frames = 75;
  const std::string in = MakeMedia(dir->Path("copy_tb_in.mp4"), s);
  const ProbedFile src = Probe(in);
  const ProbedStream* sv = FirstOfType(src, AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(sv, nullptr);
  for (const char* ext : {"avi", "mkv", "mov"}) {
    SCOPED_TRACE(ext);
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoStreamCopy(true);
    c.ConvertOptions().AudioOptions().SetAudioStreamCopy(true);
    const std::string out = dir->Path(std::string("copy_tb.") + ext);
    ASSERT_EQ(Convert(c, {in}, {out}), "");
    const ProbedFile p = Probe(out);
    const ProbedStream* v = FirstOfType(p, AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->packets, 75);
    EXPECT_NEAR(p.duration, 3.0, 0.15);  // the sound may run a frame longer
    if (std::string(ext) != "avi") {
      EXPECT_NEAR(av_q2d(v->avg_frame_rate), 25.0, 0.01);
    }
    if (std::string(ext) == "avi") {
      // Two ticks a frame, as the header of such a file says.

      EXPECT_EQ(av_cmp_q(v->time_base, AVRational{1, 50}), 0) << v->time_base.num << "/" << v->time_base.den;
      EXPECT_LE(v->index_entries, 80);
    }
  }
  DecodedMedia m = DecodeMedia(dir->Path("copy_tb.avi"));
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_EQ(m.video[0].numbers.size(), 75u);
}

TEST_F(ConverterTest, StreamCopyFromStartTimeLastsTheRecordingTime) {
  MediaSpec s;
  s.container = "matroska";
  s.frames = 75;
  s.gop = 50;  // key frames at 0 and 2 s: the start at 1.3 s falls between
  s.sample_rate = 48000;
  const std::string in = MakeMedia(dir->Path("copy_ss_in.mkv"), s);
  for (const char* ext : {"mkv", "mp4"}) {
    SCOPED_TRACE(ext);
    TAVConverter c;
    c.ConvertOptions().VideoOptions().SetVideoStreamCopy(true);
    c.ConvertOptions().AudioOptions().SetAudioStreamCopy(true);
    c.ConvertOptions().SetStartTime(1300000);
    c.ConvertOptions().SetRecordingTime(1000000);
    const std::string out = dir->Path(std::string("copy_ss.") + ext);
    ASSERT_EQ(Convert(c, {in}, {out}), "");
    const ProbedFile p = Probe(out);
    EXPECT_NEAR(p.duration, 1.0, 0.1);
    const ProbedStream* a = FirstOfType(p, AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(a->last_end - a->first, 1.0, 0.05);
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.audio.size(), 1u);
    EXPECT_NEAR(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 1.0, 0.05);
    ASSERT_EQ(m.video.size(), 1u);
    const DecodedVideo& v = m.video[0];
    ASSERT_FALSE(v.numbers.empty());
    EXPECT_LE(v.numbers.back(), 58);  // the source's 2.3 s
    EXPECT_GE(v.numbers.back(), 55);
    // The pictures a player shows, from time zero on, begin at the start.
    int shown = -1;
    for (size_t i = 0; i < v.numbers.size(); ++i)
      if (!std::isnan(v.times[i]) && v.times[i] >= -0.001) {
        shown = v.numbers[i];
        break;
      }
    EXPECT_NEAR(shown, 33, 1);
  }
}

}  // namespace
}  // namespace kivora::testing
