// The preview and motion detector adapters in the default mode (a Qt
// application, the preview's events on the GUI thread), watched with
// QSignalSpy: the pictures a preview shows at asked-for times, read back by
// their frame numbers and scaled to a requested size; its refusals and
// failures; the detector fed a clip with motion and a still one (both read
// through the preview); its clamped settings; the thread its signals come
// on; and both adapters deleted from their own signals.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMetaProperty>
#include <QPointer>
#include <QSignalSpy>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kivora/qt/adapters.h"
#include "kivora/qt/preview_adapters.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

int FrameOf(const QImage& picture) {
  if (picture.isNull()) return -2;
  const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
  return ReadFrameNumber(rgba.constBits(), rgba.width(), rgba.height(), static_cast<int>(rgba.bytesPerLine()));
}

struct Picture {
  QImage image;
  double seconds = 0;
};

class QtPreviewAdapters : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // The other suite of this program makes and deletes its own application;
    // one is made here only when none is there.
    if (!QCoreApplication::instance()) {
      static int argc = 1;
      static char name[] = "kivora_qt_tests";
      static char* argv[] = {name, nullptr};
      app = new QApplication(argc, argv);
    }
    dir = new TempDir();
    MediaSpec s;  // 2 s at 25 a second, a key frame every 12; something moves in every frame
    moving = MakeMedia(dir->Path("moving.mp4"), s);
    still = MakeStill(dir->Path("still.mp4"));
  }
  static void TearDownTestSuite() {
    delete dir;
    delete app;
    app = nullptr;
  }

  // Two seconds of one flat colour, made by the converter from a lavfi source.
  static std::string MakeStill(const std::string& path) {
    qt::Converter c;
    TStringList formats;
    formats.Add("lavfi");
    c.converter().ConvertOptions().SetInputFormats(formats);
    c.converter().ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    c.setInputs({"color=c=0x406080:size=320x240:rate=25:duration=2"});
    c.setOutputs({QString::fromStdString(path)});
    QSignalSpy completed(&c, &qt::Converter::completed);
    c.start();
    if (!PumpUntil([&] { return completed.count() == 1; }, 60000) || !completed.at(0).at(0).toBool())
      throw std::runtime_error("the still clip could not be made: " + c.lastError().toStdString());
    return path;
  }

  // Every picture of a clip of 25 a second, each asked for at its own time
  // in accurate mode.
  static std::vector<Picture> Pictures(const std::string& file, int count) {
    qt::Preview p;
    p.setAccurate(true);
    QSignalSpy ready(&p, &qt::Preview::pictureReady);
    QSignalSpy opened(&p, &qt::Preview::opened);
    p.open(QString::fromStdString(file));
    std::vector<Picture> out;
    if (!PumpUntil([&] { return opened.count() == 1; }, 20000)) return out;
    for (int n = 0; n < count; ++n) {
      if (n > 0) {
        const int before = ready.count();
        p.showTime(n * 0.04 + 0.001);  // inside picture n, whatever the rounding
        if (!PumpUntil([&] { return ready.count() > before; }, 20000)) return out;
      }
      out.push_back({ready.last().at(0).value<QImage>(), ready.last().at(1).toDouble()});
    }
    return out;
  }

  static QApplication* app;
  static TempDir* dir;
  static std::string moving, still;
};
QApplication* QtPreviewAdapters::app = nullptr;
TempDir* QtPreviewAdapters::dir = nullptr;
std::string QtPreviewAdapters::moving;
std::string QtPreviewAdapters::still;

