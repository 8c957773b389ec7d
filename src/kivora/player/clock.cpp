#include "kivora/player/clock.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/time.h>
}

namespace kivora {

double NowSeconds() { return static_cast<double>(av_gettime_relative()) / 1000000.0; }

static void set_clock_at_locked(TClock& c, double pts, int serial, double time) {
  c.pts = pts;
  c.last_updated = time;
  c.pts_drift = pts - time;
  c.serial = serial;
}

static double get_clock_locked(const TClock& c, double now) {
  if (!c.own_serial && (!c.queue_serial || c.queue_serial->load() != c.serial)) return NAN;
  if (c.paused) return c.pts;
  return c.pts_drift + now - (now - c.last_updated) * (1.0 - c.speed);
}

void init_clock(TClock& c, const std::atomic<int>* queue_serial) {
  std::lock_guard<std::mutex> g(c.lock);
  c.speed = 1.0;
  c.paused = false;
  c.queue_serial = queue_serial;
  c.own_serial = false;
  set_clock_at_locked(c, NAN, -1, NowSeconds());
}

void init_own_clock(TClock& c) {
  init_clock(c, nullptr);
  std::lock_guard<std::mutex> g(c.lock);
  c.own_serial = true;
}

void set_clock_at(TClock& c, double pts, int serial, double time) {
  std::lock_guard<std::mutex> g(c.lock);
  set_clock_at_locked(c, pts, serial, time);
}

void set_clock(TClock& c, double pts, int serial) { set_clock_at(c, pts, serial, NowSeconds()); }

double get_clock(const TClock& c) { return get_clock_at(c, NowSeconds()); }

double get_clock_at(const TClock& c, double now) {
  std::lock_guard<std::mutex> g(c.lock);
  return get_clock_locked(c, now);
}

void set_clock_speed(TClock& c, double speed) {
  std::lock_guard<std::mutex> g(c.lock);
  const double now = NowSeconds();
  set_clock_at_locked(c, get_clock_locked(c, now), c.serial, now);
  c.speed = speed;
}

void sync_clock_to_slave(TClock& c, const TClock& slave) {
  const double s = get_clock(slave);
  const int slave_serial = clock_serial(slave);
  if (std::isnan(s)) return;
  std::lock_guard<std::mutex> g(c.lock);
  const double now = NowSeconds();
  const double v = get_clock_locked(c, now);
  if (std::isnan(v) || std::fabs(v - s) > AV_NOSYNC_THRESHOLD) set_clock_at_locked(c, s, slave_serial, now);
}

void set_clock_paused(TClock& c, bool paused) {
  std::lock_guard<std::mutex> g(c.lock);
  c.paused = paused;
}

int clock_serial(const TClock& c) {
  std::lock_guard<std::mutex> g(c.lock);
  return c.serial;
}

double clock_pts(const TClock& c) {
  std::lock_guard<std::mutex> g(c.lock);
  return c.pts;
}

double clock_last_updated(const TClock& c) {
  std::lock_guard<std::mutex> g(c.lock);
  return c.last_updated;
}

double clock_speed(const TClock& c) {
  std::lock_guard<std::mutex> g(c.lock);
  return c.speed;
}

double compute_target_delay_for(double delay, double diff, double max_frame_duration) {
  const double sync_threshold = std::max(AV_SYNC_THRESHOLD_MIN, std::min(AV_SYNC_THRESHOLD_MAX, delay));
  if (std::isnan(diff) || std::fabs(diff) >= max_frame_duration) return delay;
  if (diff <= -sync_threshold) return std::max(0.0, delay + diff);
  if (diff >= sync_threshold && delay > AV_SYNC_FRAMEDUP_THRESHOLD) return delay + diff;
  if (diff >= sync_threshold) return 2 * delay;
  return delay;
}

double next_external_clock_speed(double speed, int video_packets, int audio_packets) {
  if ((video_packets >= 0 && video_packets <= EXTERNAL_CLOCK_MIN_FRAMES) ||
      (audio_packets >= 0 && audio_packets <= EXTERNAL_CLOCK_MIN_FRAMES))
    return std::max(EXTERNAL_CLOCK_SPEED_MIN, speed - EXTERNAL_CLOCK_SPEED_STEP);
  if ((video_packets >= 0 && video_packets > EXTERNAL_CLOCK_MAX_FRAMES) ||
      (audio_packets >= 0 && audio_packets > EXTERNAL_CLOCK_MAX_FRAMES))
    return std::min(EXTERNAL_CLOCK_SPEED_MAX, speed + EXTERNAL_CLOCK_SPEED_STEP);
  if (speed != 1.0) {
    // One step towards 1.0, never past it.
    const double next = speed + EXTERNAL_CLOCK_SPEED_STEP * (1.0 - speed) / std::fabs(1.0 - speed);
    if ((speed < 1.0 && next > 1.0) || (speed > 1.0 && next < 1.0)) return 1.0;
    return next;
  }
  return speed;
}

int synchronize_audio_for(int nb_samples, double diff, int src_freq, TAudioSyncState& st) {
  if (std::isnan(diff) || std::fabs(diff) >= AV_NOSYNC_THRESHOLD) {
    st.diff_avg_count = 0;
    st.diff_cum = 0;
    return nb_samples;
  }
  st.diff_cum = diff + st.diff_avg_coef * st.diff_cum;
  if (st.diff_avg_count < AUDIO_DIFF_AVG_NB) {
    st.diff_avg_count++;
    return nb_samples;
  }
  const double avg = st.diff_cum * (1.0 - st.diff_avg_coef);
  if (std::fabs(avg) >= st.diff_threshold) {
    int wanted = nb_samples + static_cast<int>(diff * src_freq);
    const int min_nb = nb_samples * (100 - SAMPLE_CORRECTION_PERCENT_MAX) / 100;
    const int max_nb = nb_samples * (100 + SAMPLE_CORRECTION_PERCENT_MAX) / 100;
    return std::clamp(wanted, min_nb, max_nb);
  }
  return nb_samples;
}

}  // namespace kivora
