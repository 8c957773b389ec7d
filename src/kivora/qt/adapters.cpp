#include "kivora/qt/adapters.h"

#include <QPointer>
#include <algorithm>
#include <cmath>

namespace kivora::qt {

namespace {

QStringList ToQt(const TStringList& list) {
  QStringList out;
  for (int i = 0; i < list.Count(); ++i) out << QString::fromStdString(list[i]);
  return out;
}

void FromQt(const QStringList& in, TStringList& list) {
  list.Clear();
  for (const QString& s : in) list.Add(s.toStdString());
}

}  // namespace

// ---- Player ----

Player::Player(QObject* parent) : QObject(parent), FPlayer(std::make_unique<TAVPlayer>()) {
  FTimer.setInterval(100);
  connect(&FTimer, &QTimer::timeout, this, &Player::Tick);
  // A receiver may delete the adapter from any of these signals: nothing of
  // it is touched after an emit unless it is still there.
  FPlayer->OnStart = [this](TComponent*) {
    QPointer<Player> self(this);
    const double d = FPlayer->Duration();
    if (d != FDuration) {
      FDuration = d;
      Q_EMIT durationChanged(d);
      if (!self) return;
    }
    SetState(FPlayer->Paused() ? Paused : Playing);
    if (!self) return;
    Q_EMIT started();
  };
  FPlayer->OnConnectionError = [this](TComponent*, const std::string& error) {
    QPointer<Player> self(this);
    SetState(Failed);
    if (!self) return;
    Q_EMIT connectionError(QString::fromStdString(error));
  };
  FPlayer->OnPlaybackFinished = [this](TComponent*) {
    QPointer<Player> self(this);
    Tick();  // the last position
    if (!self) return;
    SetState(Ended);
    if (!self) return;
    Q_EMIT playbackFinished();
  };
  FPlayer->OnFrameAvailable = [this](TComponent*) { Q_EMIT frameAvailable(); };
  FPlayer->OnLog = [this](TComponent*, int level, const std::string& line) {
    Q_EMIT log(level, QString::fromStdString(line));
  };
}

Player::~Player() {
  FTimer.stop();
  // No event reaches a half-destroyed adapter while the player closes.
  FPlayer->OnStart = nullptr;
  FPlayer->OnConnectionError = nullptr;
  FPlayer->OnPlaybackFinished = nullptr;
  FPlayer->OnFrameAvailable = nullptr;
  FPlayer->OnLog = nullptr;
}

double Player::position() const { return FState == Stopped || FState == Opening ? 0 : FPlayer->GetPosition(); }

void Player::setPosition(double seconds) {
  if (!std::isfinite(seconds) || FState == Stopped || FState == Failed) return;
  FPlayer->SetPosition(seconds);
  Tick();
}

double Player::volume() const { return FPlayer->Volume(); }

void Player::setVolume(double value) {
  if (!std::isfinite(value)) return;
  value = std::clamp(value, 0.0, 1.0);
  if (value == FPlayer->Volume()) return;
  FPlayer->SetVolume(value);
  Q_EMIT volumeChanged(value);
}

void Player::open(const QString& file, bool paused) {
  QPointer<Player> self(this);
  if (file != FSource) {
    FSource = file;
    Q_EMIT sourceChanged(file);
    if (!self) return;
  }
  FLastPosition = -1;
  SetState(Opening);
  if (!self) return;
  FPlayer->OpenMovie(file.toStdString(), paused);
}

void Player::play() {
  if (FState != Paused && FState != Ended) return;
  FPlayer->Play();
  SetState(Playing);
}

void Player::pause() {
  if (FState != Playing) return;
  FPlayer->Pause();
  SetState(Paused);
}

void Player::close() {
  FPlayer->CloseMovie();
  SetState(Stopped);
}

void Player::SetState(State s) {
  if (s == FState) return;
  FState = s;
  if (s == Playing) FTimer.start();
  else FTimer.stop();
  Q_EMIT stateChanged(s);
}

void Player::Tick() {
  const double p = position();
  if (p == FLastPosition) return;
  FLastPosition = p;
  Q_EMIT positionChanged(p);
}

// ---- Converter ----

Converter::Converter(QObject* parent) : QObject(parent), FConverter(std::make_unique<TAVConverter>()) {
  FTimer.setInterval(50);
  connect(&FTimer, &QTimer::timeout, this, &Converter::Refresh);
  FConverter->OnProgress = [this](TComponent*) {
    QPointer<Converter> self(this);
    Refresh();
    if (!self) return;
    const int p = FConverter->Progress();
    if (p != FProgress) {
      FProgress = p;
      Q_EMIT progressChanged(p);
    }
  };
  FConverter->OnStopped = [this](TComponent*) { Q_EMIT stopped(); };
  FConverter->OnError = [this](TComponent*, const std::string& msg, const std::string& detail, bool& handled) {
    handled = true;  // the signal tells; no message box
    FLastError = QString::fromStdString(msg);
    Q_EMIT errorOccurred(FLastError, QString::fromStdString(detail));
  };
  FConverter->OnComplete = [this](TComponent*) {
    QPointer<Converter> self(this);
    const int p = FConverter->Progress();
    if (p != FProgress) {
      FProgress = p;
      Q_EMIT progressChanged(p);
      if (!self) return;
    }
    Refresh();
    if (!self) return;
    FTimer.stop();
    Q_EMIT completed(p == 100);
  };
  FConverter->OnLog = [this](TComponent*, int level, const std::string& line) {
    Q_EMIT log(level, QString::fromStdString(line));
  };
  FConverter->OnVideoStats = [this](TComponent*, int w, int h, double rate, double avg, int n, double elapsed) {
    Q_EMIT videoStats(w, h, rate, avg, n, elapsed);
  };
}

Converter::~Converter() {
  FTimer.stop();
  // The converter's destructor stops a run; nothing may reach the adapter then.
  FConverter->OnProgress = nullptr;
  FConverter->OnStopped = nullptr;
  FConverter->OnError = nullptr;
  FConverter->OnComplete = nullptr;
  FConverter->OnLog = nullptr;
  FConverter->OnVideoStats = nullptr;
}

QStringList Converter::inputs() const { return ToQt(FConverter->InputFiles()); }
void Converter::setInputs(const QStringList& files) { FromQt(files, FConverter->InputFiles()); }
QStringList Converter::outputs() const { return ToQt(FConverter->OutputFiles()); }
void Converter::setOutputs(const QStringList& files) { FromQt(files, FConverter->OutputFiles()); }

void Converter::start(TSemaphore* semaphore) {
  FLastError.clear();
  if (FProgress != 0) {
    FProgress = 0;
    Q_EMIT progressChanged(0);
  }
  FConverter->Convert(semaphore);
  FTimer.start();
  Refresh();
}

void Converter::stop() { FConverter->Stop(); }
void Converter::pause() {
  FConverter->Pause();
  Refresh();
}
void Converter::resume() {
  FConverter->Resume();
  Refresh();
}

void Converter::Refresh() {
  State s = Idle;
  switch (FConverter->State()) {
    case csNone: s = Idle; break;
    case csRunning: s = Running; break;
    case csPaused: s = Paused; break;
    case csWaiting: s = Waiting; break;
    case csStopped: s = Stopping; break;
  }
  if (s == FState) return;
  FState = s;
  Q_EMIT stateChanged(s);
}

}  // namespace kivora::qt
