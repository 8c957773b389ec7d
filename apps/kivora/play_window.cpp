// `kivora play FILE`: the picture in a window, with play/pause, a seek bar
// with the time, volume, a choice of sound track and keyboard control.
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QPixmap>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "kivora/player/player.h"
#include "kivora/presentation/glview.h"
#include "kivora/presentation/view.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/utils.h"
#include "play.h"

namespace kivora::app {

namespace {

constexpr double kSeekStepS = 5.0;
constexpr int kVolumeStep = 5;  // percent

class PlayWindow : public QWidget {
public:
  PlayWindow(const std::string& file, bool gpu) : FFile(file) {
    setWindowTitle(QString::fromStdString(file) + " - kivora");
    setFocusPolicy(Qt::StrongFocus);

    if (gpu) {
      // The GPU view takes the decoded YUV planes as they are.
      FPlayer.SetRGBMode(false);
      FGLView = new TAVGLView(this);
      FView = FGLView;
    } else {
      FCpuView = new TAVView(this);
      FView = FCpuView;
    }
    FView->setMinimumSize(160, 90);
    FView->setAutoFillBackground(true);
    QPalette pal = FView->palette();
    pal.setColor(QPalette::Window, Qt::black);
    FView->setPalette(pal);
    FView->installEventFilter(this);

    FPlayButton = new QPushButton(this);
    FSeek = new QSlider(Qt::Horizontal, this);
    FSeek->setRange(0, 0);
    FSeek->setMinimumWidth(160);
    FTime = new QLabel(this);
    FTime->setMinimumWidth(FTime->fontMetrics().horizontalAdvance("00:00:00 / 00:00:00") + 8);
    auto* volumeIcon = new QLabel(this);
    volumeIcon->setPixmap(style()->standardIcon(QStyle::SP_MediaVolume).pixmap(16, 16));
    FVolume = new QSlider(Qt::Horizontal, this);
    FVolume->setRange(0, 100);
    FVolume->setValue(100);
    FVolume->setFixedWidth(100);
    FVolume->setToolTip("Volume (up/down)");
    FAudio = new QComboBox(this);
    FAudio->setToolTip("Sound track");
    FAudio->hide();
    FStatus = new QLabel(this);
    FStatus->setWordWrap(true);
    FStatus->setContentsMargins(6, 4, 6, 0);
    FStatus->setStyleSheet("color: #c0392b;");
    FStatus->hide();
    // The window keeps the keyboard: space and the arrows always reach the
    // player, not whichever control was clicked last.
    for (QWidget* w : std::initializer_list<QWidget*>{FPlayButton, FSeek, FVolume, FAudio}) w->setFocusPolicy(Qt::NoFocus);

    FControls = new QWidget(this);
    auto* row = new QHBoxLayout(FControls);
    row->setContentsMargins(6, 4, 6, 4);
    row->addWidget(FPlayButton);
    row->addWidget(FSeek, 1);
    row->addWidget(FTime);
    row->addWidget(FAudio);
    row->addWidget(volumeIcon);
    row->addWidget(FVolume);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(FView, 1);
    column->addWidget(FStatus);
    column->addWidget(FControls);

    connect(FPlayButton, &QPushButton::clicked, this, [this] { TogglePause(); });
    connect(FSeek, &QSlider::sliderReleased, this, [this] { SeekTo(FSeek->value() / 1000.0); });
    connect(FSeek, &QSlider::actionTriggered, this, [this](int action) {
      // Clicks on the groove (page steps) seek at once; drags on release.
      if (action == QAbstractSlider::SliderPageStepAdd || action == QAbstractSlider::SliderPageStepSub)
        SeekTo(FSeek->sliderPosition() / 1000.0);
    });
    connect(FVolume, &QSlider::valueChanged, this, [this](int v) { FPlayer.SetVolume(v / 100.0); });
    connect(FAudio, &QComboBox::activated, this, [this](int index) { ChooseAudio(index); });

    Key(Qt::Key_Space, [this] { TogglePause(); });
    Key(Qt::Key_Left, [this] { SeekBy(-kSeekStepS); });
    Key(Qt::Key_Right, [this] { SeekBy(kSeekStepS); });
    Key(Qt::Key_Up, [this] { FVolume->setValue(FVolume->value() + kVolumeStep); });
    Key(Qt::Key_Down, [this] { FVolume->setValue(FVolume->value() - kVolumeStep); });
    Key(Qt::Key_F, [this] { ToggleFullScreen(); });
    Key(Qt::Key_Q, [this] { close(); });
    Key(Qt::Key_Escape, [this] {
      if (isFullScreen()) ToggleFullScreen();
      else close();
    });

    // The player's events arrive on the GUI thread; none is acted on once the
    // window is closing (the player may still report while it shuts down).
    FPlayer.OnStart = [this](TComponent*) {
      if (!FClosing) Started();
    };
    FPlayer.OnConnectionError = [this](TComponent*, const std::string& error) {
      if (FClosing) return;
      FFailed = true;
      FError = error.empty() ? "cannot play '" + FFile + "'" : error;
      ShowError(FError);
      UpdatePlayButton();
    };
    FPlayer.OnPlaybackFinished = [this](TComponent*) {
      if (!FClosing) UpdatePlayButton();
    };
    // Errors can be logged on any thread: the label is changed on ours, and
    // not at all once the window is going.
    FPlayer.OnLog = [label = QPointer<QLabel>(FStatus), this](TComponent*, int level, const std::string& text) {
      if (level > AV_LOG_ERROR) return;
      QMetaObject::invokeMethod(label, [label, this, text] {
        if (label && !FClosing) ShowError(text);
      });
    };

    connect(&FTick, &QTimer::timeout, this, [this] { UpdateTime(); });
    FTick.start(200);
    UpdatePlayButton();
    UpdateTime();
    resize(720, 480);
    SetViewPlayer(&FPlayer);
  }

