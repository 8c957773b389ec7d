// A player window: the picture, a seek bar and a volume slider.
//   player_window FILE [--seconds N]   (with --seconds: quits after N s and
//                                      prints how far it played)
#include <kivora/kivora.h>

#include <QApplication>
#include <QLabel>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: player_window FILE [--seconds N]\n");
    return 2;
  }
  const double quitAfter = argc > 3 && std::string(argv[2]) == "--seconds" ? std::atof(argv[3]) : 0;

  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* view = new kivora::TAVView(&window);  // a QWidget that shows the player's pictures
  auto* seek = new QSlider(Qt::Horizontal);
  auto* volume = new QSlider(Qt::Horizontal);
  auto* status = new QLabel("opening...");
  seek->setRange(0, 1000);
  volume->setRange(0, 100);
  volume->setValue(100);
  layout->addWidget(view, 1);
  layout->addWidget(seek);
  layout->addWidget(new QLabel("volume"));
  layout->addWidget(volume);
  layout->addWidget(status);
  window.resize(640, 480);

  kivora::TAVPlayer player;
  view->SetPlayer(&player);
  bool started = false, failed = false;
  // Events arrive on this (the GUI) thread.
  player.OnStart = [&](kivora::TComponent*) {
    started = true;
    status->setText("playing");
  };
  player.OnConnectionError = [&](kivora::TComponent*, const std::string& error) {
    failed = true;
    status->setText(QString::fromStdString(error));
  };
  player.OnPlaybackFinished = [&](kivora::TComponent*) { status->setText("finished"); };

  // Positions and the duration are seconds; the volume runs from 0 to 1.
  QObject::connect(volume, &QSlider::valueChanged, [&](int v) { player.SetVolume(v / 100.0); });
  QObject::connect(seek, &QSlider::sliderReleased, [&] {
    if (player.Duration() > 0) player.SetPosition(seek->value() / 1000.0 * player.Duration());
  });
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (!started || seek->isSliderDown() || player.Duration() <= 0) return;
    seek->setValue(static_cast<int>(player.GetPosition() / player.Duration() * 1000));
  });
  tick.start(100);

  double reached = 0;
  if (quitAfter > 0)
    QTimer::singleShot(static_cast<int>(quitAfter * 1000), [&] {
      reached = player.GetPosition();
      app.quit();
    });

  window.show();
  player.OpenMovie(argv[1]);  // opens in the background and starts playing
  const int result = app.exec();
  player.CloseMovie();
  view->SetPlayer(nullptr);  // the player goes before the window
  if (quitAfter > 0) {
    std::printf("played to %.2f s of %.2f s\n", reached, player.Duration());
    return started && !failed && reached > 0 ? 0 : 1;
  }
  return result;
}
