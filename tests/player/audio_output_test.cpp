// The player's sound as an application hears it: the bytes handed to
// OnAudioBuffer (and, with SDL's disk driver, to the device), their format,
// pitch and level, the live volume and filters, the audio clock and the
// picture following it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "player_test_util.h"

namespace kivora::testing {
namespace {

const std::string& ToneClip(const std::string& key, AVCodecID codec, const std::string& container, int rate,
                            int channels, std::vector<double> tones, double seconds) {
  MediaSpec s;
  s.container = container;
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_codec = codec;
  s.sample_rate = rate;
  s.channels = channels;
  s.tones = std::move(tones);
  s.audio_seconds = seconds;
  return Media::Get().File(key, s);
}

const std::string& StereoTone() {
  return ToneClip("tone440.m4a", AV_CODEC_ID_AAC, "mp4", 44100, 2, {440.0}, 6.0);
}

const std::string& AvClip() {
  MediaSpec s;
  s.frames = 200;  // 8 s at 25 fps
  s.gop = 25;
  s.tones = {440.0};
  return Media::Get().File("av8s.mp4", s);
}

// Pitch and a real level on both channels of interleaved stereo output.
void ExpectTone(const std::vector<int16_t>& st, double hz, const std::string& what) {
  ASSERT_GE(st.size(), 2u * 8820) << what << ": less than 0.2 s of sound";
  const size_t frames = st.size() / 2;
  for (int ch = 0; ch < 2; ++ch) {
    EXPECT_NEAR(MeasureToneHz(st.data(), frames, 2, MIX_FREQ, ch), hz, hz * 0.02) << what << ", channel " << ch;
    EXPECT_GT(Rms(st.data(), frames, 2, ch), 0.1) << what << ", channel " << ch;
  }
}

bool AllZero(const std::vector<int16_t>& v) {
  return std::all_of(v.begin(), v.end(), [](int16_t x) { return x == 0; });
}

double Level(const std::vector<int16_t>& v) { return Rms(v.data(), v.size() / 2, 2); }

// A player with a view and a recorder that outlive it.
struct Rig {
  RecordingView view;
  AudioRecorder rec;
  std::unique_ptr<TAVPlayer> player = std::make_unique<TAVPlayer>();
};

class AudioOutputTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApp(); }
  void TearDown() override {
    for (Rig& r : rigs) {
      r.player->CloseMovie();
      PumpUntil([&] { return !r.player->Playing(); }, 10000);
      EXPECT_FALSE(r.player->Playing());
    }
    rigs.clear();
  }
  Rig& Make() {
    Rig& r = rigs.emplace_back();
    r.player->RegisterView(&r.view);
    r.rec.Attach(*r.player);
    return r;
  }
  // What arrives over the next `frames`, after letting `settle` frames of
  // sound made before a change go by.
  static std::vector<int16_t> Next(AudioRecorder& rec, size_t frames, size_t settle = MIX_FREQ / 10) {
    EXPECT_TRUE(rec.WaitFrames(settle));
    const size_t from = rec.Frames();
    EXPECT_TRUE(rec.WaitFrames(frames));
    return rec.From(from);
  }
  std::deque<Rig> rigs;
};

TEST_F(AudioOutputTest, DeliversStereoS16At44100HzAtTheTonesPitchForEverySourceFormat) {
  struct Case {
    const char* name;
    const std::string* file;
    double hz;
  };
  const Case cases[] = {
      {"stereo AAC 44100", &StereoTone(), 440.0},
      // Planar float, one channel, another rate: resampled and spread to both sides.
      {"mono AAC 48000", &ToneClip("mono48k.m4a", AV_CODEC_ID_AAC, "mp4", 48000, 1, {1000.0}, 3.0), 1000.0},
      // Packed float, one channel.
      {"mono f32 48000", &ToneClip("mono48k.wav", AV_CODEC_ID_PCM_F32LE, "wav", 48000, 1, {750.0}, 3.0), 750.0},
      // Packed S16 at another rate, six channels: down-mixed.
      {"5.1 s16 22050", &ToneClip("six22k.mkv", AV_CODEC_ID_PCM_S16LE, "matroska", 22050, 6, {300.0}, 3.0), 300.0},
  };
  for (const Case& c : cases) {
    Rig& r = Make();
    r.player->OpenMovie(*c.file, false, true);
    ASSERT_EQ(r.player->AudioStreamIndex(), 0) << c.name;
    ASSERT_TRUE(r.rec.WaitFrames(MIX_FREQ)) << c.name;
    {
      std::lock_guard<std::mutex> g(r.rec.lock);
      for (int size : r.rec.sizes) ASSERT_EQ(size % 4, 0) << c.name << ": partial stereo S16 frame";
    }
    // Skip the codec's start-up (priming, resampler delay).
    ExpectTone(r.rec.From(4410), c.hz, c.name);
    CloseAndWait(*r.player);
  }
}

