// Handlers that close, reopen or destroy their own player, in the Qt-event
// mode and in the direct mode (no Qt application: handlers run on the
// player's threads). Each case runs in a child process of its own, with no
// Qt application unless the case makes one, and a time limit, so a hang
// fails the case instead of the whole program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include <SDL_mixer.h>

#include "player_test_util.h"

namespace kivora::testing {
namespace {

enum class THandler { Start, ConnectionError, VideoDisplay, Log };
enum class TAction { Reopen, ReopenBlocking, Close, Destroy };

struct HandlerCase {
  THandler handler;
  TAction action;
  bool qt;  // the default mode with a Qt application, else the direct mode
  bool cover = false;  // a sound file whose only picture is its cover
  // OnStart takes its time: the pictures (and their handler, on the refresh
  // thread in the direct mode) run meanwhile.
  bool slowStart = false;
};

std::string Name(const HandlerCase& c) {
  const char* h[] = {"OnStart", "OnConnectionError", "OnVideoDisplay", "OnLog"};
  const char* a[] = {"reopen", "blocking reopen", "close", "destroy"};
  return std::string(h[static_cast<int>(c.handler)]) + " " + a[static_cast<int>(c.action)] +
         (c.cover ? " on a cover" : "") + (c.slowStart ? " during a slow OnStart" : "") +
         (c.qt ? " (Qt events)" : " (direct)");
}

// An MP3 sound file, with an ID3 cover picture when asked for.
std::string SoundFile(bool cover) {
  MediaSpec s;
  s.container = "mp3";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_codec = AV_CODEC_ID_MP3;
  s.cover_picture = cover;
  return Media::Get().File(cover ? "handler-cover.mp3" : "many-players.mp3", s);
}

// Runs a child-process case once in each event mode; it must exit 0.
void ExpectInBothModes(void (*run)(bool qt)) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (bool qt : {true, false})
    EXPECT_EXIT(run(qt), ::testing::ExitedWithCode(0), "") << (qt ? "Qt events" : "direct");
}

// The child: exits 0 when the case ended as it should, 1 otherwise.
void RunCase(const HandlerCase& c) {
  alarm(40);  // a hang ends the child with SIGALRM
  if (c.qt) EnsureApp();
  const std::string good = VideoClip(50);
  std::string first = c.handler == THandler::ConnectionError ? good + ".missing" : good;
  if (c.cover) {
    first = SoundFile(true);
  }
  auto player = std::make_unique<TAVPlayer>();
  // The cover is shown while the sound plays; the moving clip needs none.
  player->SetDisableAudio(!c.cover);
  // Slow builds (the thread sanitizer) decode late: no picture is dropped,
  // so the display handler always runs.
  player->SetFrameDrop(false);
  RecordingView view;
  player->RegisterView(&view);
  std::atomic<int> starts{0}, errors{0}, actions{0}, done{0};
  std::atomic<bool> gone{false};
  auto act = [&] {
    if (actions++ > 0) return;  // once
    switch (c.action) {
      case TAction::Reopen: player->OpenMovie(good, false, false); break;
      case TAction::ReopenBlocking: player->OpenMovie(good, false, true); break;
      case TAction::Close: player->CloseMovie(); break;
      case TAction::Destroy:
        player.reset();
        gone = true;
        break;
    }
    done = 1;
  };
  player->OnStart = [&](TComponent*) {
    starts++;
    if (c.slowStart) usleep(300000);
    if (c.handler == THandler::Start) act();
  };
  player->OnConnectionError = [&](TComponent*, const std::string&) {
    errors++;
    if (c.handler == THandler::ConnectionError) act();
  };
  player->OnVideoDisplay = [&](TComponent*, AVFrame*) {
    if (c.handler == THandler::VideoDisplay) act();
  };
  if (c.handler == THandler::Log) {
    // The decoders' and the player's own lines at the verbose level come
    // while the movie opens.
    player->SetLogLevel(llVerbose);
    player->OnLog = [&](TComponent*, int, const std::string&) { act(); };
  }
  player->OpenMovie(first, false, false);
  bool ok = Await(c.qt, [&] { return done > 0; }, 15000);
  if (!ok) std::fprintf(stderr, "the handler never ran\n");
  if (ok && (c.action == TAction::Reopen || c.action == TAction::ReopenBlocking)) {
    // The new movie plays: a start of its own and pictures to its end.
    // A log line may come while the first movie still opens: the reopen
    // then replaces it before its OnStart.
    const int wantStarts = c.handler == THandler::ConnectionError || c.handler == THandler::Log ? 1 : 2;
    ok = Await(c.qt, [&] { return view.Last() == 49 && starts >= wantStarts; }, 15000);
    if (!ok)
      std::fprintf(stderr, "the reopened movie did not play: starts %d, errors %d, last picture %d, playing %d: %s\n",
                   starts.load(), errors.load(), view.Last(), player->Playing(), player->LastErrorMessage().c_str());
  }
  if (ok && c.action == TAction::Close)
    ok = Await(c.qt, [&] { return !player->Playing(); }, 10000);
  if (ok && c.action == TAction::Destroy) ok = gone;
  if (player) player->CloseMovie();
  player.reset();
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

class PlayerHandlersTest : public ::testing::TestWithParam<HandlerCase> {};

TEST_P(PlayerHandlersTest, TheHandlerMayCloseReopenOrDestroyItsPlayer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunCase(GetParam()), ::testing::ExitedWithCode(0), "") << Name(GetParam());
}

std::vector<HandlerCase> AllCases() {
  std::vector<HandlerCase> v;
  for (THandler h : {THandler::Start, THandler::ConnectionError, THandler::VideoDisplay, THandler::Log})
    for (TAction a : {TAction::Reopen, TAction::ReopenBlocking, TAction::Close, TAction::Destroy})
      for (bool qt : {true, false}) {
        v.push_back({h, a, qt});
        // Without a Qt application the display handler runs on the refresh
        // thread, which then has to let itself go.
        if (h == THandler::VideoDisplay) v.push_back({h, a, qt, true});
      }
  // Destroyed from the refresh thread while the opener is still inside
  // OnStart: the opener must still finish, or the destructor waits for it.
  v.push_back({THandler::VideoDisplay, TAction::Destroy, false, false, true});
  v.push_back({THandler::VideoDisplay, TAction::Close, false, false, true});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Cases, PlayerHandlersTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<HandlerCase>& info) {
                           std::string n = Name(info.param);
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// A throwing OnStart fails the open with the usual error event and leaves
// the player closed and usable; the application halting or closing the
// sound system under a playing movie does not stop its close.
void RunFaultCase(int which, bool qt) {
  alarm(25);
  if (qt) EnsureApp();
  MediaSpec s;
  s.frames = 50;
  const std::string clip = Media::Get().File("both.mp4", s);
  TAVPlayer p;
  std::atomic<int> errors{0}, starts{0};
  std::string error;
  bool ok = true;
  if (which == 0) {
    p.SetDisableAudio(true);
    p.OnStart = [&](TComponent*) {
      if (starts++ == 0) throw std::runtime_error("the application's own failure");
    };
    p.OnConnectionError = [&](TComponent*, const std::string& e) {
      error = e;
      errors++;
    };
    p.OpenMovie(clip, false, false);
    ok = Await(qt, [&] { return errors > 0 && !p.Playing(); }, 10000) &&
         error.find("the application's own failure") != std::string::npos;
    if (!ok) std::fprintf(stderr, "errors %d playing %d: %s\n", errors.load(), p.Playing(), error.c_str());
    p.OpenMovie(clip, false, false);  // usable again
    ok = ok && Await(qt, [&] { return starts == 2 && p.Playing(); }, 10000);
  } else {
    p.SetDisableAudio(false);
    RecordingView view;
    p.RegisterView(&view);
    p.OpenMovie(clip, false, false);
    ok = Await(qt, [&] { return view.Count() >= 5; }, 10000);
    if (which == 1) Mix_HaltChannel(-1);
    if (which == 2) Mix_CloseAudio();
    ok = ok && p.CloseMovie() && Await(qt, [&] { return !p.Playing(); }, 10000);
    if (!ok) std::fprintf(stderr, "did not close: %s\n", p.LastErrorMessage().c_str());
  }
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

TEST(PlayerHandlerFaults, AThrowingOnStartFailsTheOpenAndASoundSystemStoppedUnderTheMovieDoesNotStopItsClose) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int which : {0, 1, 2})
    for (bool qt : {true, false})
      EXPECT_EXIT(RunFaultCase(which, qt), ::testing::ExitedWithCode(0), "") << "case " << which << (qt ? " (Qt)" : "");
}

// More players with sound at once than the mixer has channels (it opens
// with eight): each still plays its sound to the end.
void RunManyPlayers(bool qt) {
  alarm(40);
  if (qt) EnsureApp();
  const std::string sound = SoundFile(false);
  constexpr int kPlayers = 12;
  std::vector<std::unique_ptr<TAVPlayer>> players;
  std::atomic<int> finished{0}, errors{0};
  for (int i = 0; i < kPlayers; ++i) {
    auto p = std::make_unique<TAVPlayer>();
    p->OnPlaybackFinished = [&](TComponent*) { finished++; };
    p->OnConnectionError = [&](TComponent*, const std::string&) { errors++; };
    players.push_back(std::move(p));
  }
  for (auto& p : players) p->OpenMovie(sound, false, true);
  const bool ok = Await(qt, [&] { return finished == kPlayers; }, 30000);
  if (!ok) {
    int withSound = 0;
    for (auto& p : players) withSound += p->AudioStreamIndex() >= 0;
    std::fprintf(stderr, "%d of %d finished, %d with sound, %d errors\n", finished.load(), kPlayers, withSound,
                 errors.load());
  }
  for (auto& p : players) p->CloseMovie();
  players.clear();
  std::fflush(stderr);
  std::_Exit(ok && errors == 0 ? 0 : 1);
}

TEST(PlayerHandlerFaults, MorePlayersWithSoundThanMixerChannelsEachPlayToTheEnd) { ExpectInBothModes(RunManyPlayers); }

// Without any sound device a sound file with a cover picture shows the cover
// and then ends (it waited for ever: nothing took packets, so the input was
// never read to its end).
void RunCoverWithoutSound(bool qt) {
  alarm(30);
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  if (qt) EnsureApp();
  const std::string cover = SoundFile(true);
  TAVPlayer p;
  RecordingView view;
  p.RegisterView(&view);
  std::atomic<int> finished{0};
  p.OnPlaybackFinished = [&](TComponent*) { finished++; };
  p.OpenMovie(cover, false, true);
  const bool ok = Await(qt, [&] { return finished > 0 && view.Count() >= 1; }, 10000);
  if (!ok)
    std::fprintf(stderr, "finished %d, pictures %d, sound stream %d: %s\n", finished.load(), view.Count(),
                 p.AudioStreamIndex(), p.LastErrorMessage().c_str());
  p.CloseMovie();
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

TEST(PlayerHandlerFaults, ACoverWhoseSoundCannotBeOpenedStillEnds) { ExpectInBothModes(RunCoverWithoutSound); }

}  // namespace
}  // namespace kivora::testing
