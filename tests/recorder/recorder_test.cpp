// The recorder on FFmpeg's virtual devices (a lavfi test picture and a sine
// tone stand in for the camera and the microphone): what it records, read
// back from the file, pause and resume, preview into a view and a texture
// source, its errors, and handlers that stop or destroy it, in both event
// modes (on the worker, and on the GUI thread whose event loop the test runs).
#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

extern "C" {
#include <libavutil/frame.h>
}

#include "kivora/platform/mainthread.h"
#include "kivora/presentation/materials.h"
#include "kivora/presentation/videoview.h"
#include "kivora/recorder/recorder.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

enum class Mode { Synchronous, Gui };

// A view that counts what reaches it, as a platform surface would draw it.
class CountingView : public TVideoView {
public:
  void DoVideoDisplay(AVFrame* f) override {
    ++pictures;
    lastFormat = f->format;
    lastWidth = f->width;
    lastHeight = f->height;
  }
  void SetViewSize(int w, int h) override {
    sizeWidth = w;
    sizeHeight = h;
  }
  std::atomic<int> pictures{0};
  int lastFormat = -1, lastWidth = 0, lastHeight = 0, sizeWidth = 0, sizeHeight = 0;
};

class RecorderTest : public ::testing::TestWithParam<Mode> {
protected:
  void SetUp() override { EnsureApp(); }

  // A recorder on the virtual devices: 25 pictures a second of 320x240 made
  // into 15 a second of 160x120, and a 440 Hz tone made into stereo 22050 Hz.
  void Setup(TAndroidRecorder& r, const std::string& out) {
    r.SetSynchronous(GetParam() == Mode::Synchronous);
    r.SetVideoInputFormat("lavfi");
    r.SetVideoDevice("testsrc2=size=320x240:rate=25");
    r.SetAudioInputFormat("lavfi");
    r.SetAudioDevice("sine=frequency=440:sample_rate=48000");
    r.SetWidth(160);
    r.SetHeight(120);
    r.SetFrameRate(15);
    r.SetSampleRate(22050);
    r.SetChannleConfig(STEREO);
    r.SetBitrate(300000);
    r.SetAudioBitrate(64000);
    r.SetOutputFile(out);
    r.OnError = [this](TComponent*, const std::string& e) { errors.push_back(e); };
    r.OnStopped = [this](TComponent*) { ++stopped; };
    r.OnFrameAvailable = [this](TComponent*) { ++frames; };
  }
  static bool Until(const std::function<bool()>& pred, int ms = 30000) { return PumpUntil(pred, ms); }

  TempDir dir;
  std::vector<std::string> errors;
  std::atomic<int> stopped{0};
  std::atomic<int> frames{0};
};

TEST(RecorderDefaults, PropertiesStartAtTheirDefaultsAndStoreWhatTheyAreGiven) {
  TAndroidRecorder r;
  EXPECT_EQ(r.Width(), 640);
  EXPECT_EQ(r.Height(), 480);
  EXPECT_EQ(r.Bitrate(), 1000000);
  EXPECT_EQ(r.AudioBitrate(), 128000);
  EXPECT_EQ(r.FrameRate(), 30);
  EXPECT_EQ(r.SampleRate(), 44100);
  EXPECT_EQ(r.AudioFormat(), PCM_16BIT);
  EXPECT_EQ(r.ChannleConfig(), MONO);
  EXPECT_EQ(r.OutputFile(), "");
  EXPECT_EQ(r.Texture(), nullptr);
  EXPECT_EQ(r.VideoView(), nullptr);
  EXPECT_FALSE(r.Recording());
  EXPECT_FALSE(r.Previewing());
  EXPECT_EQ(r.VideoInputFormat(), "v4l2");
  EXPECT_EQ(r.CameraDevice(0), "/dev/video0");
  EXPECT_EQ(r.CameraDevice(3), "/dev/video3");
  EXPECT_EQ(r.AudioInputFormat(), "pulse");
  EXPECT_EQ(r.AudioDevice(), "default");
  // Setters keep the value as given; StartRecord is where it is checked.
  r.SetWidth(-5);
  r.SetAudioFormat(PCM_8BIT);
  r.SetChannleConfig(STEREO);
  EXPECT_EQ(r.Width(), -5);
  EXPECT_EQ(r.AudioFormat(), PCM_8BIT);
  EXPECT_EQ(r.ChannleConfig(), STEREO);
}

