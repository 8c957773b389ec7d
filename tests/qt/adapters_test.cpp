// The Qt adapters in the default mode (a Qt application, events on the GUI
// thread), watched with QSignalSpy: the player's states, position and
// duration signals on a real clip, a failed open, the converter's progress,
// states and completion with the file read back, its errors, and an adapter
// deleted from one of its own signals.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <algorithm>
#include <memory>

#include "kivora/qt/adapters.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

class QtAdapters : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "kivora_qt_tests";
    static char* argv[] = {name, nullptr};
    app = new QApplication(argc, argv);
    dir = new TempDir();
    MediaSpec s;  // 2 s, H.264 + AAC
    clip = MakeMedia(dir->Path("clip.mp4"), s);
  }
  static void TearDownTestSuite() {
    delete dir;
    delete app;
  }
  static QApplication* app;
  static TempDir* dir;
  static std::string clip;
};
QApplication* QtAdapters::app = nullptr;
TempDir* QtAdapters::dir = nullptr;
std::string QtAdapters::clip;

template <typename E>
std::vector<E> States(const QSignalSpy& spy) {
  std::vector<E> out;
  for (const auto& args : spy) out.push_back(args.at(0).value<E>());
  return out;
}

TEST_F(QtAdapters, PlayerGoesThroughItsStatesAndReportsThePosition) {
  qt::Player p;
  p.player().SetDisableAudio(true);
  p.setPositionInterval(50);
  QSignalSpy states(&p, &qt::Player::stateChanged);
  QSignalSpy started(&p, &qt::Player::started);
  QSignalSpy positions(&p, &qt::Player::positionChanged);
  QSignalSpy durations(&p, &qt::Player::durationChanged);
  QSignalSpy finished(&p, &qt::Player::playbackFinished);
  QSignalSpy source(&p, &qt::Player::sourceChanged);
  p.open(QString::fromStdString(clip));
  EXPECT_EQ(p.state(), qt::Player::Opening);
  ASSERT_TRUE(PumpUntil([&] { return finished.count() == 1; }, 20000));
  EXPECT_EQ(started.count(), 1);
  EXPECT_EQ(source.count(), 1);
  EXPECT_EQ(States<qt::Player::State>(states),
            (std::vector<qt::Player::State>{qt::Player::Opening, qt::Player::Playing, qt::Player::Ended}));
  ASSERT_EQ(durations.count(), 1);
  EXPECT_NEAR(durations.at(0).at(0).toDouble(), 2.0, 0.1);
  EXPECT_NEAR(p.duration(), 2.0, 0.1);
  // Positions at the interval while playing, forward, up to about the end.
  ASSERT_GE(positions.count(), 10);
  std::vector<double> seen;
  for (const auto& args : positions) seen.push_back(args.at(0).toDouble());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GT(seen.back(), 1.5);
  EXPECT_EQ(p.property("state").value<qt::Player::State>(), qt::Player::Ended);
  // The volume is a property with its signal, clamped to 0..1.
  QSignalSpy volumes(&p, &qt::Player::volumeChanged);
  EXPECT_TRUE(p.setProperty("volume", 0.25));
  p.setVolume(7);
  EXPECT_EQ(volumes.count(), 2);
  EXPECT_DOUBLE_EQ(p.volume(), 1.0);
  p.close();
  EXPECT_EQ(p.state(), qt::Player::Stopped);
}

TEST_F(QtAdapters, APlayerThatCannotOpenFailsWithTheReason) {
  qt::Player p;
  QSignalSpy errors(&p, &qt::Player::connectionError);
  p.open(QString::fromStdString(dir->Path("missing.mp4")));
  ASSERT_TRUE(PumpUntil([&] { return errors.count() == 1; }, 20000));
  EXPECT_FALSE(errors.at(0).at(0).toString().isEmpty());
  EXPECT_EQ(p.state(), qt::Player::Failed);
}

TEST_F(QtAdapters, ConverterReportsProgressStatesAndCompletion) {
  qt::Converter c;
  c.converter().ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  const QString out = QString::fromStdString(dir->Path("adapted.mkv"));
  c.setProperty("inputs", QStringList{QString::fromStdString(clip)});
  c.setOutputs({out});
  EXPECT_EQ(c.inputs(), QStringList{QString::fromStdString(clip)});
  QSignalSpy progress(&c, &qt::Converter::progressChanged);
  QSignalSpy states(&c, &qt::Converter::stateChanged);
  QSignalSpy completed(&c, &qt::Converter::completed);
  c.start();
  ASSERT_TRUE(PumpUntil([&] { return completed.count() == 1; }, 60000));
  EXPECT_TRUE(completed.at(0).at(0).toBool());
  EXPECT_EQ(c.progress(), 100);
  ASSERT_GE(progress.count(), 1);
  EXPECT_EQ(progress.last().at(0).toInt(), 100);
  const auto s = States<qt::Converter::State>(states);
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(s.front(), qt::Converter::Running);
  EXPECT_EQ(s.back(), qt::Converter::Idle);
  EXPECT_EQ(DecodeMedia(out.toStdString()).video.at(0).numbers.size(), 50u);

  // A failing run: errorOccurred with the reason, then completed(false).
  QSignalSpy errors(&c, &qt::Converter::errorOccurred);
  c.setInputs({QString::fromStdString(dir->Path("missing.mp4"))});
  c.start();
  ASSERT_TRUE(PumpUntil([&] { return completed.count() == 2; }, 60000));
  ASSERT_EQ(errors.count(), 1);
  EXPECT_TRUE(errors.at(0).at(0).toString().startsWith("Could not open file:"));
  EXPECT_EQ(c.lastError(), errors.at(0).at(0).toString());
  EXPECT_FALSE(completed.at(1).at(0).toBool());
}

TEST_F(QtAdapters, AnAdapterMayBeDeletedFromItsOwnSignals) {
  auto* c = new qt::Converter;
  c->converter().ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  c->setInputs({QString::fromStdString(clip)});
  c->setOutputs({QString::fromStdString(dir->Path("deleted.mkv"))});
  QPointer<qt::Converter> watch(c);
  QObject::connect(c, &qt::Converter::progressChanged, c, [c](int) { delete c; });
  c->start();
  ASSERT_TRUE(PumpUntil([&] { return watch.isNull(); }, 60000));

  auto* p = new qt::Player;
  p->player().SetDisableAudio(true);
  QPointer<qt::Player> pw(p);
  QObject::connect(p, &qt::Player::started, p, [p] { delete p; });
  p->open(QString::fromStdString(clip));
  ASSERT_TRUE(PumpUntil([&] { return pw.isNull(); }, 20000));
  PumpUntil([] { return false; }, 200);  // nothing reaches the deleted adapters
}

}  // namespace
