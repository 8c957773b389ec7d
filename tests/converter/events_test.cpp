// The converter's events, state, pause, stop and destruction in both event
// modes: on the worker (Synchronous) and handed to the GUI thread of a Qt
// application, whose event loop the test runs while it waits.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "kivora/converter/converter.h"
#include "kivora/platform/mainthread.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

enum class Mode { Synchronous, Gui };

class ConverterEventsTest : public ::testing::TestWithParam<Mode> {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    MediaSpec s;  // 4 s of MPEG-4 and MP2: long enough to be paused or stopped mid-way
    s.container = "matroska";
    s.video_codec = AV_CODEC_ID_MPEG4;
    s.audio_codec = AV_CODEC_ID_MP2;
    s.frames = 100;
    clip = MakeMedia(dir->Path("clip.mkv"), s);
  }
  static void TearDownTestSuite() { delete dir; }
  void SetUp() override {
    if (GetParam() == Mode::Gui) {
      static int argc = 1;
      static char name[] = "kivora_converter_events";
      static char* argv[] = {name, nullptr};
      app = std::make_unique<QCoreApplication>(argc, argv);
      ASSERT_TRUE(MainThread::HasGuiThread());
    }
  }
  void TearDown() override { app.reset(); }

  void Setup(TAVConverter& c, const std::string& out) {
    c.ConvertOptions().SetSynchronous(GetParam() == Mode::Synchronous);
    c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.ConvertOptions().AudioOptions().SetAudioCodecName("mp2");  // 1152 samples a frame
    c.InputFiles().Add(clip);
    c.OutputFiles().Add(out);
    // Slow steps (about 1.3 s a run), so that a pause or a stop lands mid-way.
    c.OnAudioBuffer = [](TComponent*, void*, int) { std::this_thread::sleep_for(std::chrono::milliseconds(8)); };
  }
  // Waits for pred, running the GUI thread's events in the GUI mode.
  static bool Until(const std::function<bool()>& pred, int ms = 60000) { return PumpUntil(pred, ms); }

  static TempDir* dir;
  static std::string clip;
  std::unique_ptr<QCoreApplication> app;
};
TempDir* ConverterEventsTest::dir = nullptr;
std::string ConverterEventsTest::clip;

// Which handler destroys its converter, and how the run is made to raise it.
enum class Destroyer { Progress, Stopped, Error, VideoBuffer, Complete };