// Two seconds recorded (the recording ends itself) hold the recorder's
// size, rate and sound, and the file plays from start to end.
TEST_P(RecorderTest, RecordsTheDevicesWithTheRecordersSettings) {
  TAndroidRecorder r;
  const std::string out = dir.Path("two.mp4");
  Setup(r, out);
  r.SetRecordTime(2000000);
  r.StartRecord(0);
  ASSERT_TRUE(errors.empty()) << errors[0];
  EXPECT_TRUE(r.Recording());
  ASSERT_TRUE(Until([&] { return stopped > 0; })) << "the recording did not end";
  EXPECT_FALSE(r.Recording());
  EXPECT_TRUE(errors.empty()) << errors[0];
  EXPECT_EQ(stopped, 1);
  EXPECT_EQ(frames, r.FrameCount());
  EXPECT_GE(r.FrameCount(), 25);

  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  ASSERT_EQ(m.audio.size(), 1u);
  const DecodedVideo& v = m.video[0];
  ASSERT_GE(v.widths.size(), 25u);
  EXPECT_EQ(v.widths.front(), 160);
  EXPECT_EQ(v.heights.front(), 120);
  const double span = v.times.back() - v.times.front();
  const double fps = (v.times.size() - 1) / span;
  EXPECT_NEAR(fps, 15.0, 0.5);
  EXPECT_NEAR(v.times.size() / 15.0, 2.0, 0.2);
  const DecodedAudio& a = m.audio[0];
  EXPECT_EQ(a.sample_rate, 22050);
  EXPECT_EQ(a.channels, 2);
  EXPECT_NEAR(static_cast<double>(a.Frames()) / a.sample_rate, 2.0, 0.2);
  EXPECT_NEAR(MeasureToneHz(a.samples.data(), a.Frames(), a.channels, a.sample_rate, 1), 440.0, 5.0);
  EXPECT_GT(Rms(a.samples.data(), a.Frames(), a.channels), 0.03);
}

// The sample size and the bit rates reach the file: 8-bit sound keeps only
// the upper byte of each 16-bit sample, and a higher bit rate makes a
// larger picture stream.
TEST(RecorderSettings, SampleSizeAndBitRateReachTheFile) {
  EnsureApp();
  TempDir dir;
  const struct {
    TAudioFormat format;
    int bitrate;
  } cases[] = {{PCM_8BIT, 50000}, {PCM_16BIT, 400000}};
  std::vector<uintmax_t> sizes;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format == PCM_8BIT ? "8 bit" : "16 bit");
    TAndroidRecorder r;
    std::atomic<int> ended{0};
    std::string error;
    r.SetSynchronous(true);
    r.SetVideoInputFormat("lavfi");
    r.SetVideoDevice("testsrc2=size=320x240:rate=25");
    r.SetAudioInputFormat("lavfi");
    r.SetAudioDevice("sine=frequency=300:sample_rate=44100");
    r.SetWidth(320);
    r.SetHeight(240);
    r.SetVideoCodec("mpeg4");
    r.SetAudioCodec("pcm_s16le");
    r.SetAudioFormat(c.format);
    r.SetSampleRate(22050);  // resampled before the sample size is cut
    r.SetBitrate(c.bitrate);
    r.SetRecordTime(1000000);
    const std::string out = dir.Path(std::to_string(c.bitrate) + ".mkv");
    r.SetOutputFile(out);
    r.OnError = [&](TComponent*, const std::string& e) { error = e; };
    r.OnStopped = [&](TComponent*) { ++ended; };
    r.StartRecord(0);
    ASSERT_TRUE(PumpUntil([&] { return ended > 0; }, 30000)) << error;
    ASSERT_EQ(error, "");
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.audio.size(), 1u);
    const std::vector<int16_t>& s = m.audio[0].samples;
    ASSERT_GT(s.size(), 20000u);
    size_t fine = 0;  // samples with bits below the upper byte
    for (int16_t v : s) fine += (v & 0xFF) != 0;
    if (c.format == PCM_8BIT)
      EXPECT_EQ(fine, 0u);
    else
      EXPECT_GT(fine, s.size() / 2);
    sizes.push_back(std::filesystem::file_size(out));
  }
  // The sound is the same size in both; the pictures are not.
  EXPECT_GT(sizes[1], sizes[0] + 25000);
}

