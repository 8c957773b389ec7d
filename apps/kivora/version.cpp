// `kivora version`: the library's version and the FFmpeg and Qt it runs with.
#include <QtGlobal>
#include <iostream>
#include <string>

#include "commands.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/version.h"

namespace kivora::app {

namespace {

std::string Version(unsigned v) {
  return std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
         std::to_string(AV_VERSION_MICRO(v));
}

}  // namespace

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

void AddVersionCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("version", "show the library and FFmpeg versions");
  SetCommandRun(*cmd, [] { return RunVersion(std::cout); });
}

}  // namespace kivora::app