// Every handler may destroy its own converter, in both modes: the destructor
// does not wait for the handler it runs in, the run ends by itself with its
// trailer written, and nothing reaches the destroyed converter. Its memory is
// overwritten at once, so that a worker that still used it would fail.
TEST_P(ConverterEventsTest, AnyHandlerMayDestroyItsConverter) {
  const struct {
    const char* name;
    Destroyer by;
  } cases[] = {{"OnProgress", Destroyer::Progress},
               {"OnStopped", Destroyer::Stopped},
               {"OnError", Destroyer::Error},
               {"OnVideoBuffer", Destroyer::VideoBuffer},
               {"OnComplete", Destroyer::Complete}};
  int n = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    alignas(TAVConverter) static unsigned char storage[sizeof(TAVConverter)];
    auto* c = new (storage) TAVConverter();
    // MP4: a file without its trailer cannot be opened at all.
    const std::string out = dir->Path("destroyed" + std::to_string(n++) + ".mp4");
    Setup(*c, out);
    if (tc.by == Destroyer::Error) c->InputFiles()[0] = dir->Path("missing.mkv");
    std::atomic<bool> destroyed{false};
    std::atomic<int> afterwards{0};  // events that reached the converter after it was gone
    auto destroy = [&](TComponent* sender) {
      if (destroyed) {
        ++afterwards;
        return;
      }
      static_cast<TAVConverter*>(sender)->~TAVConverter();
      std::memset(storage, 0xA5, sizeof storage);
      destroyed = true;
    };
    std::atomic<int> progress{0};
    c->OnProgress = [&](TComponent* s) {
      if (destroyed) ++afterwards;
      if (tc.by == Destroyer::Progress && ++progress == 3) destroy(s);
      if (tc.by == Destroyer::Stopped && ++progress == 3) static_cast<TAVConverter*>(s)->Stop();
    };
    c->OnStopped = [&](TComponent* s) {
      if (tc.by == Destroyer::Stopped) destroy(s);
      else if (destroyed) ++afterwards;
    };
    c->OnError = [&](TComponent* s, const std::string&, const std::string&, bool& handled) {
      handled = true;
      if (tc.by == Destroyer::Error) destroy(s);
      else if (destroyed) ++afterwards;
    };
    std::atomic<int> pictures{0};
    c->OnVideoBuffer = [&](TComponent* s, TAVBitmap&, double, bool&) {
      if (tc.by == Destroyer::VideoBuffer && ++pictures == 10) destroy(s);
      else if (destroyed) ++afterwards;
    };
    c->OnComplete = [&](TComponent* s) {
      if (tc.by == Destroyer::Complete) destroy(s);
      else if (destroyed) ++afterwards;
    };
    c->Convert();
    ASSERT_TRUE(Until([&] { return destroyed.load(); }));
    if (tc.by == Destroyer::Error) {
      EXPECT_FALSE(std::filesystem::exists(out));
      continue;
    }
    // The run ends its file by itself: it becomes readable, with the pictures
    // from the start up to where the run was cut short.
    DecodedMedia m;
    ASSERT_TRUE(Until([&] {
      try {
        m = DecodeMedia(out);
      } catch (const std::exception&) {
        return false;  // not written, or not ended yet
      }
      return !m.video.empty();
    }));
    const auto& numbers = m.video[0].numbers;
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.front(), 0);
    EXPECT_EQ(numbers.back(), static_cast<int>(numbers.size()) - 1);
    if (tc.by == Destroyer::Complete) {
      EXPECT_EQ(numbers.size(), 100u);
    } else {
      EXPECT_LT(numbers.size(), 100u);
    }
    // A little longer for anything that would still come.
    Until([] { return false; }, 200);
    EXPECT_EQ(afterwards, 0);
  }
}

// Stop from a handler: OnStopped, then OnComplete, and a shorter file that
// plays. Pause holds the run (no progress while paused); Resume finishes it,
// and a Stop while paused ends it.
TEST_P(ConverterEventsTest, StopPauseAndResume) {
  {
    TAVConverter c;
    const std::string out = dir->Path("stopped.mkv");
    Setup(c, out);
    std::vector<std::string> events;  // written on one thread at a time
    std::atomic<bool> complete{false};
    int steps = 0;
    c.OnProgress = [&](TComponent* s) {
      if (++steps == 3) static_cast<TAVConverter*>(s)->Stop();
    };
    c.OnStopped = [&](TComponent*) { events.push_back("stopped"); };
    c.OnComplete = [&](TComponent* s) {
      events.push_back(static_cast<TAVConverter*>(s)->State() == csNone ? "complete" : "complete early");
      complete = true;
    };
    c.Convert();
    ASSERT_TRUE(Until([&] { return complete.load(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"stopped", "complete"}));
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.video.size(), 1u);
    EXPECT_GT(m.video[0].numbers.size(), 0u);
    EXPECT_LT(m.video[0].numbers.size(), 100u);
  }
  for (const bool resume : {true, false}) {
    SCOPED_TRACE(resume ? "pause, resume" : "pause, stop");
    TAVConverter c;
    const std::string out = dir->Path(resume ? "resumed.mkv" : "paused_stopped.mkv");
    Setup(c, out);
    std::atomic<int> stopped{0};
    c.OnStopped = [&](TComponent*) { ++stopped; };
    c.Convert();
    c.Pause();
    // The first step finds the pause; the run then stays where it is.
    Until([] { return false; }, 300);
    ASSERT_EQ(c.State(), csPaused);
    const double at = c.ConvertedDuration();
    Until([] { return false; }, 200);
    EXPECT_EQ(c.ConvertedDuration(), at);
    EXPECT_LT(at, 1.0);
    if (resume)
      c.Resume();
    else
      c.Stop();
    ASSERT_TRUE(c.WaitFor(60000));
    EXPECT_EQ(c.State(), csNone);
    EXPECT_EQ(stopped, resume ? 0 : 1);
    const auto numbers = DecodeMedia(out).video.at(0).numbers;
    if (resume) {
      EXPECT_EQ(numbers.size(), 100u);
      EXPECT_EQ(c.Progress(), 100);
    } else {
      EXPECT_LT(numbers.size(), 100u);
    }
  }
}

