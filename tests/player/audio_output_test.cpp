// The player's sound as an application hears it: the bytes handed to
// OnAudioBuffer (and, with SDL's disk driver, to the device), their format,
// pitch and level, the live volume and filters, the audio clock and the
// picture following it.
#include <gtest/gtest.h>

#include <deque>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "kivora/player/audio/mixer.h"
#include "player_test_util.h"

namespace kivora::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Everything the player delivered through OnAudioBuffer, in order, with the
// moment each block arrived.
class AudioRecorder {
public:
  void Attach(TAVPlayer& p) {
    p.OnAudioBuffer = [this](TComponent*, void* buf, int size) {
      std::lock_guard<std::mutex> g(lock);
      sizes.push_back(size);
      const auto* s = static_cast<const int16_t*>(buf);
      samples.insert(samples.end(), s, s + size / 2);
      times.push_back(Clock::now());
      if (sink) sink(buf, size);
    };
  }
  size_t Frames() {
    std::lock_guard<std::mutex> g(lock);
    return samples.size() / 2;
  }
  // Stereo samples from frame `from` on (a copy).
  std::vector<int16_t> From(size_t from) {
    std::lock_guard<std::mutex> g(lock);
    if (from * 2 >= samples.size()) return {};
    return std::vector<int16_t>(samples.begin() + static_cast<ptrdiff_t>(from * 2), samples.end());
  }
  int Calls() {
    std::lock_guard<std::mutex> g(lock);
    return static_cast<int>(sizes.size());
  }

  std::mutex lock;
  std::vector<int16_t> samples;
  std::vector<int> sizes;
  std::vector<Clock::time_point> times;
  std::function<void(void*, int)> sink;  // runs on the sound thread, under the recorder's lock
};

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

// Pitch on both channels of interleaved stereo output at the device rate.
void ExpectTone(const std::vector<int16_t>& st, double hz, const std::string& what) {
  ASSERT_GE(st.size(), 2u * 8820) << what << ": less than 0.2 s of sound";
  const size_t frames = st.size() / 2;
  for (int ch = 0; ch < 2; ++ch) {
    EXPECT_NEAR(MeasureToneHz(st.data(), frames, 2, MIX_FREQ, ch), hz, hz * 0.02) << what << ", channel " << ch;
    EXPECT_GT(Rms(st.data(), frames, 2, ch), 0.1) << what << ", channel " << ch;
  }
}

class AudioOutputTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApp(); }
  void TearDown() override {
    for (auto& p : players) {
      p->CloseMovie();
      PumpUntil([&] { return !p->Playing(); }, 10000);
      EXPECT_FALSE(p->Playing());
    }
    players.clear();
  }
  TAVPlayer& Make() {
    players.push_back(std::make_unique<TAVPlayer>());
    return *players.back();
  }
  // Views and recorders belong to the fixture, so they outlive the players
  // that call them until TearDown has closed those.
  RecordingView& View() { return views.emplace_back(); }
  AudioRecorder& Recorder() { return recorders.emplace_back(); }
  std::deque<RecordingView> views;
  std::deque<AudioRecorder> recorders;
  // Pumps events until the recorder holds `frames` more sample frames.
  bool WaitFrames(AudioRecorder& r, size_t frames, int timeout_ms = 15000) {
    const size_t target = r.Frames() + frames;
    return PumpUntil([&] { return r.Frames() >= target; }, timeout_ms);
  }
  void Wait(int ms) {
    PumpUntil([] { return false; }, ms);
  }
  std::vector<std::unique_ptr<TAVPlayer>> players;
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
    TAVPlayer& p = Make();
    AudioRecorder& rec = Recorder();
    rec.Attach(p);
    p.OpenMovie(*c.file, false, true);
    ASSERT_EQ(p.AudioStreamIndex(), 0) << c.name;
    ASSERT_TRUE(WaitFrames(rec, MIX_FREQ)) << c.name;
    {
      std::lock_guard<std::mutex> g(rec.lock);
      for (int size : rec.sizes) ASSERT_EQ(size % 4, 0) << c.name << ": partial stereo S16 frame";
    }
    // Skip the codec's start-up (priming, resampler delay).
    ExpectTone(rec.From(4410), c.hz, c.name);
    p.CloseMovie();
    PumpUntil([&] { return !p.Playing(); }, 10000);
  }
}