TEST_F(AudioOutputTest, VolumeSetBeforeOpeningAppliesFromTheFirstByteAndChangesScaleTheLevelLive) {
  Rig& r = Make();
  TAVPlayer& p = *r.player;
  p.SetVolume(0.0);
  p.OpenMovie(StereoTone(), false, true);
  ASSERT_TRUE(r.rec.WaitFrames(MIX_FREQ / 2));
  EXPECT_TRUE(AllZero(r.rec.From(0)));

  p.SetVolume(1.0);
  const double full = Level(Next(r.rec, MIX_FREQ / 2));
  ASSERT_GT(full, 0.2);
  p.SetVolume(0.5);
  const std::vector<int16_t> half = Next(r.rec, MIX_FREQ / 2);
  EXPECT_NEAR(Level(half) / full, 0.5, 0.03);
  EXPECT_NEAR(MeasureToneHz(half.data(), half.size() / 2, 2, MIX_FREQ), 440.0, 9.0);
  p.SetVolume(0.0);
  EXPECT_TRUE(AllZero(Next(r.rec, MIX_FREQ / 4)));
}

TEST_F(AudioOutputTest, AudioFiltersAreRebuiltLiveAndABadTextPlaysSilenceAndIsReported) {
  Rig& r = Make();
  TAVPlayer& p = *r.player;
  AudioRecorder& rec = r.rec;
  std::mutex log_lock;
  std::vector<std::string> errors;
  p.OnLog = [&](TComponent*, int level, const std::string& text) {
    std::lock_guard<std::mutex> g(log_lock);
    if (level <= AV_LOG_ERROR) errors.push_back(text);
  };
  p.OpenMovie(StereoTone(), false, true);
  ASSERT_TRUE(rec.WaitFrames(MIX_FREQ / 4));
  const std::vector<int16_t> plain = rec.From(2205);
  const double plain_rms = Level(plain);

  // A filter that changes what is heard: a quarter of the level.
  p.SetAudioFilters("volume=0.25");
  EXPECT_TRUE(p.FilterChanged());
  EXPECT_NEAR(Level(Next(rec, MIX_FREQ / 4)) / plain_rms, 0.25, 0.02);
  EXPECT_FALSE(p.FilterChanged());

  // A text FFmpeg cannot parse: reported once; the sound turns to silence
  // at the stream's pace instead of stopping or crashing.
  p.SetAudioFilters("nosuchfilter=1");
  ASSERT_TRUE(PumpUntil([&] { return p.LastErrorMessage() == "error configure audio filter"; }, 5000));
  ASSERT_TRUE(rec.WaitFrames(MIX_FREQ / 10));
  const size_t from = rec.Frames();
  const double clock0 = p.AudioClock();
  ASSERT_TRUE(rec.WaitFrames(MIX_FREQ / 2));
  const std::vector<int16_t> silent = rec.From(from);
  EXPECT_TRUE(AllZero(silent));
  const double heard = static_cast<double>(rec.Frames() - from) / MIX_FREQ;
  EXPECT_NEAR(p.AudioClock() - clock0, heard, 0.08) << "the audio clock keeps running with the silence";
  EXPECT_TRUE(p.Playing());
  {
    std::lock_guard<std::mutex> g(log_lock);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), "error configure audio filter"), 1);
  }

  // Back to no filter: the sound returns at full level.
  p.SetAudioFilters("");
  EXPECT_NEAR(Level(Next(rec, MIX_FREQ / 4)) / plain_rms, 1.0, 0.05);
}

