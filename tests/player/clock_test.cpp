#include "kivora/player/clock.h"

#include <gtest/gtest.h>

#include <thread>

namespace kivora {
namespace {

TEST(Clock, ReadsNaNUntilSetWithItsQueuesSerialAndAgainAfterTheQueueMovesOn) {
  std::atomic<int> queueSerial{1};
  TClock c;
  init_clock(c, &queueSerial);
  EXPECT_TRUE(std::isnan(get_clock(c)));
  set_clock(c, 5.0, 1);
  EXPECT_NEAR(get_clock(c), 5.0, 0.05);
  queueSerial = 2;  // a seek flushed the queue
  EXPECT_TRUE(std::isnan(get_clock(c)));
}

TEST(Clock, RunsInRealTimeAndStandsStillWhilePaused) {
  std::atomic<int> queueSerial{1};
  TClock c;
  init_clock(c, &queueSerial);
  set_clock_at(c, 10.0, 1, 100.0);
  EXPECT_DOUBLE_EQ(get_clock_at(c, 101.5), 11.5);
  set_clock_paused(c, true);
  EXPECT_DOUBLE_EQ(get_clock_at(c, 101.5), 10.0);
  EXPECT_DOUBLE_EQ(get_clock_at(c, 500.0), 10.0);
}

TEST(Clock, SpeedScalesTheRunningTime) {
  TClock c;
  init_own_clock(c);
  set_clock_at(c, 0.0, 0, 100.0);
  {
    std::lock_guard<std::mutex> g(c.lock);
    c.speed = 0.9;
  }
  EXPECT_NEAR(get_clock_at(c, 110.0), 9.0, 1e-9);
}

TEST(Clock, SlaveSyncOnlyAcrossLargeGapsOrFromNaN) {
  std::atomic<int> qs{3};
  TClock master, slave;
  init_own_clock(master);
  init_clock(slave, &qs);
  set_clock(slave, 42.0, 3);
  sync_clock_to_slave(master, slave);
  EXPECT_NEAR(get_clock(master), 42.0, 0.05) << "a NaN clock takes the slave's value";
  set_clock(slave, 45.0, 3);
  sync_clock_to_slave(master, slave);
  EXPECT_NEAR(get_clock(master), 42.0, 0.05) << "3 s apart is corrected elsewhere, not by a jump";
  set_clock(slave, 60.0, 3);
  sync_clock_to_slave(master, slave);
  EXPECT_NEAR(get_clock(master), 60.0, 0.05);
}

TEST(Clock, TargetDelayFollowsTheMaster) {
  const double maxDur = 10.0;
  EXPECT_DOUBLE_EQ(compute_target_delay_for(0.04, -0.2, maxDur), 0.0) << "late picture shown at once";
  EXPECT_DOUBLE_EQ(compute_target_delay_for(0.04, 0.2, maxDur), 0.08) << "early picture waits double";
  EXPECT_DOUBLE_EQ(compute_target_delay_for(0.5, 0.2, maxDur), 0.7) << "long frames are extended instead";
  EXPECT_DOUBLE_EQ(compute_target_delay_for(0.04, 0.01, maxDur), 0.04) << "inside the threshold";
  EXPECT_DOUBLE_EQ(compute_target_delay_for(0.04, NAN, maxDur), 0.04);
  EXPECT_DOUBLE_EQ(compute_target_delay_for(0.04, 11.0, maxDur), 0.04) << "discontinuities are not corrected";
}

TEST(Clock, ExternalSpeedStaysInBoundsAndReturnsToOne) {
  double s = 1.0;
  for (int i = 0; i < 500; i++) s = next_external_clock_speed(s, 1, -1);
  EXPECT_DOUBLE_EQ(s, EXTERNAL_CLOCK_SPEED_MIN);
  for (int i = 0; i < 500; i++) s = next_external_clock_speed(s, 50, -1);
  EXPECT_DOUBLE_EQ(s, EXTERNAL_CLOCK_SPEED_MAX);
  const double before = s;
  s = next_external_clock_speed(s, 5, 5);
  EXPECT_NEAR(before - s, EXTERNAL_CLOCK_SPEED_STEP, 1e-12);
  for (int i = 0; i < 100; i++) s = next_external_clock_speed(s, 5, 5);
  EXPECT_DOUBLE_EQ(s, 1.0) << "settles at 1.0 without oscillating";
}

TEST(Clock, AudioCorrectionIsBoundedAndWaitsForAnAverage) {
  TAudioSyncState st;
  st.diff_avg_coef = std::exp(std::log2(0.01) / AUDIO_DIFF_AVG_NB);
  st.diff_threshold = 8192.0 / 176400.0;
  for (int i = 0; i < AUDIO_DIFF_AVG_NB; i++) EXPECT_EQ(synchronize_audio_for(1000, 0.5, 44100, st), 1000);
  for (int i = 0; i < 10; i++) EXPECT_EQ(synchronize_audio_for(1000, 0.5, 44100, st), 1100);
  TAudioSyncState late = st;
  late.diff_cum = 0;
  late.diff_avg_count = 0;
  for (int i = 0; i < AUDIO_DIFF_AVG_NB; i++) synchronize_audio_for(1000, -0.5, 44100, late);
  EXPECT_EQ(synchronize_audio_for(1000, -0.5, 44100, late), 900);
  // A small difference on average is left alone even when one frame is off.
  TAudioSyncState small = late;
  small.diff_cum = 0;
  small.diff_avg_count = AUDIO_DIFF_AVG_NB;
  EXPECT_EQ(synchronize_audio_for(1000, 0.001, 44100, small), 1000);
  EXPECT_EQ(synchronize_audio_for(1000, NAN, 44100, st), 1000);
  EXPECT_EQ(st.diff_avg_count, 0) << "a NaN difference resets the average";
}

}  // namespace
}  // namespace kivora
