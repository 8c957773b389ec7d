#pragma once
// `kivora motion`: where motion begins and ends in a file.
#include <ostream>
#include <string>
#include <vector>

namespace kivora::app {

struct MotionOptions {
  std::string file;
  bool json = false;
  std::string maskDir;  // a PNG of the mask at each begin goes here
  int tolerance = 1000;
  int sensivity = 32;
  int hold = 3;  // seconds
};

struct MotionEvent {
  bool begin = true;
  double time = 0;  // media seconds from the start of the video
  std::string mask;  // the PNG written for a begin
};

struct MotionReport {
  std::vector<MotionEvent> events;
  int frames = 0;  // pictures decoded
};

// Decodes every picture of the file and feeds it, with its own time, to a
// motion detector primed with the first one and again with the first one of
// each new picture size (motion going on then ends there). Throws std::runtime_error when
// the file cannot be opened.
MotionReport RunMotion(const MotionOptions& options);
void PrintMotionText(std::ostream& out, const MotionReport& report);
// A JSON list of {"event": "begin"|"end", "time": seconds} (and "mask").
void PrintMotionJson(std::ostream& out, const MotionReport& report);

}  // namespace kivora::app