TEST_F(AudioOutputTest, AHandlerThatChangesTheBytesDecidesWhatIsPlayed) {
  // SDL's disk driver writes what the device played to a file. The device is
  // shared, so it is closed first and opened again with that driver.
  TempDir dir;
  const std::string out = dir.Path("played.raw");
  ShutdownAudioDevice();
  const char* old_driver = std::getenv("SDL_AUDIODRIVER");
  const std::string saved = old_driver ? old_driver : "";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
  {
    Rig& r = Make();
    TAVPlayer& p = *r.player;
    AudioRecorder& rec = r.rec;
    rec.sink = [](void* buf, int size) {  // silences the right side
      auto* s = static_cast<int16_t*>(buf);
      for (int i = 1; i < size / 2; i += 2) s[i] = 0;
    };
    p.OpenMovie(StereoTone(), false, true);
    ASSERT_TRUE(rec.WaitFrames(MIX_FREQ));
    p.Pause();
    Wait(300);  // what was decoded before the pause drains
    const int paused_calls = rec.Calls();
    Wait(700);
    EXPECT_EQ(rec.Calls(), paused_calls) << "silence while paused raises no OnAudioBuffer";
    p.Play();
    ASSERT_TRUE(rec.WaitFrames(MIX_FREQ / 2));
    CloseAndWait(p);
  }
  rigs.clear();
  ShutdownAudioDevice();  // flushes and closes the file
  if (saved.empty()) unsetenv("SDL_AUDIODRIVER");
  else setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
  unsetenv("SDL_DISKAUDIOFILE");

  const std::string bytes = ReadAll(out);
  ASSERT_GT(bytes.size(), 4u * MIX_FREQ / 2);
  std::vector<int16_t> played(bytes.size() / 2);
  std::memcpy(played.data(), bytes.data(), played.size() * 2);
  const size_t frames = played.size() / 2;
  // Where the sound plays (the first loud half second) the left side carries
  // the tone and the right side what the handler left: nothing.
  size_t start = 0;
  while (start < frames && std::abs(played[start * 2]) < 1000) start++;
  ASSERT_LT(start + MIX_FREQ / 2, frames);
  const int16_t* sound = played.data() + start * 2;
  EXPECT_NEAR(MeasureToneHz(sound, MIX_FREQ / 2, 2, MIX_FREQ, 0), 440.0, 9.0);
  EXPECT_EQ(Rms(sound, MIX_FREQ / 2, 2, 1), 0.0);
  // The pause played silence between two stretches of sound: a run of at
  // least half a second of zeros (a tone has no such run) before sound resumes.
  size_t longest = 0, longest_end = 0, run = 0;
  for (size_t i = start; i < frames; ++i) {
    run = played[i * 2] == 0 ? run + 1 : 0;
    if (run > longest) longest = run, longest_end = i + 1;
  }
  bool sound_after = false;
  for (size_t i = longest_end; i < frames && !sound_after; ++i) sound_after = std::abs(played[i * 2]) >= 1000;
  EXPECT_GE(longest, static_cast<size_t>(MIX_FREQ / 2));
  EXPECT_TRUE(sound_after) << "sound resumed after the pause";
}

TEST_F(AudioOutputTest, TwoPlayersSoundTogetherAndClosingOneLeavesTheOther) {
  Rig& a = Make();
  Rig& b = Make();
  a.player->OpenMovie(StereoTone(), false, true);
  b.player->OpenMovie(ToneClip("tone660.m4a", AV_CODEC_ID_AAC, "mp4", 44100, 2, {660.0}, 6.0), false, true);
  ASSERT_TRUE(a.rec.WaitFrames(MIX_FREQ / 2));
  ASSERT_TRUE(b.rec.WaitFrames(MIX_FREQ / 2));
  ExpectTone(a.rec.From(4410), 440.0, "first player");
  ExpectTone(b.rec.From(4410), 660.0, "second player");

  CloseAndWait(*a.player);
  const size_t b_from = b.rec.Frames();
  ASSERT_TRUE(b.rec.WaitFrames(MIX_FREQ / 2)) << "the second player goes on";
  ExpectTone(b.rec.From(b_from), 660.0, "second player after the first closed");
  EXPECT_TRUE(AudioDeviceOpen());
}

