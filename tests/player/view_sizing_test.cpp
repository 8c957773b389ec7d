// The views are sized for the first picture while it is still being decoded,
// from the decoder's size cut to multiples of 16. A guess that the graph
// proves wrong (filters of the application's, a view added late) must never
// leave a view with a size other than its pictures'. Each case runs in a
// child process, in the Qt-event mode and in the direct mode (no Qt
// application).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "player_test_util.h"

namespace kivora::testing {
namespace {

struct SizingCase {
  const char* name;
  int width, height;    // of the clip
  const char* filters;  // the application's video filters
  bool lateView;        // a second view is registered once the open has returned
  int shownW, shownH;   // the pictures' size in the views
};

const SizingCase kCases[] = {
    {"plain 1080p", 1920, 1080, "", false, 1920, 1072},
    {"odd size", 100, 70, "", false, 96, 64},
    {"filter changes the size", 100, 70, "scale=64:48", false, 64, 48},
    {"filter keeps the size", 100, 70, "setsar=1", false, 96, 64},
    {"view added after the open", 200, 100, "", true, 192, 96},
};

// Every size a view was given equals the pictures' size. A view registered
// while the movie opens is first given the decoder's size; only its last
// size is checked.
bool CheckView(RecordingView& view, const SizingCase& c, const char* which, bool everySize) {
  std::lock_guard<std::mutex> g(view.lock);
  bool ok = !view.viewSizes.empty() && !view.shots.empty();
  for (const auto& s : view.viewSizes) ok = ok && (!everySize || s == std::make_pair(c.shownW, c.shownH));
  ok = ok && view.viewSizes.back() == std::make_pair(c.shownW, c.shownH);
  for (const Shot& s : view.shots) ok = ok && s.width == c.shownW && s.height == c.shownH;
  if (!ok) {
    std::fprintf(stderr, "%s: %s view:", c.name, which);
    for (const auto& s : view.viewSizes) std::fprintf(stderr, " sized %dx%d", s.first, s.second);
    if (!view.shots.empty())
      std::fprintf(stderr, " first picture %dx%d", view.shots.front().width, view.shots.front().height);
    std::fprintf(stderr, "\n");
  }
  return ok;
}

void RunSizing(const SizingCase& c, bool qt) {
  alarm(40);
  if (qt) EnsureApp();
  MediaSpec s;
  s.width = c.width;
  s.height = c.height;
  s.frames = 12;
  s.audio_codec = AV_CODEC_ID_NONE;
  const std::string clip =
      Media::Get().File("sizing-" + std::to_string(c.width) + "x" + std::to_string(c.height) + ".mp4", s);
  RecordingView view, late;
  bool ok;
  {
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.SetFrameDrop(false);
    p.SetVideoFilters(c.filters);
    p.RegisterView(&view);
    p.OpenMovie(clip, false, true);
    if (c.lateView) p.RegisterView(&late);
    ok = Await(qt, [&] { return view.Last() >= 11 && (!c.lateView || late.Last() >= 11); }, 15000);
    if (!ok) std::fprintf(stderr, "%s: the clip did not play to its end\n", c.name);
    ok = CheckView(view, c, "first", true) && ok;
    if (c.lateView) ok = CheckView(late, c, "late", false) && ok;
    {
      std::lock_guard<std::mutex> g(view.lock);
      ok = ok && !view.clears.empty() && view.clears.front() == 0xFF000000u;
    }
    p.CloseMovie();
  }
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

TEST(ViewSizing, ViewsAlwaysHaveTheirPicturesSizeInBothModes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const SizingCase& c : kCases)
    for (bool qt : {true, false})
      EXPECT_EXIT(RunSizing(c, qt), ::testing::ExitedWithCode(0), "") << c.name << (qt ? " (Qt events)" : " (direct)");
}

}  // namespace
}  // namespace kivora::testing
