// Linked into every test program and benchmark: what the library would show
// in a message box goes to stderr instead, so no test ever waits for a click.
// A test that wants the default handler installs it (an empty handler) itself.
#include <cstdio>
#include <string>

#include "kivora/platform/message.h"

namespace {

const bool kQuiet = [] {
  kivora::SetShowMessageHandler([](const std::string& text) {
    std::fprintf(stderr, "message: %s\n", text.c_str());
    std::fflush(stderr);
  });
  return true;
}();

}  // namespace