TEST_F(AudioOutputTest, TheAudioClockKeepsRealTimeThePictureFollowsItASeekMovesBothAndAStepMovesBoth) {
  Rig& r = Make();
  TAVPlayer& p = *r.player;
  p.OpenMovie(AvClip(), false, true);
  ASSERT_EQ(p.AudioStreamIndex(), 0);
  ASSERT_EQ(p.VideoStreamIndex(), 0);
  ASSERT_TRUE(r.rec.WaitFrames(MIX_FREQ));  // steady playback from here
  const auto t0 = Clock::now();
  const double c0 = p.AudioClock();
  const size_t f0 = r.rec.Frames();
  std::vector<double> diffs;
  while (Clock::now() < t0 + std::chrono::seconds(3)) {
    const double d = p.VideoClock() - p.AudioClock();
    if (!std::isnan(d)) diffs.push_back(std::fabs(d));
    Wait(20);
  }
  const double c1 = p.AudioClock();
  const double heard = static_cast<double>(r.rec.Frames() - f0) / MIX_FREQ;
  ASSERT_FALSE(std::isnan(c0));
  ASSERT_FALSE(std::isnan(c1));
  // The clock advances with the sound delivered (within one callback).
  EXPECT_NEAR(c1 - c0, heard, 0.05) << "clock " << c1 - c0 << " s over " << heard << " s of sound";
  // (How far the clock trails the sound delivered is checked on sound alone:
  // with a picture, the sound leaves out what would be heard before the
  // first picture, so the sound delivered no longer counts from 0.)

  ASSERT_GT(diffs.size(), 50u);
  std::sort(diffs.begin(), diffs.end());
  const double median = diffs[diffs.size() / 2];
  const double p90 = diffs[diffs.size() * 9 / 10];
  RecordProperty("median_ms", std::to_string(median * 1000));
  RecordProperty("p90_ms", std::to_string(p90 * 1000));
  // Pictures are only retimed once they are 40 ms or more off the audio
  // clock, so playback settles anywhere inside that window (often just
  // under its edge, after the start-up correction). Readings of two running
  // clocks add a few milliseconds of their own.
  EXPECT_LT(median, 0.045);
  EXPECT_LT(p90, 0.065);

  ASSERT_LT(p.AudioClock(), 5.0);
  p.SetPosition(6.0);
  ASSERT_TRUE(PumpUntil(
      [&] {
        const double a = p.AudioClock(), v = p.VideoClock();
        return a >= 6.0 && a < 7.5 && v >= 6.0 && v < 7.5;
      },
      8000))
      << "audio " << p.AudioClock() << ", video " << p.VideoClock();
  Wait(300);
  EXPECT_NEAR(p.VideoClock(), p.AudioClock(), 0.06);
  EXPECT_GE(r.view.Last(), 150) << "pictures come from after the seek";
  // The sound after the seek is still the clean tone (no stale bytes mixed in).
  ExpectTone(Next(r.rec, MIX_FREQ / 4, 0), 440.0, "after the seek");

  // A step while paused: one more picture, some sound, then paused again.
  p.Pause();
  Wait(300);  // what was decoded before the pause drains
  const int pictures = r.view.Count();
  const size_t frames = r.rec.Frames();
  p.StepForward();
  ASSERT_TRUE(PumpUntil([&] { return p.Paused(); }, 5000));
  Wait(300);
  EXPECT_TRUE(p.Paused());
  EXPECT_EQ(r.view.Count(), pictures + 1) << "one more picture";
  EXPECT_GT(r.rec.Frames(), frames) << "some sound was played for the step";
  const size_t after = r.rec.Frames();
  Wait(400);
  EXPECT_EQ(r.rec.Frames(), after) << "nothing more arrives";
}

}  // namespace
}  // namespace kivora::testing