// StopRecord ends a recording without a time limit; the file is complete
// when it returns. A second StartRecord into the same file changes nothing.
TEST_P(RecorderTest, StopRecordLeavesAPlayableFileAndStartingTwiceKeepsRecording) {
  TAndroidRecorder r;
  const std::string out = dir.Path("stopped.mp4");
  Setup(r, out);
  r.StartRecord(0);
  ASSERT_TRUE(r.Recording());
  ASSERT_TRUE(Until([&] { return r.FrameCount() >= 10; }));
  r.StartRecord(0);
  EXPECT_TRUE(r.Recording());
  EXPECT_TRUE(errors.empty());
  ASSERT_TRUE(Until([&] { return r.FrameCount() >= 20; }));
  r.StopRecord();
  EXPECT_FALSE(r.Recording());
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  // The camera's 25 pictures a second become 15.
  EXPECT_GE(m.video[0].widths.size(), 20u * 15 / 25 - 2);
  ASSERT_EQ(m.audio.size(), 1u);
  EXPECT_GT(m.audio[0].Frames(), 0u);
  // The sound was read along with the pictures, though the video encoder
  // holds pictures back: it lasts as long as they do.
  EXPECT_NEAR(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate,
              m.video[0].times.back() - m.video[0].times.front(), 0.3);
  EXPECT_TRUE(Until([&] { return stopped == 1; }));
  EXPECT_TRUE(errors.empty());
}

// Paused, no pictures come; resumed, they come again, and the file plays
// without the paused second: the devices were read on and their pictures
// and sound dropped meanwhile.
TEST_P(RecorderTest, PauseHoldsTheRecordingAndResumeGoesOn) {
  TAndroidRecorder r;
  const std::string out = dir.Path("paused.mp4");
  Setup(r, out);
  r.StartRecord(0);
  ASSERT_TRUE(Until([&] { return r.FrameCount() >= 8; }));
  r.Pause();
  EXPECT_TRUE(r.Paused());
  EXPECT_TRUE(r.Recording());
  // Pictures on their way when the pause came may still arrive.
  Until([] { return false; }, 300);
  const int64_t held = r.FrameCount();
  Until([] { return false; }, 700);
  EXPECT_EQ(r.FrameCount(), held);
  r.Resume();
  EXPECT_FALSE(r.Paused());
  ASSERT_TRUE(Until([&] { return r.FrameCount() >= held + 8; }));
  r.StopRecord();
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_GE(m.video[0].widths.size(), static_cast<size_t>((held + 8) * 15 / 25 - 2));
  // What was delivered is what the file holds: 25 pictures a second.
  const std::vector<double>& t = m.video[0].times;
  const double delivered = r.FrameCount() / 25.0;
  EXPECT_NEAR(t.back() - t.front(), delivered, 0.3);
  ASSERT_EQ(m.audio.size(), 1u);
  EXPECT_NEAR(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, delivered, 0.3);
}