TEST_F(QtPreviewAdapters, PreviewShowsThePictureOfEachAskedForTime) {
  qt::Preview p;
  QSignalSpy opened(&p, &qt::Preview::opened);
  QSignalSpy ready(&p, &qt::Preview::pictureReady);
  QSignalSpy times(&p, &qt::Preview::timestampChanged);
  QSignalSpy durations(&p, &qt::Preview::durationChanged);
  QSignalSpy actives(&p, &qt::Preview::activeChanged);
  QSignalSpy files(&p, &qt::Preview::inputFileChanged);
  QSignalSpy errors(&p, &qt::Preview::errorOccurred);
  bool onGuiThread = true;
  QObject::connect(&p, &qt::Preview::pictureReady, &p, [&] { onGuiThread &= QThread::currentThread() == qApp->thread(); });

  EXPECT_TRUE(p.setProperty("inputFile", QString::fromStdString(moving)));
  EXPECT_EQ(files.count(), 1);
  EXPECT_FALSE(p.active());
  p.open();
  ASSERT_TRUE(PumpUntil([&] { return opened.count() == 1; }, 20000));
  // The first picture comes before opened(), at the start.
  ASSERT_EQ(ready.count(), 1);
  EXPECT_EQ(FrameOf(ready.at(0).at(0).value<QImage>()), 0);
  EXPECT_EQ(ready.at(0).at(1).toDouble(), 0.0);
  EXPECT_EQ(p.picture().size(), QSize(320, 240));
  ASSERT_EQ(durations.count(), 1);
  EXPECT_NEAR(durations.at(0).at(0).toDouble(), 2.0, 0.1);
  ASSERT_EQ(actives.count(), 1);
  EXPECT_TRUE(actives.at(0).at(0).toBool());
  EXPECT_TRUE(p.property("active").toBool());

  struct {
    double at;
    bool accurate;
    int frame;
  } cases[] = {{0.7, true, 17}, {1.5, true, 37}, {0.7, false, 12}, {1.5, false, 36}, {0.0, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.at << (c.accurate ? " accurate" : " fast"));
    p.setProperty("accurate", c.accurate);
    const int before = ready.count();
    EXPECT_TRUE(p.setProperty("timestamp", c.at));
    // The asked-for time at once, then the picture's own time with it.
    ASSERT_GE(times.count(), 1);
    EXPECT_DOUBLE_EQ(times.last().at(0).toDouble(), c.at);
    ASSERT_TRUE(PumpUntil([&] { return ready.count() > before; }, 20000));
    const QImage shown = ready.last().at(0).value<QImage>();
    EXPECT_EQ(FrameOf(shown), c.frame);
    EXPECT_EQ(shown.size(), QSize(320, 240));
    EXPECT_NEAR(ready.last().at(1).toDouble(), c.frame * 0.04, 1e-3);
    EXPECT_NEAR(p.timestamp(), c.frame * 0.04, 1e-3);
    EXPECT_NEAR(times.last().at(0).toDouble(), c.frame * 0.04, 1e-3);
    // A grab at a size of its own is that picture at that size.
    for (QSize size : {QSize(160, 120), QSize(640, 360), QSize()}) {
      const QImage g = p.grab(size);
      EXPECT_EQ(g.size(), size.isEmpty() ? QSize(320, 240) : size);
      EXPECT_EQ(FrameOf(g), c.frame) << size.width();
    }
  }
  EXPECT_TRUE(onGuiThread);
  EXPECT_EQ(errors.count(), 0);
  EXPECT_EQ(opened.count(), 1);

  // Closing tells the properties' new values.
  p.close();
  EXPECT_FALSE(p.active());
  EXPECT_FALSE(actives.last().at(0).toBool());
  EXPECT_EQ(durations.last().at(0).toDouble(), 0.0);
}

TEST_F(QtPreviewAdapters, PreviewRefusalsAndFailuresComeAsErrors) {
  qt::Preview p;
  QSignalSpy errors(&p, &qt::Preview::errorOccurred);
  QSignalSpy ready(&p, &qt::Preview::pictureReady);
  QSignalSpy opened(&p, &qt::Preview::opened);
  QSignalSpy timeouts(&p, &qt::Preview::timeoutMsChanged);
  EXPECT_TRUE(p.setProperty("timeoutMs", 3000));
  p.setTimeoutMs(3000);
  ASSERT_EQ(timeouts.count(), 1);
  EXPECT_EQ(timeouts.at(0).at(0).toInt(), 3000);
  EXPECT_EQ(p.component().TimeoutMs(), 3000);

  // A file that is not there.
  p.open(QString::fromStdString(dir->Path("missing.mp4")));
  ASSERT_TRUE(PumpUntil([&] { return errors.count() == 1; }, 20000));
  EXPECT_FALSE(errors.at(0).at(0).toString().isEmpty());
  EXPECT_EQ(p.lastError(), errors.at(0).at(0).toString());
  EXPECT_FALSE(p.active());
  EXPECT_EQ(opened.count(), 0);
  EXPECT_EQ(ready.count(), 0);

  // Times the open file does not have: beyond its end is refused at once
  // with the reason; a negative one or NaN changes nothing.
  p.open(QString::fromStdString(moving));
  ASSERT_TRUE(PumpUntil([&] { return opened.count() == 1; }, 20000));
  QSignalSpy times(&p, &qt::Preview::timestampChanged);
  p.showTime(5.0);
  ASSERT_EQ(errors.count(), 2);
  EXPECT_EQ(errors.at(1).at(0).toString(), "timestamp can not be large than stream duration!");
  EXPECT_EQ(p.property("lastError").toString(), errors.at(1).at(0).toString());
  p.showTime(-1);
  p.showTime(std::nan(""));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(times.count(), 0);
  EXPECT_EQ(ready.count(), 1);
  EXPECT_EQ(FrameOf(p.picture()), 0);

  // A new file name closes the open one.
  QSignalSpy actives(&p, &qt::Preview::activeChanged);
  p.setInputFile(QString::fromStdString(still));
  ASSERT_EQ(actives.count(), 1);
  EXPECT_FALSE(actives.at(0).at(0).toBool());
}

