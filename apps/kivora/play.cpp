// `kivora play`: argument handling, the application object and the report.
#include "play.h"

#include <QApplication>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include "json.h"
#include "kivora/runtime/utils.h"

namespace kivora::app {

namespace {

const char* const kPlayUsage =
    "Usage: kivora play FILE [--seconds N]\n"
    "       kivora play FILE --headless [--seconds N] [--seek T]... [--json]\n"
    "\n"
    "Without --headless: a window with the picture and controls. Keys: space\n"
    "pause, left/right seek 5 s, up/down volume, f or double click full screen,\n"
    "q or Escape quit. --seconds closes the window after N seconds.\n"
    "\n"
    "With --headless: no window and no sound device; plays N seconds (default:\n"
    "to the end), seeks to each T in turn once half a second has played, and\n"
    "reports what was shown.\n";

bool ParseSeconds(const std::string& text, double& value) {
  try {
    size_t used = 0;
    value = std::stod(text, &used);
    return used == text.size() && std::isfinite(value) && value >= 0;
  } catch (const std::exception&) {
    return false;
  }
}

std::string Ms(double ms) {
  if (!std::isfinite(ms)) return "-";
  std::ostringstream s;
  s << std::fixed << std::setprecision(1) << ms << " ms";
  return s.str();
}

}  // namespace

QApplication* EnsureApplication(bool headless) {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  if (headless) {
    // The user's own choice wins: only unset variables are filled in.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
  }
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    // Qt warns without one; a private folder of our own keeps the output clean.
    const std::string dir = "/tmp/kivora-runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 0);
  }
  // QApplication keeps references to argc and argv for its whole life.
  static int argc = 1;
  static char name[] = "kivora";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

bool DisplayAvailable() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform.startsWith("offscreen") || platform.startsWith("minimal")) return false;
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void PrintPlayReportText(std::ostream& out, const PlayReport& r) {
  out << "Played " << r.file << " for " << std::fixed << std::setprecision(1) << r.played_s << " s\n";
  out << "  pictures shown     " << r.frames_shown << "\n";
  out << "  pictures dropped   " << r.frames_dropped << "\n";
  out << "  first picture      " << Ms(r.first_picture_ms) << "\n";
  for (size_t i = 0; i < r.seek_ms.size(); ++i)
    out << "  seek " << i + 1 << " to picture  " << Ms(r.seek_ms[i]) << "\n";
  if (r.has_av_diff)
    out << "  video - audio      median " << Ms(r.av_diff_median_ms) << ", 99% within " << Ms(r.av_diff_p99_ms)
        << ", max " << Ms(r.av_diff_max_ms) << "\n";
  out << "  sound delivered    " << r.audio_bytes << " bytes\n";
  out << "  reached the end    " << (r.finished ? "yes" : "no") << "\n";
  out << "  final position     " << GetTimeString(r.position, false) << "\n";
}

void PrintPlayReportJson(std::ostream& out, const PlayReport& r) {
  JsonWriter w(out);
  w.BeginObject();
  w.Key("file").String(r.file);
  w.Key("frames_shown").Int(r.frames_shown);
  w.Key("frames_dropped").Int(r.frames_dropped);
  w.Key("first_picture_ms").Number(r.first_picture_ms);
  w.Key("seek_ms").BeginArray();
  for (double ms : r.seek_ms) w.Number(ms);
  w.EndArray();
  if (r.has_av_diff) {
    w.Key("av_diff_ms").BeginObject();
    w.Key("median").Number(r.av_diff_median_ms);
    w.Key("p99").Number(r.av_diff_p99_ms);
    w.Key("max").Number(r.av_diff_max_ms);
    w.EndObject();
  }
  w.Key("audio_bytes").Int(r.audio_bytes);
  w.Key("finished").Bool(r.finished);
  w.Key("position").Number(r.position);
  w.EndObject();
  out << "\n";
}

int RunPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  PlayOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](double& v) {
      if (i + 1 >= args.size() || !ParseSeconds(args[i + 1], v)) {
        err << "kivora: play: " << a << " needs a number of seconds (0 or more)\n";
        return false;
      }
      ++i;
      return true;
    };
    if (a == "--headless") {
      opt.headless = true;
    } else if (a == "--json") {
      opt.json = true;
    } else if (a == "--seconds") {
      if (!value(opt.seconds)) return 2;
    } else if (a == "--seek") {
      double t;
      if (!value(t)) return 2;
      opt.seeks.push_back(t);
    } else if (a == "--help" || a == "-h") {
      out << kPlayUsage;
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      err << "kivora: play: unknown option '" << a << "'\n\n" << kPlayUsage;
      return 2;
    } else if (opt.file.empty()) {
      opt.file = a;
    } else {
      err << "kivora: play: one file at a time ('" << a << "' is one too many)\n";
      return 2;
    }
  }
  if (opt.file.empty()) {
    err << "kivora: play: which file?\n\n" << kPlayUsage;
    return 2;
  }
  if (!opt.headless && (opt.json || !opt.seeks.empty())) {
    err << "kivora: play: --json and --seek go with --headless\n";
    return 2;
  }
  if (!opt.headless) return PlayInWindow(opt, err);
  try {
    const PlayReport report = PlayHeadless(opt);
    if (opt.json) PrintPlayReportJson(out, report);
    else PrintPlayReportText(out, report);
    return 0;
  } catch (const std::exception& e) {
    err << "kivora: play: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace kivora::app
