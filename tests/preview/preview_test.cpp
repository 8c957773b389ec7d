// The preview widget: opening and previewing through the event loop, its
// messages, failures, requests that overtake each other, destruction with
// work pending, and what each wrap mode puts on screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "kivora/io/url.h"
#include "kivora/platform/message.h"
#include "kivora/preview/preview.h"
#include "kivora/runtime/ffmpeg.h"
#include "preview/silent_server.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

const std::string& Clip() {
  static TempDir dir;
  static const std::string path = [] {
    MediaSpec m;
    m.frames = 50;  // 2 s, a key frame every 12
    return MakeMedia(dir.Path("clip.mp4"), m);
  }();
  return path;
}

// A clip like Clip() in another container: "mpegts" starts late, "h264"
// (raw, no sound) does not know its length.
const std::string& ClipIn(const std::string& container) {
  static TempDir dir;
  static std::map<std::string, std::string> made;
  auto it = made.find(container);
  if (it == made.end()) {
    MediaSpec m;
    m.frames = 50;
    m.container = container;
    if (container == "h264") m.audio_codec = AV_CODEC_ID_NONE;
    it = made.emplace(container, MakeMedia(dir.Path("clip." + container), m)).first;
  }
  return it->second;
}

int ShownFrame(TAVPreview& p) {
  TBitmapData d;
  if (!p.Bitmap().Map(TMapAccess::Read, d)) return -2;
  const int n = ReadFrameNumber(d.Data, d.Width, d.Height, d.Pitch);
  p.Bitmap().Unmap(d);
  return n;
}

class PreviewTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous = SetShowMessageHandler([this](const std::string& text) { messages.push_back(text); });
    preview->OnActive = [this](TComponent*) { ++actives; };
    preview->OnError = [this](TComponent*) { ++errors; };
    preview->OnBitmapChanged = [this](TComponent*) { ++pictures; };
  }
  void TearDown() override { SetShowMessageHandler(previous); }

  // Activates and waits for the open to end either way.
  bool Activate(const std::string& file) {
    preview->SetInputFile(file);
    const int before = actives + errors;
    preview->SetActive(true);
    return PumpUntil([&] { return actives + errors > before; }, 20000) && preview->Active();
  }

  QApplication* app = EnsureApp();
  std::unique_ptr<TAVPreview> preview = std::make_unique<TAVPreview>();
  TShowMessageHandler previous;
  std::vector<std::string> messages;
  int actives = 0, errors = 0, pictures = 0;
};

TEST_F(PreviewTest, ShowsThePictureAtEachTimestamp) {
  EXPECT_EQ(preview->WrapMode(), TImageWrapMode::Fit);
  ASSERT_TRUE(Activate(Clip()));
  EXPECT_EQ(actives, 1);
  EXPECT_EQ(ShownFrame(*preview), 0);
  EXPECT_EQ(pictures, 1);
  EXPECT_NEAR(preview->Duration(), 2.0, 0.1);
  struct {
    double at;
    bool accurate;
    int frame;
  } cases[] = {{0.7, false, 12}, {1.5, true, 37}, {0.0, true, 0}, {1.5, false, 36}, {0.0, false, 0}};
  for (const auto& c : cases) {
    preview->SetAccurate(c.accurate);
    preview->Settimestamp(c.at);
    ASSERT_TRUE(PumpUntil([&] { return ShownFrame(*preview) == c.frame; }, 20000)) << c.at;
    // The position becomes the shown picture's own time.
    ASSERT_TRUE(PumpUntil([&] { return std::abs(preview->timestamp() - c.frame * 0.04) < 1e-3; }, 5000)) << c.at;
  }
  // One OnBitmapChanged for each picture shown.
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(pictures, 1 + static_cast<int>(std::size(cases)));
  EXPECT_TRUE(messages.empty());
}

TEST_F(PreviewTest, RefusedTimestampsChangeNothing) {
  preview->Settimestamp(1.0);  // inactive: not kept
  EXPECT_EQ(preview->timestamp(), 0.0);
  ASSERT_TRUE(Activate(Clip()));
  EXPECT_EQ(ShownFrame(*preview), 0);
  for (double t : {5.0, -1.0, std::nan("")}) preview->Settimestamp(t);
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(preview->timestamp(), 0.0);
  EXPECT_EQ(ShownFrame(*preview), 0);
  EXPECT_EQ(messages, std::vector<std::string>{"timestamp can not be large than stream duration!"});
  // The text reaches the application through the preview too.
  EXPECT_EQ(preview->LastError(), "timestamp can not be large than stream duration!");
  EXPECT_EQ(errors, 1);

  preview->SetActive(false);
  preview->SetDesigning(true);
  preview->SetActive(true);
  EXPECT_FALSE(preview->Active());
  EXPECT_EQ(messages.back(), "You can only set active=true at runtime!");
  EXPECT_EQ(preview->LastError(), "You can only set active=true at runtime!");
  EXPECT_EQ(errors, 2);
}

