#pragma once
// `kivora play`: a file in a window with the usual controls, or played
// without a window or sound device with a report of how playback went.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

class QApplication;

namespace kivora::app {

struct PlayOptions {
  std::string file;
  bool headless = false;
  double seconds = -1;        // < 0: until the end (headless) or until closed (window)
  std::vector<double> seeks;  // positions in seconds, one after another (headless)
  bool json = false;
  std::string key_file;       // the input is encrypted with the key in this file
  bool gpu = false;           // the window draws YUV pictures with OpenGL (TAVGLView)
  std::string grab_file;      // the picture area saved as an image when --seconds ends (tests)
};

// How a headless session went. Times in milliseconds; NaN when the event
// never happened.
struct PlayReport {
  std::string file;
  int64_t frames_shown = 0;
  int64_t frames_dropped = 0;
  double first_picture_ms = 0;
  std::vector<double> seek_ms;  // one per requested seek
  // Video clock minus audio clock at each picture shown: the median of the
  // signed differences, the 99th percentile and maximum of their sizes. Only
  // with both sound and picture.
  bool has_av_diff = false;
  double av_diff_median_ms = 0;
  double av_diff_p99_ms = 0;
  double av_diff_max_ms = 0;
  // The same sizes over the first kAfterSeekPictures pictures after each
  // seek, where the clocks drift apart most easily. Only when a seek was made.
  static constexpr int kAfterSeekPictures = 25;
  bool has_av_diff_after_seek = false;
  double av_diff_after_seek_p99_ms = 0;
  double av_diff_after_seek_max_ms = 0;
  int64_t audio_bytes = 0;
  bool finished = false;
  double position = 0;  // seconds
  double played_s = 0;  // wall time from the first picture or sound to the end
};

// Plays options.file without showing anything. Throws std::runtime_error
// with the player's message when the file cannot be opened.
PlayReport PlayHeadless(const PlayOptions& options);

void PrintPlayReportText(std::ostream& out, const PlayReport& report);
void PrintPlayReportJson(std::ostream& out, const PlayReport& report);

// Shows options.file in a window until the user closes it (or options.seconds
// have passed). Returns the exit code: 1 when the file could not be played.
int PlayInWindow(const PlayOptions& options, std::ostream& err);

// The application object of the program, made on first use. Headless, the
// offscreen platform and the silent sound driver are chosen first unless the
// user chose others.
QApplication* EnsureApplication(bool headless);
// True when a window can be shown: a display is there and the platform is
// not the offscreen one.
bool DisplayAvailable();

}  // namespace kivora::app