// Two converters share a semaphore of one slot: the second waits while the
// first runs, takes the slot while the first is paused and runs to its end,
// and the first finishes once resumed.
TEST_P(ConverterEventsTest, APausedConverterGivesItsSlotBack) {
  TSemaphore sem(1);
  TAVConverter a, b;
  Setup(a, dir->Path("sem_a.mkv"));
  Setup(b, dir->Path("sem_b.mkv"));
  std::atomic<int> aSteps{0};
  a.OnProgress = [&](TComponent*) { ++aSteps; };
  a.Convert(&sem);
  ASSERT_TRUE(Until([&] { return aSteps > 0; }));
  EXPECT_EQ(sem.Count(), 0);
  b.Convert(&sem);
  ASSERT_TRUE(Until([&] { return b.State() == csWaiting; }, 5000));
  Until([] { return false; }, 100);
  EXPECT_EQ(b.State(), csWaiting);  // still: the slot is taken
  a.Pause();
  ASSERT_TRUE(b.WaitFor(60000));  // b ran to its end while a was paused
  EXPECT_EQ(a.State(), csPaused);
  EXPECT_EQ(b.Progress(), 100);
  EXPECT_EQ(DecodeMedia(dir->Path("sem_b.mkv")).video.at(0).numbers.size(), 100u);
  a.Resume();
  ASSERT_TRUE(a.WaitFor(60000));
  EXPECT_EQ(a.Progress(), 100);
  EXPECT_EQ(DecodeMedia(dir->Path("sem_a.mkv")).video.at(0).numbers.size(), 100u);
  EXPECT_EQ(sem.Count(), 1);
}

// Destroyed from outside its handlers mid-run (a window closed): the
// destructor waits for the run to end its file, running the GUI thread's
// events meanwhile, and raises nothing more on the dying converter.
TEST_P(ConverterEventsTest, DestroyedMidRunEndsItsFileAndRaisesNothing) {
  auto c = std::make_unique<TAVConverter>();
  const std::string out = dir->Path("closed.mp4");
  Setup(*c, out);
  std::atomic<int> steps{0};
  std::atomic<bool> gone{false};
  std::atomic<int> afterwards{0};
  c->OnProgress = [&](TComponent*) {
    if (gone) ++afterwards;
    ++steps;
  };
  c->OnStopped = c->OnComplete = [&](TComponent*) {
    if (gone) ++afterwards;
  };
  c->Convert();
  ASSERT_TRUE(Until([&] { return steps >= 2; }));
  gone = true;
  c.reset();
  EXPECT_EQ(afterwards, 0);
  const auto numbers = DecodeMedia(out).video.at(0).numbers;
  EXPECT_GT(numbers.size(), 0u);
  EXPECT_LT(numbers.size(), 100u);
}

// WaitFor returns only once the last event of the run has been delivered:
// an application that waits and then destroys its converter has had its
// OnComplete, however slow, in both modes.
TEST_P(ConverterEventsTest, WaitForReturnsAfterTheLastEvent) {
  std::atomic<bool> completed{false};
  auto c = std::make_unique<TAVConverter>();
  Setup(*c, dir->Path("waited.mkv"));
  c->OnAudioBuffer = nullptr;  // a quick run
  c->OnComplete = [&](TComponent*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    completed = true;
  };
  c->Convert();
  ASSERT_TRUE(c->WaitFor(60000));
  EXPECT_TRUE(completed) << "WaitFor returned before OnComplete had run";
  c.reset();
  EXPECT_TRUE(completed);
}

INSTANTIATE_TEST_SUITE_P(BothModes, ConverterEventsTest, ::testing::Values(Mode::Synchronous, Mode::Gui),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return info.param == Mode::Gui ? std::string("Gui") : std::string("Synchronous");
                         });

}  // namespace
}  // namespace kivora::testing