// Waits for picture frame to be shown with its own time (25 a second).
::testing::AssertionResult Shows(TAVPreview& p, int frame) {
  if (!PumpUntil([&] { return ShownFrame(p) == frame && std::abs(p.timestamp() - frame * 0.04) < 1e-3; }, 20000))
    return ::testing::AssertionFailure() << "shows " << ShownFrame(p) << " at " << p.timestamp() << ", not " << frame;
  return ::testing::AssertionSuccess();
}

TEST_F(PreviewTest, ClosingForgetsTheOldFilesStartAndPosition) {
  // MPEG-TS starts late: its times are counted from the video's own start.
  ASSERT_TRUE(Activate(ClipIn("mpegts")));
  EXPECT_GT(preview->StartTime(), 0);
  preview->SetAccurate(true);
  preview->Settimestamp(1.5);
  ASSERT_TRUE(Shows(*preview, 37));
  preview->CloseFile();
  EXPECT_FALSE(preview->Active());
  EXPECT_EQ(preview->StartTime(), 0);
  EXPECT_EQ(preview->timestamp(), 0.0);
  EXPECT_EQ(preview->Duration(), 0.0);
  // The next file opens at its own start, and its times are its own.
  ASSERT_TRUE(Activate(Clip()));
  EXPECT_EQ(preview->StartTime(), 0);
  EXPECT_TRUE(Shows(*preview, 0));
  preview->Settimestamp(0.7);
  EXPECT_TRUE(Shows(*preview, 17));
  // And back: the late start is found again.
  preview->CloseFile();
  ASSERT_TRUE(Activate(ClipIn("mpegts")));
  EXPECT_GT(preview->StartTime(), 0);
  preview->Settimestamp(0.7);
  EXPECT_TRUE(Shows(*preview, 17));
  EXPECT_TRUE(messages.empty());
}

TEST_F(PreviewTest, AnApplicationStreamPreviewsLikeItsFile) {
  TMemoryStream s;
  s.LoadFromFile(Clip());
  ASSERT_TRUE(Activate(StreamUrl(s, "mp4")));
  EXPECT_NEAR(preview->Duration(), 2.0, 0.1);
  preview->SetAccurate(true);
  preview->Settimestamp(1.5);
  EXPECT_TRUE(Shows(*preview, 37));
  preview->CloseFile();
  // Closed, the stream is free for the next input.
  ASSERT_TRUE(Activate(StreamUrl(s, "mp4")));
  EXPECT_TRUE(Shows(*preview, 0));
}

TEST_F(PreviewTest, AFileOfUnknownLengthTakesAnyValidTime) {
  ASSERT_TRUE(Activate(ClipIn("h264")));
  EXPECT_TRUE(std::isnan(preview->Duration()));
  preview->SetAccurate(true);
  preview->Settimestamp(1.5);
  ASSERT_TRUE(Shows(*preview, 37));
  // Not times: refused without a message, the picture stays.
  for (double t : {std::nan(""), -1.0, -1e-9}) preview->Settimestamp(t);
  PumpUntil([] { return false; }, 300);
  EXPECT_TRUE(Shows(*preview, 37));
  EXPECT_TRUE(messages.empty());
  preview->Settimestamp(0.0);
  EXPECT_TRUE(Shows(*preview, 0));
}

TEST_F(PreviewTest, ANewerRequestReplacesOneStillWaiting) {
  ASSERT_TRUE(Activate(Clip()));
  preview->SetAccurate(true);
  for (int i = 1; i <= 40; ++i) preview->Settimestamp(i * 0.04);
  ASSERT_TRUE(PumpUntil([&] { return ShownFrame(*preview) == 40; }, 20000));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(ShownFrame(*preview), 40);  // no older picture arrives after it
}

