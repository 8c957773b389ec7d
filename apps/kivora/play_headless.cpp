// `kivora play --headless`: plays into a view that is never shown, with the
// silent sound driver, and measures what the player does on the way.
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include "kivora/platform/exception.h"
#include "kivora/player/player.h"
#include "kivora/presentation/view.h"
#include "play.h"

namespace kivora::app {

namespace {

using Clock = std::chrono::steady_clock;

// Playback must run this long (after the first picture, or after the last
// seek reached its picture) before the next seek is made.
constexpr double kSeekAfterS = 0.5;
// A seek that shows no picture within this time is given up (reported as
// null): the target may lie past the end.
constexpr double kSeekGiveUpS = 5.0;
// Once the end is signalled, pictures still queued are shown; the session
// ends when none has come for this long.
constexpr double kDrainS = 0.3;

class HeadlessSession {
public:
  explicit HeadlessSession(const PlayOptions& options) : FOptions(options) {
    FReport.file = options.file;
    FReport.seek_ms.assign(options.seeks.size(), NAN);
    FReport.first_picture_ms = NAN;
  }

  PlayReport Run() {
    FView.SetPlayer(&FPlayer);
    FPlayer.OnVideoDisplay = [this](TComponent*, AVFrame*) { PictureShown(); };
    FPlayer.OnAudioBuffer = [this](TComponent*, void*, int size) {
      FAudioBytes += size;
      FAudioStarted = true;
    };
    FPlayer.OnPlaybackFinished = [this](TComponent*) {
      if (!FFinished) FFinishedAt = Now();
      FFinished = true;
    };
    FPlayer.OnConnectionError = [this](TComponent*, const std::string& error) {
      FError = error.empty() ? "cannot play '" + FOptions.file + "'" : error;
      FLoop.quit();
    };

    FOpenedAt = Clock::now();
    FPlayer.OpenMovie(FOptions.file, false, false);
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [this] { Tick(); });
    tick.start();
    FLoop.exec();
    tick.stop();

    if (!FError.empty()) {
      FPlayer.CloseMovie();
      throw std::runtime_error(FError);
    }
    FReport.frames_shown = FShown;
    FReport.frames_dropped = FPlayer.FramesDropped();
    FReport.audio_bytes = FAudioBytes.load();
    FReport.finished = FFinished;
    FReport.position = FPlayer.GetPosition();
    FReport.played_s = FStartedAt < 0 ? 0 : Now() - FStartedAt;
    Summarise();
    FView.SetPlayer(nullptr);
    FPlayer.CloseMovie();
    return FReport;
  }

private:
  // Seconds since the open was asked for.
  double Now() const { return std::chrono::duration<double>(Clock::now() - FOpenedAt).count(); }

  bool BothStreams() { return FPlayer.VideoStreamIndex() >= 0 && FPlayer.AudioStreamIndex() >= 0; }

  // On the GUI thread, for each picture the player shows.
  void PictureShown() {
    const double now = Now();
    ++FShown;
    FLastPictureAt = now;
    if (std::isnan(FReport.first_picture_ms)) FReport.first_picture_ms = now * 1000.0;
    const double v = FPlayer.VideoClock();
    if (FSeekPending >= 0 && std::isfinite(v)) {
      // The first picture of the seek: playback jumped (backwards, or
      // forwards further than late pictures can skip), or it is at the target.
      const double target = FOptions.seeks[FSeekPending];
      const bool jumped = std::isfinite(FLastPts) && (v < FLastPts - 0.001 || v > FLastPts + 0.5);
      if (jumped || std::fabs(v - target) <= 0.1) {
        FReport.seek_ms[FSeekPending] = (now - FSeekAt) * 1000.0;
        FSeekPending = -1;
        FLastMark = now;
      }
    }
    if (std::isfinite(v)) FLastPts = v;
    if (BothStreams()) {
      const double a = FPlayer.AudioClock();
      if (std::isfinite(v) && std::isfinite(a)) {
        FDiffs.push_back((v - a) * 1000.0);
        if (FSinceSeek < PlayReport::kAfterSeekPictures) FAfterSeekDiffs.push_back(std::fabs(v - a) * 1000.0);
      }
    }
    ++FSinceSeek;
  }

