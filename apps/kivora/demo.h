#pragma once
// `kivora demo`: the library at work on a short clip, one step after another.
#include <ostream>
#include <string>

namespace kivora::app {

// What each demo step gets.
struct DemoContext {
  std::string clip;      // the media the demo works on
  std::string work_dir;  // a temporary folder for anything a step writes
  std::ostream& out;
  std::ostream& err;
};

// Runs every step on file (empty: on a sample clip made for the purpose);
// keep leaves the work folder in place. Returns the exit code: 0 when every
// step succeeded.
int RunDemo(const std::string& file, bool keep, std::ostream& out, std::ostream& err);

}  // namespace kivora::app
