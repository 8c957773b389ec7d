#pragma once
// `kivora demo`: the library at work on a short clip, one step after another.
#include <ostream>
#include <string>
#include <vector>

namespace kivora::app {

// What each demo step gets.
struct DemoContext {
  std::string clip;      // the media the demo works on
  std::string work_dir;  // a temporary folder for anything a step writes
  std::ostream& out;
  std::ostream& err;
};

// args are what follows "demo": an optional media file to use instead of the
// built-in sample clip, and --keep to leave the work folder in place.
// Returns the exit code: 0 when every step succeeded.
int RunDemo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kivora::app