  void Tick() {
    const double now = Now();
    const bool hasVideo = FPlayer.VideoStreamIndex() >= 0;
    if (FStartedAt < 0 && (FShown > 0 || FAudioStarted.load())) {
      FStartedAt = now;
      FLastMark = now;
    }
    if (FCap < 0 && FPlayer.Playing() && FPlayer.Duration() != 0) {
      const double d = FPlayer.Duration();
      const double seeks = static_cast<double>(FOptions.seeks.size());
      FCap = FOptions.seconds >= 0 ? FOptions.seconds + 30 : d > 0 ? d * (1 + seeks) + 15 + 5 * seeks : 600;
    }
    if (FCap >= 0 && now > FCap) {
      FLoop.quit();
      return;
    }
    if (FStartedAt < 0) {
      // Nothing played yet; a file that opens but never plays still ends.
      if (now > (FOptions.seconds >= 0 ? FOptions.seconds : 0) + 30) FLoop.quit();
      return;
    }
    if (FOptions.seconds >= 0 && now - FStartedAt >= FOptions.seconds) {
      FLoop.quit();
      return;
    }

    // Seeks, one after another.
    if (FSeekPending >= 0 && (!hasVideo || now - FSeekAt > kSeekGiveUpS)) {
      FSeekPending = -1;  // no picture to wait for: reported as null
      FLastMark = now;
    }
    if (FSeekPending < 0 && FNextSeek < FOptions.seeks.size() && now - FLastMark >= kSeekAfterS) {
      FSeekPending = static_cast<int>(FNextSeek++);
      FSeekAt = now;
      FFinished = false;  // the end, if reached before, is ahead again
      FSinceSeek = 0;
      FPlayer.SetPosition(FOptions.seeks[FSeekPending]);
      return;
    }

    // The end: every seek made and the last pictures shown.
    if (FFinished && FSeekPending < 0 && FNextSeek >= FOptions.seeks.size()) {
      const double quiet = hasVideo ? now - std::max(FLastPictureAt, FFinishedAt) : now - FFinishedAt;
      if (quiet >= kDrainS) FLoop.quit();
    }
  }

  // The 99th percentile (nearest rank: the smallest value that at least 99 %
  // of the samples reach) and the maximum of non-empty sizes.
  static void P99AndMax(std::vector<double> sizes, double& p99, double& max) {
    std::sort(sizes.begin(), sizes.end());
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(sizes.size())));
    p99 = sizes[std::max<size_t>(rank, 1) - 1];
    max = sizes.back();
  }

  void Summarise() {
    if (FDiffs.empty()) return;  // not both streams, or no picture
    std::vector<double> signedDiffs = FDiffs;
    std::sort(signedDiffs.begin(), signedDiffs.end());
    const size_t n = signedDiffs.size();
    FReport.av_diff_median_ms = n % 2 ? signedDiffs[n / 2] : (signedDiffs[n / 2 - 1] + signedDiffs[n / 2]) / 2;
    std::vector<double> sizes(n);
    std::transform(FDiffs.begin(), FDiffs.end(), sizes.begin(), [](double d) { return std::fabs(d); });
    P99AndMax(std::move(sizes), FReport.av_diff_p99_ms, FReport.av_diff_max_ms);
    FReport.has_av_diff = true;
    if (!FAfterSeekDiffs.empty()) {
      P99AndMax(FAfterSeekDiffs, FReport.av_diff_after_seek_p99_ms, FReport.av_diff_after_seek_max_ms);
      FReport.has_av_diff_after_seek = true;
    }
  }

  const PlayOptions& FOptions;
  PlayReport FReport;
  QEventLoop FLoop;
  Clock::time_point FOpenedAt;
  std::string FError;
  int64_t FShown = 0;
  std::atomic<int64_t> FAudioBytes{0};
  std::atomic<bool> FAudioStarted{false};
  bool FFinished = false;
  double FFinishedAt = 0;
  double FStartedAt = -1;  // first picture or sound
  double FLastPictureAt = 0;
  double FLastMark = 0;  // when the current stretch of playback began
  double FLastPts = NAN;
  double FCap = -1;
  size_t FNextSeek = 0;
  int FSeekPending = -1;
  double FSeekAt = 0;
  std::vector<double> FDiffs;
  std::vector<double> FAfterSeekDiffs;  // sizes, over the first pictures after each seek
  int FSinceSeek = PlayReport::kAfterSeekPictures;  // pictures shown since the last seek
  TAVView FView;  // never shown: the pictures go where a window's would
  // Last, so it is destroyed first: its threads may still call the handlers
  // above while it shuts down.
  TAVPlayer FPlayer;
};

}  // namespace

PlayReport PlayHeadless(const PlayOptions& options) {
  EnsureApplication(true);
  HeadlessSession session(options);
  return session.Run();
}

}  // namespace kivora::app