// Whatever keeps a recording from starting is told through OnError, the
// recorder stays idle and no file is made.
TEST_P(RecorderTest, WhatCannotRecordRaisesAnErrorAndWritesNothing) {
  const struct {
    const char* name;
    std::function<void(TAndroidRecorder&)> change;
    const char* says;
  } cases[] = {
      {"no output file", [](TAndroidRecorder& r) { r.SetOutputFile(""); }, "No output file"},
      {"missing camera",
       [](TAndroidRecorder& r) {
         r.SetVideoInputFormat("v4l2");
         r.SetVideoDevice("/dev/video97");
       },
       "Could not open camera 0 (v4l2:/dev/video97)"},
      {"unknown device format", [](TAndroidRecorder& r) { r.SetVideoInputFormat("nosuchdevice"); },
       "no device format \"nosuchdevice\""},
      {"broken microphone", [](TAndroidRecorder& r) { r.SetAudioDevice("nosuchfilter"); },
       "Could not open the microphone (lavfi:nosuchfilter)"},
      {"unknown container", [this](TAndroidRecorder& r) { r.SetOutputFile(dir.Path("out.nosuchext")); },
       "No container is known"},
      {"no picture size", [](TAndroidRecorder& r) { r.SetWidth(0); }, "Invalid recording size 0x120"},
      {"no frame rate", [](TAndroidRecorder& r) { r.SetFrameRate(-1); }, "Invalid recording frame rate -1"},
      {"unknown encoder", [](TAndroidRecorder& r) { r.SetAudioCodec("nosuchcodec"); },
       "Unknown audio encoder nosuchcodec"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    errors.clear();
    TAndroidRecorder r;
    const std::string out = dir.Path(std::string("failed-") + std::to_string(&c - cases) + ".mp4");
    Setup(r, out);
    c.change(r);
    r.StartRecord(0);
    EXPECT_FALSE(r.Recording());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(c.says), std::string::npos) << errors[0];
    EXPECT_FALSE(std::filesystem::exists(r.OutputFile().empty() ? out : r.OutputFile()));
    errors.clear();
    r.Preview(0);  // the preview needs the camera alone
    if (std::string(c.name) == "missing camera" || std::string(c.name) == "unknown device format") {
      EXPECT_FALSE(r.Previewing());
      EXPECT_EQ(errors.size(), 1u);
    }
    r.StopPreview();
    if (std::string(c.name) == "missing camera") {
      errors.clear();
      EXPECT_FALSE(r.PrepareCamera(0, true));
      EXPECT_FALSE(r.Previewing());
      EXPECT_EQ(errors.size(), 1u);
    }
  }
}

// A recording that fails once it runs (here: a sound encoder for the
// pictures) ends in OnError and then OnStopped, and the recorder is idle.
TEST_P(RecorderTest, AFailureWhileRecordingEndsTheRecording) {
  TAndroidRecorder r;
  Setup(r, dir.Path("wrong-encoder.mkv"));
  r.SetVideoCodec("pcm_s16le");
  r.StartRecord(0);
  ASSERT_TRUE(Until([&] { return stopped > 0; }));
  EXPECT_FALSE(r.Recording());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Recording failed: ", 0), 0u) << errors[0];
  EXPECT_EQ(stopped, 1);
  // The recorder records again once the setting is right.
  errors.clear();
  r.SetVideoCodec("");
  r.SetRecordTime(500000);
  r.StartRecord(0);
  EXPECT_TRUE(r.Recording());
  ASSERT_TRUE(Until([&] { return stopped == 2; }));
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(DecodeMedia(r.OutputFile()).video.size(), 1u);
}