  ~PlayWindow() override {
    FClosing = true;
    FTick.stop();
    SetViewPlayer(nullptr);
  }

  void Open() { FPlayer.OpenMovie(FFile, false, false); }
  // Saves what the picture area shows (an OpenGL view included).
  bool GrabPicture(const std::string& file) { return FView->grab().save(QString::fromStdString(file)); }
  bool Failed() const { return FFailed; }
  const std::string& Error() const { return FError; }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == FView && event->type() == QEvent::MouseButtonDblClick) {
      ToggleFullScreen();
      return true;
    }
    return QWidget::eventFilter(watched, event);
  }

private:
  void SetViewPlayer(TAVPlayer* player) {
    if (FGLView) FGLView->SetPlayer(player);
    else FCpuView->SetPlayer(player);
  }

  template <typename F>
  void Key(int key, F fn) {
    auto* shortcut = new QShortcut(QKeySequence(key), this);
    connect(shortcut, &QShortcut::activated, this, fn);
  }

  void Started() {
    FStatus->hide();
    const double d = FPlayer.Duration();
    FSeek->setRange(0, d > 0 ? static_cast<int>(d * 1000) : 0);
    FSeek->setPageStep(static_cast<int>(kSeekStepS * 1000));
    FSeek->setEnabled(d > 0);
    FAudio->clear();
    const auto tracks = FPlayer.AudioStreamProperties();
    for (size_t i = 0; i < tracks.size(); ++i) {
      std::string name = "Sound " + std::to_string(i + 1) + ": " + tracks[i].CodecName();
      const std::string language = tracks[i].Metas().Values("language");
      const std::string title = tracks[i].Metas().Values("title");
      if (!title.empty()) name += " - " + title;
      if (!language.empty()) name += " [" + language + "]";
      FAudio->addItem(QString::fromStdString(name));
    }
    FAudio->setCurrentIndex(std::max(0, FPlayer.AudioStreamIndex()));
    FAudio->setVisible(tracks.size() > 1);
    const int w = FPlayer.GetVideoWidth(), h = FPlayer.GetVideoHeight();
    if (w > 0 && h > 0 && !isFullScreen() && !isMaximized()) {
      // Small pictures are shown enlarged, large ones reduced to a window
      // that fits on an ordinary screen.
      const double scale = std::min({std::max(1.0, 640.0 / w), 1280.0 / w, 720.0 / h});
      resize(static_cast<int>(std::lround(w * scale)),
             static_cast<int>(std::lround(h * scale)) + FControls->sizeHint().height());
    }
    UpdatePlayButton();
  }