TEST_F(AudioOutputTest, VolumeScalesTheLevelLiveAndZeroSilences) {
  TAVPlayer& p = Make();
  AudioRecorder& rec = Recorder();
  rec.Attach(p);
  p.OpenMovie(StereoTone(), false, true);
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 2));
  const std::vector<int16_t> full = rec.From(4410);
  const double full_rms = Rms(full.data(), full.size() / 2, 2);
  ASSERT_GT(full_rms, 0.2);

  p.SetVolume(0.5);
  EXPECT_DOUBLE_EQ(p.Volume(), 0.5);
  // What was filtered before the change may still be on its way out.
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 10));
  const size_t half_from = rec.Frames();
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 2));
  const std::vector<int16_t> half = rec.From(half_from);
  EXPECT_NEAR(Rms(half.data(), half.size() / 2, 2) / full_rms, 0.5, 0.03);
  EXPECT_NEAR(MeasureToneHz(half.data(), half.size() / 2, 2, MIX_FREQ), 440.0, 9.0);

  p.SetVolume(0.0);
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 10));
  const size_t zero_from = rec.Frames();
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 4));
  const std::vector<int16_t> zero = rec.From(zero_from);
  EXPECT_TRUE(std::all_of(zero.begin(), zero.end(), [](int16_t v) { return v == 0; }));
}

TEST_F(AudioOutputTest, VolumeSetBeforeOpeningAppliesFromTheFirstByte) {
  TAVPlayer& p = Make();
  AudioRecorder& rec = Recorder();
  rec.Attach(p);
  p.SetVolume(0.0);
  p.OpenMovie(StereoTone(), false, true);
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 2));
  const std::vector<int16_t> all = rec.From(0);
  EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](int16_t v) { return v == 0; }));
}