// The preview hands every picture to the view and the texture source and
// raises OnFrameAvailable for it.
TEST_P(RecorderTest, PreviewShowsEveryPictureInTheViewAndTheTexture) {
  TAndroidRecorder r;
  Setup(r, dir.Path("unused.mp4"));
  CountingView view;
  TVideoTextureMaterialSource texture;
  r.SetVideoView(&view);
  r.SetTexture(&texture);
  EXPECT_EQ(r.VideoView(), &view);
  EXPECT_EQ(r.Texture(), &texture);
  ASSERT_TRUE(r.PrepareCamera(0, false));
  EXPECT_FALSE(r.Previewing());
  ASSERT_TRUE(r.PrepareCamera(0, true));
  ASSERT_TRUE(errors.empty()) << errors[0];
  EXPECT_TRUE(r.Previewing());
  EXPECT_FALSE(r.Recording());
  ASSERT_TRUE(Until([&] { return frames >= 12; }));
  r.StopPreview();
  EXPECT_FALSE(r.Previewing());
  EXPECT_EQ(frames, r.FrameCount());
  EXPECT_EQ(view.pictures, frames);
  EXPECT_EQ(view.lastFormat, AV_PIX_FMT_RGBA);
  EXPECT_EQ(view.lastWidth, 160);
  EXPECT_EQ(view.lastHeight, 120);
  EXPECT_EQ(view.sizeWidth, 160);
  EXPECT_EQ(view.sizeHeight, 120);
  EXPECT_EQ(texture.Texture().PixelFormat(), TPixelFormat::RGBA);
  EXPECT_EQ(texture.Texture().Width(), 160);
  EXPECT_EQ(texture.Texture().Height(), 120);
  EXPECT_EQ(texture.Texture().Version(), static_cast<uint64_t>(frames.load()));
  // The picture is the test source's, not a blank one.
  const TPlaneBitmap last = r.LastPicture();
  ASSERT_EQ(last.Width(), 160);
  int distinct = 0;
  for (int x = 1; x < 160; ++x)
    distinct += std::memcmp(last.ConstScanline(60) + x * 4, last.ConstScanline(60) + (x - 1) * 4, 3) != 0;
  EXPECT_GT(distinct, 5);
  // UpdateFrame shows the last picture again.
  const int shown = view.pictures;
  r.UpdateFrame();
  EXPECT_EQ(view.pictures, shown + 1);
  EXPECT_EQ(stopped, 0);  // a preview is no recording
  // Recording takes the camera over from the preview.
  r.Preview(0);
  ASSERT_TRUE(r.Previewing());
  r.StartRecord(0);
  EXPECT_FALSE(r.Previewing());
  EXPECT_TRUE(r.Recording());
  ASSERT_TRUE(Until([&] { return r.FrameCount() >= 5; }));
  r.StopRecord();
  EXPECT_TRUE(errors.empty());
}

// Destroying the view or the texture source clears the recorder's reference,
// also while pictures are flowing.
TEST_P(RecorderTest, DestroyedTargetsAreForgotten) {
  TAndroidRecorder r;
  Setup(r, dir.Path("targets.mp4"));
  auto view = std::make_unique<CountingView>();
  auto texture = std::make_unique<TVideoTextureMaterialSource>();
  r.SetVideoView(view.get());
  r.SetTexture(texture.get());
  r.Preview(0);
  ASSERT_TRUE(Until([&] { return view->pictures >= 3; }));
  view.reset();
  EXPECT_EQ(r.VideoView(), nullptr);
  EXPECT_EQ(r.Texture(), texture.get());
  const int before = frames;
  ASSERT_TRUE(Until([&] { return frames >= before + 3; }));
  texture.reset();
  EXPECT_EQ(r.Texture(), nullptr);
  const int later = frames;
  ASSERT_TRUE(Until([&] { return frames >= later + 3; }));
  r.StopPreview();
  // Set again and replaced: the old one's end no longer reaches the recorder.
  auto a = std::make_unique<CountingView>();
  CountingView b;
  r.SetVideoView(a.get());
  r.SetVideoView(&b);
  a.reset();
  EXPECT_EQ(r.VideoView(), &b);
}