TEST_F(QtPreviewAdapters, DetectorSeesMotionInAMovingClipAndNoneInAStillOne) {
  struct {
    const char* name;
    const std::string& file;
    bool motion;
  } cases[] = {{"moving", moving, true}, {"still", still, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Picture> pictures = Pictures(c.file, 50);
    ASSERT_EQ(pictures.size(), 50u);
    for (size_t n = 0; n < pictures.size(); ++n) ASSERT_NEAR(pictures[n].seconds, n * 0.04, 1e-3) << n;

    qt::MotionDetector d;
    d.setDetectionSecs(1);
    QSignalSpy begins(&d, &qt::MotionDetector::motionBegin);
    QSignalSpy ends(&d, &qt::MotionDetector::motionEnd);
    QSignalSpy changes(&d, &qt::MotionDetector::hasMotionChanged);
    QSignalSpy compared(&d, &qt::MotionDetector::compared);
    QSignalSpy fed(&d, &qt::MotionDetector::frameFed);
    d.initialize(pictures[0].image, 0);
    EXPECT_EQ(begins.count(), 0);
    int most = 0;
    for (size_t n = 1; n < pictures.size(); ++n) {
      ASSERT_TRUE(d.feed(pictures[n].image, std::llround(pictures[n].seconds * 1e6))) << n;
      most = std::max(most, compared.last().at(0).toInt());
    }
    EXPECT_EQ(compared.count(), 49);
    EXPECT_EQ(fed.count(), 50);  // the priming picture too
    EXPECT_EQ(fed.last().at(0).value<QImage>().size(), QSize(320, 240));
    if (c.motion) {
      // Something moves in every frame: motion begins at the first compared
      // one and lasts the whole clip.
      EXPECT_EQ(begins.count(), 1);
      EXPECT_EQ(ends.count(), 0);
      ASSERT_EQ(changes.count(), 1);
      EXPECT_TRUE(changes.at(0).at(0).toBool());
      EXPECT_TRUE(d.property("hasMotion").toBool());
      EXPECT_GE(compared.at(0).at(0).toInt(), d.tolerance());
      EXPECT_GT(d.maxDiff(), d.sensivity());
      // The last picture again, a second after the motion began: quiet, so
      // the motion ends.
      ASSERT_TRUE(d.feed(pictures.back().image, 2000000));
      EXPECT_EQ(ends.count(), 1);
      ASSERT_EQ(changes.count(), 2);
      EXPECT_FALSE(changes.at(1).at(0).toBool());
      EXPECT_EQ(d.movingPixels(), 0);
      EXPECT_FALSE(d.hasMotion());
    } else {
      EXPECT_EQ(begins.count(), 0);
      EXPECT_EQ(changes.count(), 0);
      EXPECT_FALSE(d.hasMotion());
      EXPECT_LT(most, d.tolerance());
      EXPECT_LT(d.maxDiff(), d.sensivity());
    }
    // The mask is the detector's size, painted over the last frame.
    QSignalSpy painted(&d, &qt::MotionDetector::maskPainted);
    const QImage mask = d.maskImage();
    EXPECT_EQ(mask.size(), QSize(320, 240));
    EXPECT_EQ(painted.count(), 1);
  }
}

TEST_F(QtPreviewAdapters, DetectorSettingsAreClampedAndTold) {
  qt::MotionDetector d;
  struct {
    const char* property;
    int in, out;
  } cases[] = {
      {"tolerance", 5, 10},      {"tolerance", 5000, 5000},     {"tolerance", -3, 10},
      {"sensivity", 0, 1},       {"sensivity", 300, 255},       {"sensivity", 40, 40},
      {"detectionSecs", 0, 1},   {"detectionSecs", 9, 5},       {"detectionSecs", 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.property << " " << c.in);
    const int before = d.property(c.property).toInt();
    const QMetaProperty mp = d.metaObject()->property(d.metaObject()->indexOfProperty(c.property));
    QSignalSpy spy(&d, mp.notifySignal());
    EXPECT_TRUE(d.setProperty(c.property, c.in));
    EXPECT_EQ(d.property(c.property).toInt(), c.out);
    EXPECT_EQ(spy.count(), before == c.out ? 0 : 1);
    if (spy.count() == 1) {
      EXPECT_EQ(spy.at(0).at(0).toInt(), c.out);
    }
    d.setProperty(c.property, c.in);  // the same again: no signal
    EXPECT_EQ(spy.count(), before == c.out ? 0 : 1);
  }
  EXPECT_EQ(d.component().tolerance(), 10u);
  EXPECT_EQ(d.component().sensivity(), 40);
  EXPECT_EQ(d.component().detectionSecs(), 2);

  QSignalSpy masks(&d, &qt::MotionDetector::showMaskChanged);
  EXPECT_TRUE(d.setProperty("showMask", QVariant::fromValue(qt::MotionDetector::FullMask)));
  EXPECT_EQ(d.component().showMask(), smFullMask);
  d.setShowMask(static_cast<qt::MotionDetector::ShowMask>(9));  // not a mask: ignored
  EXPECT_EQ(d.showMask(), qt::MotionDetector::FullMask);
  EXPECT_EQ(masks.count(), 1);

  // Pictures that cannot be compared tell nothing.
  QSignalSpy compared(&d, &qt::MotionDetector::compared);
  EXPECT_FALSE(d.feed(QImage()));
  EXPECT_FALSE(d.feed(QImage(1, 8, QImage::Format_RGB32)));
  EXPECT_EQ(compared.count(), 0);
  EXPECT_TRUE(d.maskImage().isNull());
}

TEST_F(QtPreviewAdapters, DetectorSignalsComeOnTheFeedingThread) {
  const std::vector<Picture> pictures = Pictures(moving, 3);
  ASSERT_EQ(pictures.size(), 3u);
  qt::MotionDetector d;
  QThread* beganOn = nullptr;
  QThread* comparedOn = nullptr;
  QObject::connect(&d, &qt::MotionDetector::motionBegin, &d, [&] { beganOn = QThread::currentThread(); },
                   Qt::DirectConnection);
  QObject::connect(&d, &qt::MotionDetector::compared, &d, [&] { comparedOn = QThread::currentThread(); },
                   Qt::DirectConnection);
  QThread* worker = nullptr;
  std::thread feeder([&] {
    worker = QThread::currentThread();
    d.initialize(pictures[0].image, 0);
    d.feed(pictures[1].image, 40000);
    d.feed(pictures[2].image, 80000);
  });
  feeder.join();
  ASSERT_NE(worker, nullptr);
  EXPECT_NE(worker, qApp->thread());
  EXPECT_EQ(beganOn, worker);
  EXPECT_EQ(comparedOn, worker);
  EXPECT_TRUE(d.hasMotion());
}

TEST_F(QtPreviewAdapters, AdaptersMayBeDeletedFromTheirOwnSignals) {
  // The preview, from each of its events: a picture, the open, a failed
  // open (the control closes itself first) and a refused time (raised
  // inside the adapter's own call).
  enum Event { OnPicture, OnOpened, OnFailedOpen, OnRefusedTime };
  for (Event e : {OnPicture, OnOpened, OnFailedOpen, OnRefusedTime}) {
    SCOPED_TRACE(::testing::Message() << "event " << e);
    auto* p = new qt::Preview;
    QPointer<qt::Preview> watch(p);
    QPointer<TAVPreview> widget(&p->component());
    QSignalSpy opened(p, &qt::Preview::opened);
    auto kill = [p] { delete p; };
    if (e == OnPicture) QObject::connect(p, &qt::Preview::pictureReady, p, kill);
    if (e == OnOpened) QObject::connect(p, &qt::Preview::opened, p, kill);
    if (e == OnFailedOpen) QObject::connect(p, &qt::Preview::errorOccurred, p, kill);
    p->open(QString::fromStdString(e == OnFailedOpen ? dir->Path("missing.mp4") : moving));
    if (e == OnRefusedTime) {
      ASSERT_TRUE(PumpUntil([&] { return opened.count() == 1; }, 20000));
      QObject::connect(p, &qt::Preview::errorOccurred, p, kill);
      p->showTime(7.0);
      EXPECT_TRUE(watch.isNull());
    }
    ASSERT_TRUE(PumpUntil([&] { return watch.isNull(); }, 20000));
    // The control goes with it, through the event loop. A deferred delete
    // asked for outside any event waits for a running loop, which a test
    // pumping with processEvents has not: it is delivered here by hand.
    EXPECT_TRUE(PumpUntil([&] {
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
      return widget.isNull();
    }, 5000));
  }

  // The detector, from motionBegin (raised in the middle of a comparison)
  // and from compared.
  const std::vector<Picture> pictures = Pictures(moving, 2);
  ASSERT_EQ(pictures.size(), 2u);
  for (bool atBegin : {true, false}) {
    auto* d = new qt::MotionDetector;
    QPointer<qt::MotionDetector> watch(d);
    auto kill = [d] { delete d; };
    if (atBegin) QObject::connect(d, &qt::MotionDetector::motionBegin, d, kill);
    else QObject::connect(d, &qt::MotionDetector::compared, d, kill);
    d->initialize(pictures[0].image, 0);
    EXPECT_TRUE(d->feed(pictures[1].image, 40000));
    EXPECT_TRUE(watch.isNull()) << atBegin;
  }
  PumpUntil([] { return false; }, 200);
}

}  // namespace
