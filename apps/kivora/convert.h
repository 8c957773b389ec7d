#pragma once
// `kivora convert`: one or more inputs into one or more outputs through
// TAVConverter, with progress on the terminal, as plain lines or as JSON.
#include <ostream>
#include <string>
#include <vector>

namespace kivora::app {

struct ConvertRequest {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::vector<std::string> sets;           // "Name=Value": a property, else a free output option
  std::vector<std::string> maps;           // stream maps, in order
  std::vector<std::string> input_options;  // "Name=Value" for the inputs
  bool verbose = false;                    // FFmpeg's log on stderr
  std::string profile;                     // "dvd:ntsc", "h264:slow" or "FILE:N", applied before sets
  std::string key_file;                    // the inputs are encrypted with the key in this file
};

enum class ProgressStyle {
  None,   // nothing while converting
  Bar,    // one line redrawn in place (a terminal)
  Lines,  // a plain line now and then (a file or pipe)
  Json,   // one JSON object per progress step, and one with the result
};

struct ConvertResult {
  enum { Completed, Stopped, Failed } outcome = Failed;
  std::string error;         // what failed
  std::string ffmpeg_error;  // FFmpeg's last error line, if any
  int progress = 0;          // percent
  double converted = 0;      // seconds of media converted
  double duration = 0;       // seconds of media in the inputs
  double wall = 0;           // seconds the conversion took
  int64_t stdout_bytes = -1; // bytes written to standard output (-o -), or -1
};

// True when an output of the request is standard output ("-"): the command
// then writes its own report to stderr.
bool WritesStdout(const ConvertRequest& request);

// Converts as asked, showing progress on out (Bar and Lines: on err). An
// input "-" is standard input, an output "-" standard output. A
// first Ctrl-C stops the conversion cleanly (the outputs get their
// trailers), a second one ends the program at once. Throws UsageError for
// a request that makes no sense (a --set name that is no property, ...).
ConvertResult RunConversion(const ConvertRequest& request, ProgressStyle style, std::ostream& out,
                            std::ostream& err);

}  // namespace kivora::app