TEST_F(PreviewTest, FailedOpensRaiseOnErrorAndMayReactivateWithoutRecursion) {
  MediaSpec audioOnly;
  audioOnly.video_codec = AV_CODEC_ID_NONE;
  TempDir dir;
  const std::string files[] = {dir.Path("missing.mp4"), MakeMedia(dir.Path("audio.m4a"), audioOnly)};
  for (const std::string& f : files) {
    EXPECT_FALSE(Activate(f)) << f;
    EXPECT_GT(errors, 0);
    EXPECT_FALSE(preview->LastError().empty());
  }
  // A handler that tries again: each try is a new trip through the event
  // loop, not a call inside the previous one.
  int depth = 0, maxDepth = 0, tries = 0;
  preview->OnError = [&](TComponent*) {
    maxDepth = std::max(maxDepth, ++depth);
    if (++tries < 3) preview->SetActive(true);
    --depth;
  };
  preview->SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return tries == 3; }, 20000));
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(actives, 0);
}

TEST_F(PreviewTest, AnInputThatNeverAnswersEndsInOnErrorWhileTheGuiRuns) {
  SilentServer server;
  ASSERT_FALSE(server.Url().empty());
  preview->SetTimeoutMs(500);
  preview->SetInputFile(server.Url());
  preview->SetActive(true);  // returns at once
  int ticks = 0;
  ASSERT_TRUE(PumpUntil([&] {
    ++ticks;
    return errors == 1;
  }, 20000));
  EXPECT_GT(ticks, 1);  // the event loop kept running meanwhile
  EXPECT_FALSE(preview->Active());
}

TEST_F(PreviewTest, ClosingOrDestroyingWithWorkPendingDropsIt) {
  ASSERT_TRUE(Activate(Clip()));
  preview->SetAccurate(true);
  preview->Settimestamp(1.9);
  preview->SetInputFile(Clip());  // closes at once
  EXPECT_FALSE(preview->Active());
  EXPECT_EQ(preview->timestamp(), 0.0);
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(ShownFrame(*preview), 0);  // the dropped seek never arrived
  // Destroyed right after asking for an open and a seek.
  for (int i = 0; i < 5; ++i) {
    auto p = std::make_unique<TAVPreview>();
    p->SetInputFile(Clip());
    p->SetActive(true);
    PumpUntil([] { return false; }, i * 20);
    p->Settimestamp(1.0);
  }
  PumpUntil([] { return false; }, 200);
}

TEST_F(PreviewTest, EachWrapModePaintsThePicture) {
  // A 100 x 50 picture: left half red, right half green.
  const QRgb red = 0xFFFF0000u, green = 0xFF00FF00u, back = 0xFF0000FFu;
  QImage img(100, 50, QImage::Format_RGBA8888);
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 100; ++x) img.setPixel(x, y, x < 50 ? red : green);
  AVFramePtr frame(av_frame_alloc());
  frame->data[0] = img.bits();
  frame->linesize[0] = static_cast<int>(img.bytesPerLine());
  preview->SaveAsBmp(frame.get(), 100, 50);
  QPalette pal = preview->palette();
  pal.setColor(QPalette::Window, QColor::fromRgba(back));
  preview->setPalette(pal);
  preview->setAutoFillBackground(true);
  preview->resize(400, 400);

  struct {
    TImageWrapMode mode;
    TBounds margins;
    std::vector<std::tuple<int, int, QRgb>> probes;
  } cases[] = {
      // Fit: 400 x 200, centred vertically, enlarged.
      {TImageWrapMode::Fit, {}, {{10, 110, red}, {390, 290, green}, {200, 50, back}, {200, 350, back}}},
      {TImageWrapMode::Stretch, {}, {{10, 10, red}, {390, 390, green}}},
      {TImageWrapMode::Original, {}, {{10, 10, red}, {90, 40, green}, {150, 10, back}, {10, 60, back}}},
      {TImageWrapMode::Tile, {}, {{10, 60, red}, {160, 110, green}, {390, 390, green}}},
      {TImageWrapMode::Center, {}, {{200, 200, back}}},
      {TImageWrapMode::Place, {}, {{200, 200, back}}},
      // Nine slices: the 10-pixel corners keep their size.
      {TImageWrapMode::Center, {10, 10, 10, 10}, {{5, 5, red}, {395, 395, green}, {150, 200, red}}},
  };
  for (const auto& c : cases) {
    preview->SetWrapMode(c.mode);
    preview->BitmapMargins() = c.margins;
    const QImage shown = preview->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    for (auto [x, y, colour] : c.probes)
      EXPECT_EQ(shown.pixel(x, y), colour) << static_cast<int>(c.mode) << " at " << x << "," << y;
  }
}

}  // namespace
