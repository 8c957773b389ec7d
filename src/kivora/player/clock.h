#pragma once
// The player's clocks. A clock runs from the value it was last set to, at its
// speed; a clock whose serial is older than its packet queue's reads NaN.
#include <atomic>
#include <cmath>
#include <mutex>

namespace kivora {

constexpr double AV_SYNC_THRESHOLD_MIN = 0.04;
constexpr double AV_SYNC_THRESHOLD_MAX = 0.1;
constexpr double AV_SYNC_FRAMEDUP_THRESHOLD = 0.1;
constexpr double AV_NOSYNC_THRESHOLD = 10.0;
constexpr int EXTERNAL_CLOCK_MIN_FRAMES = 2;
constexpr int EXTERNAL_CLOCK_MAX_FRAMES = 10;
constexpr double EXTERNAL_CLOCK_SPEED_MIN = 0.900;
constexpr double EXTERNAL_CLOCK_SPEED_MAX = 1.010;
constexpr double EXTERNAL_CLOCK_SPEED_STEP = 0.001;
constexpr int AUDIO_DIFF_AVG_NB = 20;
constexpr int SAMPLE_CORRECTION_PERCENT_MAX = 10;

// Seconds of the monotonic clock FFmpeg uses (av_gettime_relative).
double NowSeconds();

// Written by one thread and read by others: every field is read and written
// under the clock's own small lock.
struct TClock {
  double pts = NAN;
  double pts_drift = NAN;
  double last_updated = 0;
  double speed = 1.0;
  int serial = -1;
  bool paused = false;
  const std::atomic<int>* queue_serial = nullptr;
  // The external clock belongs to no queue: it is never obsolete.
  bool own_serial = false;
  mutable std::mutex lock;
};

void init_clock(TClock& c, const std::atomic<int>* queue_serial);
// A clock compared with its own serial only (the external clock).
void init_own_clock(TClock& c);
void set_clock_at(TClock& c, double pts, int serial, double time);
void set_clock(TClock& c, double pts, int serial);
double get_clock(const TClock& c);
// get_clock as of the given time (for tests and for consistent readings).
double get_clock_at(const TClock& c, double now);
void set_clock_speed(TClock& c, double speed);
void sync_clock_to_slave(TClock& c, const TClock& slave);
void set_clock_paused(TClock& c, bool paused);
int clock_serial(const TClock& c);
double clock_pts(const TClock& c);
double clock_last_updated(const TClock& c);
double clock_speed(const TClock& c);

// The time to wait before the next picture, given the nominal delay and the
// video clock's difference to the master clock (NaN: no correction).
double compute_target_delay_for(double delay, double diff, double max_frame_duration);
// The next external clock speed given the queue fill levels (-1 = no stream).
double next_external_clock_speed(double speed, int video_packets, int audio_packets);
// Samples wanted for one audio frame given the averaged difference state.
struct TAudioSyncState {
  double diff_cum = 0;
  double diff_avg_coef = 0;
  double diff_threshold = 0;
  int diff_avg_count = 0;
};
int synchronize_audio_for(int nb_samples, double diff, int src_freq, TAudioSyncState& st);

}  // namespace kivora
