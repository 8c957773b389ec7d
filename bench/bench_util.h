#pragma once
// Small measuring helpers the benchmarks share.
#include <chrono>
#include <fstream>
#include <string>

namespace kivora::bench {

using Clock = std::chrono::steady_clock;

// Milliseconds from a to b.
inline double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// This process's resident memory in kB.
inline long RssKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

}  // namespace kivora::bench