TEST_F(AudioOutputTest, AudioFiltersAreRebuiltLiveAndABadTextPlaysSilenceAndIsReported) {
  TAVPlayer& p = Make();
  AudioRecorder& rec = Recorder();
  rec.Attach(p);
  std::mutex log_lock;
  std::vector<std::string> errors;
  p.OnLog = [&](TComponent*, int level, const std::string& text) {
    std::lock_guard<std::mutex> g(log_lock);
    if (level <= AV_LOG_ERROR) errors.push_back(text);
  };
  p.OpenMovie(StereoTone(), false, true);
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 4));
  const std::vector<int16_t> plain = rec.From(2205);
  const double plain_rms = Rms(plain.data(), plain.size() / 2, 2);

  // A filter that changes what is heard: a quarter of the level.
  p.SetAudioFilters("volume=0.25");
  EXPECT_TRUE(p.FilterChanged());
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 10));
  size_t from = rec.Frames();
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 4));
  std::vector<int16_t> quiet = rec.From(from);
  EXPECT_NEAR(Rms(quiet.data(), quiet.size() / 2, 2) / plain_rms, 0.25, 0.02);
  EXPECT_FALSE(p.FilterChanged());

  // A text FFmpeg cannot parse: reported once; the sound turns to silence
  // at the stream's pace instead of stopping or crashing.
  p.SetAudioFilters("nosuchfilter=1");
  ASSERT_TRUE(PumpUntil([&] { return p.LastErrorMessage() == "error configure audio filter"; }, 5000));
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 10));
  from = rec.Frames();
  const double clock0 = p.AudioClock();
  const auto t0 = Clock::now();
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 2));
  const std::vector<int16_t> silent = rec.From(from);
  EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](int16_t v) { return v == 0; }));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_NEAR(p.AudioClock() - clock0, wall, 0.15) << "the audio clock keeps running";
  EXPECT_TRUE(p.Playing());
  {
    std::lock_guard<std::mutex> g(log_lock);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), "error configure audio filter"), 1);
  }

  // Back to no filter: the sound returns at full level.
  p.SetAudioFilters("");
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 10));
  from = rec.Frames();
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 4));
  const std::vector<int16_t> back = rec.From(from);
  EXPECT_NEAR(Rms(back.data(), back.size() / 2, 2) / plain_rms, 1.0, 0.05);
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
    TAVPlayer& p = Make();
    AudioRecorder& rec = Recorder();
    rec.Attach(p);
    std::atomic<bool> mute_right{true};
    rec.sink = [&](void* buf, int size) {
      if (!mute_right) return;
      auto* s = static_cast<int16_t*>(buf);
      for (int i = 1; i < size / 2; i += 2) s[i] = 0;
    };
    p.OpenMovie(StereoTone(), false, true);
    ASSERT_TRUE(WaitFrames(rec, MIX_FREQ));
    p.Pause();
    Wait(300);  // what was decoded before the pause drains
    const int paused_calls = rec.Calls();
    Wait(700);
    EXPECT_EQ(rec.Calls(), paused_calls) << "silence while paused raises no OnAudioBuffer";
    p.Play();
    ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 2));
    p.CloseMovie();
    PumpUntil([&] { return !p.Playing(); }, 10000);
  }
  players.clear();
  ShutdownAudioDevice();  // flushes and closes the file
  if (saved.empty()) unsetenv("SDL_AUDIODRIVER");
  else setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
  unsetenv("SDL_DISKAUDIOFILE");

  std::ifstream f(out, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
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
  TAVPlayer& a = Make();
  TAVPlayer& b = Make();
  AudioRecorder ra, rb;
  ra.Attach(a);
  rb.Attach(b);
  a.OpenMovie(StereoTone(), false, true);
  b.OpenMovie(ToneClip("tone660.m4a", AV_CODEC_ID_AAC, "mp4", 44100, 2, {660.0}, 6.0), false, true);
  ASSERT_TRUE(WaitFrames(ra, MIX_FREQ / 2));
  ASSERT_TRUE(WaitFrames(rb, MIX_FREQ / 2));
  ExpectTone(ra.From(4410), 440.0, "first player");
  ExpectTone(rb.From(4410), 660.0, "second player");

  a.CloseMovie();
  ASSERT_TRUE(PumpUntil([&] { return !a.Playing(); }, 10000));
  const size_t b_from = rb.Frames();
  ASSERT_TRUE(WaitFrames(rb, MIX_FREQ / 2)) << "the second player goes on";
  ExpectTone(rb.From(b_from), 660.0, "second player after the first closed");
  EXPECT_TRUE(AudioDeviceOpen());
}

// Seconds of wall time and of the audio clock between two readings taken
// while playing; the clock has to keep the pace of the wall.
TEST_F(AudioOutputTest, TheAudioClockAdvancesInRealTime) {
  TAVPlayer& p = Make();
  AudioRecorder& rec = Recorder();
  rec.Attach(p);
  p.OpenMovie(StereoTone(), false, true);
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 2));
  const auto t0 = Clock::now();
  const double c0 = p.AudioClock();
  Wait(2500);
  const auto t1 = Clock::now();
  const double c1 = p.AudioClock();
  ASSERT_FALSE(std::isnan(c0));
  ASSERT_FALSE(std::isnan(c1));
  const double wall = std::chrono::duration<double>(t1 - t0).count();
  EXPECT_NEAR((c1 - c0) / wall, 1.0, 0.05) << "clock " << c1 - c0 << " s over " << wall << " s";
  // The clock reads the stream time of what is being heard: what was
  // delivered, less the device buffering the output allows for (16384 bytes).
  const double delivered = static_cast<double>(rec.Frames()) / MIX_FREQ;
  EXPECT_NEAR(c1, delivered - 16384.0 / 176400, 0.06) << "delivered " << delivered << " s";
}

