#pragma once
// `kivora preview`: pictures of a file at chosen times, from one open.
#include <ostream>
#include <string>
#include <vector>

namespace kivora::app {

struct PreviewOptions {
  std::string file;
  std::vector<double> at;  // seconds from the start of the video
  bool accurate = false;   // the picture on screen, not the key frame's
  std::string out;         // PNG file name; "%d" becomes the picture's place (1, 2...)
  bool json = false;
  std::string key_file;    // the input is encrypted with the key in this file
};

struct PreviewShot {
  double requested = 0;  // seconds
  double shown = 0;      // the shown picture's time; NaN when none came out
  double ms = 0;         // decoding and conversion
  int width = 0, height = 0;
  bool pastEnd = false;  // the time lies at or past the end: the last picture is shown
  std::string png;       // written file, if any
  std::string error;
};

// The file name of picture number n (from 1) for pattern: its "%d" (or
// "%0Nd", padded to N digits) replaced by n. std::invalid_argument when N is
// more digits than a file name can hold.
std::string PreviewFileName(const std::string& pattern, int n);

// Opens the file once and decodes one picture per time; writes the PNGs when
// options.out is set. Throws std::runtime_error when the file cannot be opened.
std::vector<PreviewShot> RunPreview(const PreviewOptions& options);
void PrintPreviewText(std::ostream& out, const std::vector<PreviewShot>& shots);
// A JSON list: per picture the requested time "at", the shown picture's
// "time" (null when none), "ms", "past_end" (true when the time lies at or
// past the end of the file) and "file" when one was written.
void PrintPreviewJson(std::ostream& out, const std::vector<PreviewShot>& shots);

}  // namespace kivora::app
