// The master clock, picture delays, the external clock's speed, audio
// sample-count correction and pause toggling.
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"

namespace kivora {

int TAVPlayer::Impl::get_master_sync_type() const {
  switch (FClockType.load()) {
    case clVideo:
      return FVideoStreamIndex.load() >= 0 ? 1 : 0;
    case clAudio:
      return FAudioStreamIndex.load() >= 0 ? 0 : 2;
    default:
      return 2;
  }
}

double TAVPlayer::Impl::get_master_clock() {
  switch (get_master_sync_type()) {
    case 1:
      return get_clock(vidclk);
    case 0:
      return get_clock(audclk);
    default:
      return get_clock(extclk);
  }
}

double TAVPlayer::Impl::compute_target_delay(double delay) {
  if (get_master_sync_type() == 1) return delay;
  const double diff = get_clock(vidclk) - get_master_clock();
  return compute_target_delay_for(delay, diff, max_frame_duration);
}

double TAVPlayer::Impl::vp_duration(const TVideoPicture& vp, const TVideoPicture& nextvp) const {
  if (vp.serial != nextvp.serial) return 0.0;
  const double d = nextvp.pts - vp.pts;
  if (std::isnan(d) || d <= 0 || d > max_frame_duration) return vp.duration;
  return d;
}

void TAVPlayer::Impl::update_video_pts(double pts, int64_t pos, int serial) {
  set_clock(vidclk, pts, serial);
  sync_clock_to_slave(extclk, vidclk);
  video_current_pos = pos;
}

void TAVPlayer::Impl::check_external_clock_speed() {
  const int v = FVideoStreamIndex.load() >= 0 && FVideoQ ? FVideoQ->NbPackets() : -1;
  const int a = FAudioStreamIndex.load() >= 0 && FAudioQ ? FAudioQ->NbPackets() : -1;
  const double speed = clock_speed(extclk);
  const double next = next_external_clock_speed(speed, v, a);
  if (next != speed) set_clock_speed(extclk, next);
}

int TAVPlayer::Impl::synchronize_audio(int nb_samples) {
  if (get_master_sync_type() == 0) return nb_samples;
  const double diff = get_clock(audclk) - get_master_clock();
  return synchronize_audio_for(nb_samples, diff, FM->audio_src.freq, audio_sync);
}

void TAVPlayer::Impl::SetPausedState(bool paused) {
  {
    std::lock_guard<std::mutex> g(FPauseLock);
    if (FPaused.load() != paused) stream_toggle_pause();
    FPauseCond.notify_all();
  }
  // A decoder flushing the picture queue waits for the display or a pause,
  // and the refresh thread for a resume.
  {
    std::lock_guard<std::mutex> g(FPictQMutex);
    FRefreshKick++;
  }
  FPictQCond.notify_all();
  // The read thread pauses and resumes the input itself.
  ReadSignal();
}

// Called with FPauseLock held.
void TAVPlayer::Impl::stream_toggle_pause() {
  if (FPaused.load()) {
    frame_timer = frame_timer.load() + NowSeconds() - clock_last_updated(vidclk);
    if (FReadPauseReturn.load() != AVERROR(ENOSYS)) set_clock_paused(vidclk, false);
    set_clock(vidclk, get_clock(vidclk), clock_serial(vidclk));
  }
  set_clock(extclk, get_clock(extclk), clock_serial(extclk));
  const bool paused = !FPaused.load();
  FPaused = paused;
  set_clock_paused(audclk, paused);
  set_clock_paused(vidclk, paused);
  set_clock_paused(extclk, paused);
}

}  // namespace kivora
