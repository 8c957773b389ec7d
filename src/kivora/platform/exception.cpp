#include "kivora/platform/exception.h"

#include <cstdarg>
#include <cstdio>

namespace kivora {

EAssertionFailed::EAssertionFailed(const std::string& source, int line)
    : Exception("Assertion failure (" + source + ", line " + std::to_string(line) + ")") {}

std::string Format(const char* fmt, ...) {
  if (!fmt) return {};
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  // First pass measures, second pass writes: no length limit on the result.
  const int needed = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out;
  if (needed > 0) {
    out.resize(static_cast<size_t>(needed));
    std::vsnprintf(out.data(), out.size() + 1, fmt, again);
  }
  va_end(again);
  return out;
}

}  // namespace kivora