  void ShowError(const std::string& text) {
    FStatus->setText(QString::fromStdString(text));
    FStatus->show();
  }

  void TogglePause() {
    if (!FPlayer.Playing()) return;
    if (FPlayer.Paused()) FPlayer.Play();
    else FPlayer.Pause();
    UpdatePlayButton();
  }

  void SeekTo(double seconds) {
    const double d = FPlayer.Duration();
    if (d > 0) seconds = std::min(seconds, d);
    seconds = std::max(0.0, seconds);
    FPlayer.SetPosition(seconds);
    FPosition = seconds;  // until the clocks know better
  }

  void SeekBy(double delta) { SeekTo(FPosition + delta); }

  void ChooseAudio(int index) {
    try {
      FPlayer.SetAudioStreamIndex(index);
    } catch (const std::exception& e) {
      ShowError(e.what());
    }
  }

  void ToggleFullScreen() {
    if (isFullScreen()) {
      showNormal();
      FControls->show();
    } else {
      FControls->hide();
      showFullScreen();
    }
  }

  void UpdatePlayButton() {
    const bool paused = !FPlayer.Playing() || FPlayer.Paused();
    FPlayButton->setIcon(style()->standardIcon(paused ? QStyle::SP_MediaPlay : QStyle::SP_MediaPause));
    FPlayButton->setToolTip(paused ? "Play (space)" : "Pause (space)");
  }

  void UpdateTime() {
    const double d = std::max(0.0, FPlayer.Duration());
    // Right after a seek the clocks are unknown (the position would read 0):
    // the last known position stands until they are set again.
    if (!FPlayer.Playing()) FPosition = 0;
    else if (!std::isnan(FPlayer.MasterClock())) FPosition = FPlayer.GetPosition();
    if (!FSeek->isSliderDown()) FSeek->setValue(static_cast<int>(FPosition * 1000));
    FTime->setText(QString::fromStdString(GetTimeString(FPosition, true) + " / " + GetTimeString(d, true)));
    UpdatePlayButton();
  }

  std::string FFile;
  TAVPlayer FPlayer;
  QWidget* FView;                // one of the two below
  TAVView* FCpuView = nullptr;    // RGBA pictures drawn by the CPU
  TAVGLView* FGLView = nullptr;   // YUV planes drawn by OpenGL (--gpu)
  QWidget* FControls;
  QPushButton* FPlayButton;
  QSlider* FSeek;
  QLabel* FTime;
  QSlider* FVolume;
  QComboBox* FAudio;
  QLabel* FStatus;
  QTimer FTick;
  double FPosition = 0;  // seconds, as last shown
  bool FFailed = false;
  std::string FError;  // why the file could not be played
  bool FClosing = false;
};

}  // namespace

int PlayInWindow(const PlayOptions& options, std::ostream& err) {
  // Without a display Qt would abort; an explicit platform (offscreen, for
  // one) is the user's choice and is honoured.
  if (!DisplayAvailable() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    err << "kivora: play: no display found (use --headless to play without a window)\n";
    return 1;
  }
  QApplication* app = EnsureApplication(false);
  int code = 0;
  {
    PlayWindow window(options.file, options.gpu);
    window.show();
    window.Open();
    if (options.seconds >= 0)
      QTimer::singleShot(static_cast<int>(options.seconds * 1000), &window, [&window, &options, &err, &code] {
        if (!options.grab_file.empty() && !window.GrabPicture(options.grab_file)) {
          err << "kivora: play: cannot save the picture to '" << options.grab_file << "'\n";
          code = 1;
        }
        window.close();
      });
    app->exec();
    if (window.Failed()) {
      // Shown in the window; said here too for whoever started us.
      err << "kivora: play: " << window.Error() << "\n";
      code = 1;
    }
  }
  return code;
}

}  // namespace kivora::app