TEST_F(AudioOutputTest, WithPictureAndSoundTheVideoClockFollowsTheAudioClock) {
  const std::string& file = AvClip();
  TAVPlayer& p = Make();
  RecordingView& view = View();
  p.RegisterView(&view);
  AudioRecorder& rec = Recorder();
  rec.Attach(p);
  p.OpenMovie(file, false, true);
  ASSERT_EQ(p.AudioStreamIndex(), 0);
  ASSERT_EQ(p.VideoStreamIndex(), 0);
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ));  // steady playback from here
  std::vector<double> diffs;
  const auto end = Clock::now() + std::chrono::seconds(4);
  while (Clock::now() < end) {
    const double d = p.VideoClock() - p.AudioClock();
    if (!std::isnan(d)) diffs.push_back(std::fabs(d));
    Wait(20);
  }
  ASSERT_GT(diffs.size(), 50u);
  std::sort(diffs.begin(), diffs.end());
  const double median = diffs[diffs.size() / 2];
  const double p90 = diffs[diffs.size() * 9 / 10];
  RecordProperty("median_ms", std::to_string(median * 1000));
  RecordProperty("p90_ms", std::to_string(p90 * 1000));
  std::printf("A/V: %zu readings, median %.1f ms, 90%% %.1f ms, max %.1f ms\n", diffs.size(), median * 1000,
              p90 * 1000, diffs.back() * 1000);
  // Pictures are only retimed once they are 40 ms or more off the audio
  // clock, so playback settles anywhere inside that window (often just
  // under its edge, after the start-up correction). Readings of two running
  // clocks add a few milliseconds of their own.
  EXPECT_LT(median, 0.045);
  EXPECT_LT(p90, 0.065);
}

TEST_F(AudioOutputTest, ASeekMovesSoundAndPictureTogether) {
  TAVPlayer& p = Make();
  RecordingView& view = View();
  p.RegisterView(&view);
  AudioRecorder& rec = Recorder();
  rec.Attach(p);
  p.OpenMovie(AvClip(), false, true);
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 2));
  ASSERT_LT(p.AudioClock(), 2.0);
  p.SetPosition(5.0);
  ASSERT_TRUE(PumpUntil(
      [&] {
        const double a = p.AudioClock(), v = p.VideoClock();
        return a >= 5.0 && a < 6.5 && v >= 5.0 && v < 6.5;
      },
      8000))
      << "audio " << p.AudioClock() << ", video " << p.VideoClock();
  Wait(300);
  const double a = p.AudioClock(), v = p.VideoClock();
  EXPECT_NEAR(v, a, 0.06);
  EXPECT_GE(view.Last(), 125) << "pictures come from after the seek";
  // The sound after the seek is still the clean tone (no stale bytes mixed in).
  const size_t from = rec.Frames();
  ASSERT_TRUE(WaitFrames(rec, MIX_FREQ / 4));
  ExpectTone(rec.From(from), 440.0, "after the seek");
}

TEST_F(AudioOutputTest, StepForwardWithPictureAndSoundPausesAfterBothStepped) {
  TAVPlayer& p = Make();
  RecordingView& view = View();
  p.RegisterView(&view);
  AudioRecorder& rec = Recorder();
  rec.Attach(p);
  p.OpenMovie(AvClip(), true, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() > 0; }, 5000));
  Wait(300);
  ASSERT_TRUE(p.Paused());
  const int pictures = view.Count();
  const size_t frames = rec.Frames();
  p.StepForward();
  ASSERT_TRUE(PumpUntil([&] { return p.Paused(); }, 5000));
  Wait(300);
  EXPECT_TRUE(p.Paused());
  EXPECT_EQ(view.Count(), pictures + 1) << "one more picture";
  EXPECT_GT(rec.Frames(), frames) << "some sound was played for the step";
  // Paused again: nothing more arrives.
  const size_t after = rec.Frames();
  Wait(400);
  EXPECT_EQ(rec.Frames(), after);
}

}  // namespace
}  // namespace kivora::testing
