// The player with encrypted media through "stream:" URLs: a file and an
// HTTP resource play every picture to the last and seek; a cut connection
// ends in an error, a wrong key fails the open.
#include <gtest/gtest.h>

#include "kivora/io/aes_stream.h"
#include "kivora/io/url.h"
#include "player_test_util.h"
#include "support/http_file_server.h"

namespace kivora::testing {
namespace {

const std::string kKey = "Kivora-Test-Key!";

// The 75-picture MP4 (index at the end) and its encrypted copy, whose size
// is not a multiple of 256.
const std::string& Encrypted(const std::string& container = "mp4") {
  static std::map<std::string, std::string> made;
  auto it = made.find(container);
  if (it == made.end()) {
    const std::string& plain = VideoClip(75, container);
    const std::string enc = plain + ".enc";
    EncryptFileByAES(plain, enc, kKey);
    it = made.emplace(container, enc).first;
  }
  return it->second;
}

using AESInputTest = PlayerFixture;

TEST_F(AESInputTest, AnEncryptedFileAndItsHttpCopyPlayLikeThePlainFileAndSeek) {
  ASSERT_NE(ReadAll(VideoClip(75)).size() % 256, 0u) << "the clip should end in a partial chunk";
  HttpFileServer server(ReadAll(Encrypted()), {});
  std::vector<int> landed;
  std::vector<std::vector<int>> played;
  for (int source = 0; source < 3; ++source) {
    std::unique_ptr<TStream> s;
    std::string url = VideoClip(75);
    if (source == 1) s = std::make_unique<TAVAESStream>(Encrypted(), fmOpenRead, kKey);
    if (source == 2) s = std::make_unique<TAVAESNetStream>(server.Url("clip.enc"), kKey);
    if (s) url = StreamUrl(*s, "mp4");
    Make();
    int finished = 0;
    player->OnPlaybackFinished = [&](TComponent*) { finished++; };
    const int before = view.Count();
    player->OpenMovie(url, true, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() > before && player->Paused(); }, 5000)) << source;
    player->SetSeekPositionMode(spBackwardRequest);
    const int seek_from = view.Count();
    player->SetPosition(1.3);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() > seek_from && player->Paused(); }, 5000)) << source;
    Wait(200);
    landed.push_back(view.Last());
    const int play_from = view.Count();
    player->Play();
    ASSERT_TRUE(PumpUntil([&] { return finished > 0 && view.Last() == 74; }, 10000))
        << source << ": " << view.Last() << " " << player->LastErrorMessage();
    const std::vector<int> n = view.Numbers();
    played.emplace_back(n.begin() + play_from, n.end());
    CloseAndWait(*player);
    player.reset();
  }
  EXPECT_EQ(landed[1], landed[0]);
  EXPECT_EQ(landed[2], landed[0]);
  for (int source = 1; source < 3; ++source) {
    // Late pictures may be dropped, never repeated or garbled.
    for (size_t i = 1; i < played[source].size(); ++i) ASSERT_GT(played[source][i], played[source][i - 1]) << source;
    EXPECT_EQ(played[source].back(), 74);
  }
}

TEST_F(AESInputTest, ACutConnectionEndsInAnErrorAndAWrongKeyFailsTheOpen) {
  const std::string enc = ReadAll(Encrypted("mpegts"));
  {
    HttpFileServer server(enc, {.ranges = false, .cutAfter = static_cast<long long>(enc.size() / 2)});
    TAVAESNetStream s(server.Url("clip.enc"), kKey);
    Make();
    int finished = 0;
    player->OnPlaybackFinished = [&](TComponent*) { finished++; };
    player->OpenMovie(StreamUrl(s, "ts"), false, false);
    ASSERT_TRUE(PumpUntil([&] { return finished > 0; }, 15000));
    EXPECT_NE(player->LastErrorMessage().find("read failed"), std::string::npos)
        << "a quiet end: " << player->LastErrorMessage();
    EXPECT_LT(view.Last(), 74);
    CloseAndWait(*player);
    player.reset();
  }
  HttpFileServer server(ReadAll(Encrypted()), {});
  TAVAESNetStream s(server.Url("clip.enc"), "Not-The-Key-1234");
  Make();
  std::vector<std::string> errors;
  player->OnConnectionError = [&](TComponent*, const std::string& e) { errors.push_back(e); };
  player->OpenMovie(StreamUrl(s, "mp4"), false, false);
  const int before = view.Count();
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }, 10000));
  EXPECT_EQ(view.Count(), before);
  EXPECT_FALSE(s.Connected());
}

TEST_F(AESInputTest, ClosingWhileTheServerSaysNothingReturnsAtOnce) {
  // The listener takes the connection but never answers: the open waits
  // inside the network stream's connection until the close interrupts it.
  LoopbackListener silent;
  ASSERT_NE(silent.Port(), 0);
  TAVAESNetStream s("http://127.0.0.1:" + std::to_string(silent.Port()) + "/clip.enc", kKey);
  Make();
  std::vector<std::string> errors;
  player->OnConnectionError = [&](TComponent*, const std::string& e) { errors.push_back(e); };
  player->OpenMovie(StreamUrl(s, "mp4"), false, false);
  Wait(500);
  EXPECT_TRUE(errors.empty());
  const auto t0 = Clock::now();
  ASSERT_TRUE(player->CloseMovie());
  ASSERT_TRUE(PumpUntil([&] { return !player->Playing(); }, 5000));
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  EXPECT_LT(ms, 3000) << "the connection did not see the close";
  EXPECT_FALSE(s.Connected());
}

}  // namespace
}  // namespace kivora::testing