// Any handler may stop or destroy its recorder; a recording ended that way
// still leaves a file that plays.
TEST_P(RecorderTest, HandlersMayStopOrDestroyTheRecorder) {
  enum class Act {
    StopInFrame,
    DestroyInFrame,
    DestroyInStopped,
    DestroyInError,
    DestroyInPreviewFrame,
    DestroyedMidWay,
    DestroyInStoppedDuringStopRecord
  };
  const struct {
    const char* name;
    Act act;
  } cases[] = {
      {"StopRecord in OnFrameAvailable", Act::StopInFrame},
      {"destroyed in OnFrameAvailable", Act::DestroyInFrame},
      {"destroyed in OnStopped", Act::DestroyInStopped},
      {"destroyed in OnError", Act::DestroyInError},
      {"destroyed in a preview's OnFrameAvailable", Act::DestroyInPreviewFrame},
      {"destroyed while recording, by its owner", Act::DestroyedMidWay},
      {"destroyed in the OnStopped that StopRecord waits for", Act::DestroyInStoppedDuringStopRecord},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir.Path(std::string("handler-") + std::to_string(&c - cases) + ".mkv");
    auto r = std::make_unique<TAndroidRecorder>();
    Setup(*r, out);
    std::atomic<bool> acted{false}, once{false};
    TAndroidRecorder* raw = r.get();
    switch (c.act) {
      case Act::StopInFrame:
        r->OnFrameAvailable = [&](TComponent*) {
          if (raw->FrameCount() < 10 || once.exchange(true)) return;
          raw->StopRecord();
          acted = true;
        };
        break;
      case Act::DestroyInFrame:
      case Act::DestroyInPreviewFrame:
        r->OnFrameAvailable = [&](TComponent*) {
          if (raw->FrameCount() < 10 || once.exchange(true)) return;
          r.reset();
          acted = true;
        };
        break;
      case Act::DestroyInStopped:
      case Act::DestroyInStoppedDuringStopRecord:
        if (c.act == Act::DestroyInStopped) r->SetRecordTime(500000);
        r->OnStopped = [&](TComponent*) {
          r.reset();
          acted = true;
        };
        break;
      case Act::DestroyedMidWay:
        r->OnFrameAvailable = [&](TComponent*) {
          if (raw->FrameCount() >= 10) acted = true;
        };
        break;
      case Act::DestroyInError:
        r->SetVideoDevice("nosuchfilter");
        r->OnError = [&](TComponent*, const std::string&) {
          r.reset();
          acted = true;
        };
        break;
    }
    if (c.act == Act::DestroyInPreviewFrame)
      r->Preview(0);
    else
      r->StartRecord(0);
    if (c.act == Act::DestroyInStoppedDuringStopRecord) {
      ASSERT_TRUE(Until([&] { return r->FrameCount() >= 10; }));
      r->StopRecord();  // OnStopped destroys the recorder before this returns
      EXPECT_TRUE(acted);
      EXPECT_EQ(r, nullptr);
      const DecodedMedia m = DecodeMedia(out);
      ASSERT_EQ(m.video.size(), 1u);
      EXPECT_GE(m.video[0].widths.size(), 5u);
      continue;
    }
    ASSERT_TRUE(Until([&] { return acted.load(); })) << "the handler did not run";
    if (c.act == Act::DestroyedMidWay) {
      r.reset();  // ends the recording: the file is complete at once
      const DecodedMedia m = DecodeMedia(out);
      ASSERT_EQ(m.video.size(), 1u);
      EXPECT_GE(m.video[0].widths.size(), 5u);
      continue;
    }
    if (c.act == Act::StopInFrame) {
      ASSERT_TRUE(Until([&] { return stopped == 1; }));
      EXPECT_FALSE(r->Recording());
      r.reset();
    }
    ASSERT_TRUE(Until([&] { return r == nullptr; }, 1000));
    if (c.act == Act::DestroyInError || c.act == Act::DestroyInPreviewFrame) {
      EXPECT_FALSE(std::filesystem::exists(out));
      continue;
    }
    // The worker finishes the file by itself once the recorder is gone.
    DecodedMedia m;
    ASSERT_TRUE(Until(
        [&] {
          try {
            m = DecodeMedia(out);
            return m.video.size() == 1 && m.video[0].widths.size() >= 5;
          } catch (const std::exception&) {
            return false;
          }
        },
        10000));
    stopped = 0;
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, RecorderTest, ::testing::Values(Mode::Synchronous, Mode::Gui),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return info.param == Mode::Gui ? std::string("Gui") : std::string("Synchronous");
                         });

}  // namespace
}  // namespace kivora::testing
