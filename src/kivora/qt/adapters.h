#pragma once
// Qt-style faces for the components: each adapter owns its component,
// re-emits the component's events as Qt signals with typed arguments and
// shows its main settings as Q_PROPERTYs with change signals, so that Qt
// widgets connect to it and QML binds to it. The component itself stays
// reachable (player(), converter()) for everything else.
//
// Threads: create and call the adapters on the GUI thread of a Qt
// application. Signals are emitted on the thread the component raises the
// event on (the GUI thread for most; OnLog and the converter's video
// statistics on the component's own threads), so connections to GUI objects
// are queued as Qt does for any cross-thread signal.
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>

#include "kivora/converter/converter.h"
#include "kivora/player/player.h"

namespace kivora::qt {

class Player : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString source READ source NOTIFY sourceChanged)
  Q_PROPERTY(double position READ position WRITE setPosition NOTIFY positionChanged)
  Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
  Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)
  Q_PROPERTY(State state READ state NOTIFY stateChanged)
  Q_PROPERTY(int positionInterval READ positionInterval WRITE setPositionInterval)

public:
  // Stopped: nothing open; Opening: open() under way; Ended: the input's end
  // was played; Failed: the open failed (connectionError).
  enum State { Stopped, Opening, Playing, Paused, Ended, Failed };
  Q_ENUM(State)

  explicit Player(QObject* parent = nullptr);
  ~Player() override;

  TAVPlayer& player() { return *FPlayer; }

  // The file name or URL last given to open().
  QString source() const { return FSource; }
  // Seconds from the start of the media; 0 while Stopped or Opening. Setting
  // it is ignored while Stopped or Failed, and for NaN or infinity.
  double position() const;
  void setPosition(double seconds);
  // Seconds; 0 until known.
  double duration() const { return FDuration; }
  // 0 (silent) to 1 (as recorded); values outside are clamped, NaN ignored.
  double volume() const;
  void setVolume(double value);
  State state() const { return FState; }
  // Milliseconds between positionChanged signals while playing (default 100;
  // 0 or less gives 100).
  int positionInterval() const { return FTimer.interval(); }
  void setPositionInterval(int ms) { FTimer.setInterval(ms > 0 ? ms : 100); }

public Q_SLOTS:
  // Opens in the background and starts playing (paused: shows the first picture).
  void open(const QString& file, bool paused = false);
  // From Paused or Ended only; otherwise nothing happens.
  void play();
  // From Playing only.
  void pause();
  void close();

Q_SIGNALS:
  // The movie is open, before its first picture.
  void started();
  // A background open failed.
  void connectionError(const QString& error);
  // Once per end of the input.
  void playbackFinished();
  // Never raised by the player itself.
  void frameAvailable();
  // level: FFmpeg's AV_LOG_* value; on the player's log thread.
  void log(int level, const QString& line);
  void sourceChanged(const QString& source);
  void positionChanged(double seconds);
  void durationChanged(double seconds);
  void volumeChanged(double volume);
  void stateChanged(kivora::qt::Player::State state);

private:
  void SetState(State s);
  void Tick();

  std::unique_ptr<TAVPlayer> FPlayer;
  QTimer FTimer;
  QString FSource;
  State FState = Stopped;
  double FDuration = 0;
  double FLastPosition = -1;
};

class Converter : public QObject {
  Q_OBJECT
  Q_PROPERTY(QStringList inputs READ inputs WRITE setInputs)
  Q_PROPERTY(QStringList outputs READ outputs WRITE setOutputs)
  Q_PROPERTY(int progress READ progress NOTIFY progressChanged)
  Q_PROPERTY(State state READ state NOTIFY stateChanged)
  Q_PROPERTY(QString lastError READ lastError NOTIFY errorOccurred)

public:
  // Idle: not started or done; Waiting: for a slot of the semaphore;
  // Stopping: a stop is under way.
  enum State { Idle, Running, Paused, Waiting, Stopping };
  Q_ENUM(State)

  explicit Converter(QObject* parent = nullptr);
  ~Converter() override;

  // The options (ConvertOptions()) and everything else of the component.
  TAVConverter& converter() { return *FConverter; }

  // File names or URLs, in order (the component's InputFiles, OutputFiles).
  QStringList inputs() const;
  void setInputs(const QStringList& files);
  QStringList outputs() const;
  void setOutputs(const QStringList& files);
  // Whole percent 0..100; 100 only for a conversion that ended complete.
  int progress() const { return FProgress; }
  State state() const { return FState; }
  // The message of the last errorOccurred.
  QString lastError() const { return FLastError; }

public Q_SLOTS:
  // Starts on a worker thread and returns at once; ASem limits how many
  // converters sharing it run at once.
  void start(TSemaphore* semaphore = nullptr);
  void stop();
  void pause();
  void resume();

Q_SIGNALS:
  void progressChanged(int percent);
  void stopped();
  // message: what failed; detail: FFmpeg's last error line. No message box.
  void errorOccurred(const QString& message, const QString& detail);
  // complete: progress reached 100.
  void completed(bool complete);
  // level: FFmpeg's AV_LOG_* value; on the thread that logged.
  void log(int level, const QString& line);
  // On the worker: pixels, kbit/s of the last picture and on average,
  // pictures so far, seconds of video written.
  void videoStats(int width, int height, double bitrate, double averageBitrate, int frameNumber, double elapsed);
  void stateChanged(kivora::qt::Converter::State state);

private:
  void Refresh();

  std::unique_ptr<TAVConverter> FConverter;
  QTimer FTimer;  // follows the state while a run is on
  int FProgress = 0;
  State FState = Idle;
  QString FLastError;
};

}  // namespace kivora::qt
