// The reference player for bench/play_peer.sh: Qt Multimedia's own player
// (QMediaPlayer into a QVideoSink, its FFmpeg backend chosen with
// QT_MEDIA_BACKEND=ffmpeg) driven the way `kivora play --headless --json
// --seconds S --seek T` drives ours. Prints one JSON line with the time from
// setting the source to the first frame, from the seek to the first frame at
// the target, and the frames delivered.
//
// Built by the bench script on the machine that runs it, so the project
// itself never needs Qt Multimedia.
#include <QAudioOutput>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMediaPlayer>
#include <QTimer>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoSink>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s FILE SECONDS SEEK_TO\n", argv[0]);
    return 2;
  }
  QGuiApplication app(argc, argv);
  const QString file = QString::fromLocal8Bit(argv[1]);
  const double seconds = std::atof(argv[2]);
  const double seekTo = std::atof(argv[3]);

  QMediaPlayer player;
  QAudioOutput audio;
  QVideoSink sink;
  player.setAudioOutput(&audio);
  player.setVideoSink(&sink);

  Clock::time_point opened{}, seekAt{}, startedAt{};
  double firstMs = NAN, seekMs = NAN;
  bool seekPending = false, seekDone = false;
  long frames = 0;
  // The same waits as the headless kivora player: seek half a second after
  // the first picture, stop `seconds` after playing started. The sink sends
  // frames from the backend's render thread; with the application as the
  // context they are handled on the GUI thread, where kivora's view gets its
  // pictures too.
  QObject::connect(&sink, &QVideoSink::videoFrameChanged, &app, [&](const QVideoFrame& frame) {
    if (!frame.isValid()) return;
    ++frames;
    if (std::isnan(firstMs)) {
      firstMs = Since(opened) * 1000.0;
      startedAt = Clock::now();
      QTimer::singleShot(500, [&] {
        seekPending = true;
        seekAt = Clock::now();
        player.setPosition(static_cast<qint64>(seekTo * 1000.0));
      });
    }
    if (seekPending && std::fabs(frame.startTime() / 1e6 - seekTo) <= 0.1) {
      seekMs = Since(seekAt) * 1000.0;
      seekPending = false;
      seekDone = true;
    }
  });
  QObject::connect(&player, &QMediaPlayer::errorOccurred, [&](QMediaPlayer::Error, const QString& text) {
    std::fprintf(stderr, "peer: %s\n", qPrintable(text));
    app.exit(1);
  });
  QTimer tick;
  tick.setInterval(10);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (std::isnan(firstMs)) {
      if (Since(opened) > 30) app.exit(1);
      return;
    }
    if (Since(startedAt) >= seconds) app.quit();
  });

  opened = Clock::now();
  player.setSource(QUrl::fromLocalFile(file));
  player.play();
  tick.start();
  const int rc = app.exec();
  player.stop();
  std::printf("{\"first_picture_ms\": %.3f, \"seek_ms\": %s, \"frames_shown\": %ld}\n", firstMs,
              seekDone ? QByteArray::number(seekMs, 'f', 3).constData() : "null", frames);
  return rc;
}
