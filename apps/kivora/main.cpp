// The kivora program: the library's own command-line tool.
#include <QtGlobal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "demo.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/version.h"
#include "play.h"
#include "probe.h"

namespace {

const char* const kUsage =
    "Usage: kivora COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  demo [FILE] [--keep]   make a short sample clip (or take FILE) and show what\n"
    "                         the library does with it\n"
    "  play FILE              play a file in a window (space, arrows, q)\n"
    "  play FILE --headless [--seconds N] [--seek T]... [--json]\n"
    "                         play without window or sound device and report\n"
    "  probe FILE [--json]    show the container and streams of a media file\n"
    "  version                show the library and FFmpeg versions\n"
    "  help                   show this text\n";

std::string Version(unsigned v) {
  return std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
         std::to_string(AV_VERSION_MICRO(v));
}

int RunVersion(std::ostream& out) {
  out << "kivora " << KIVORA_VERSION_STRING << "\n";
  out << "FFmpeg " << av_version_info() << "\n";
  struct Lib {
    const char* name;
    unsigned runtime;
    unsigned built;
  };
  const Lib libs[] = {
      {"libavutil", avutil_version(), LIBAVUTIL_VERSION_INT},
      {"libavcodec", avcodec_version(), LIBAVCODEC_VERSION_INT},
      {"libavformat", avformat_version(), LIBAVFORMAT_VERSION_INT},
      {"libavdevice", avdevice_version(), LIBAVDEVICE_VERSION_INT},
      {"libavfilter", avfilter_version(), LIBAVFILTER_VERSION_INT},
      {"libswscale", swscale_version(), LIBSWSCALE_VERSION_INT},
      {"libswresample", swresample_version(), LIBSWRESAMPLE_VERSION_INT},
  };
  for (const Lib& l : libs) {
    out << "  " << l.name << std::string(15 - std::string(l.name).size(), ' ') << Version(l.runtime);
    if (l.runtime != l.built) out << " (built with " << Version(l.built) << ")";
    out << "\n";
  }
  out << "Qt " << qVersion() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> all(argv + 1, argv + argc);
  if (all.empty() || all[0] == "help" || all[0] == "--help" || all[0] == "-h") {
    std::cout << kUsage;
    return 0;
  }
  const std::string command = all[0];
  const std::vector<std::string> args(all.begin() + 1, all.end());
  try {
    kivora::LoadLibs();
    if (command == "version" || command == "--version") return RunVersion(std::cout);
    if (command == "probe") return kivora::app::RunProbe(args, std::cout, std::cerr);
    if (command == "play") return kivora::app::RunPlay(args, std::cout, std::cerr);
    if (command == "demo") return kivora::app::RunDemo(args, std::cout, std::cerr);
    std::cerr << "kivora: unknown command '" << command << "'\n\n" << kUsage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "kivora: " << e.what() << "\n";
    return 1;
  } catch (...) {
    std::cerr << "kivora: unexpected error\n";
    return 1;
  }
}
