// `kivora play`: argument handling, the application object and the report.
#include "play.h"

#include <QApplication>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "json_output.h"
#include "crypt_cmd.h"
#include "pipes.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/utils.h"

namespace kivora::app {

namespace {

// A number of seconds, 0 or more.
const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
      try {
        size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size() && std::isfinite(value) && value >= 0) return "";
      } catch (const std::exception&) {
      }
      return "needs a number of seconds (0 or more), not '" + text + "'";
    },
    "", "seconds");

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
  if (r.has_av_diff_after_seek)
    out << "    after each seek  " << PlayReport::kAfterSeekPictures << " pictures: 99% within "
        << Ms(r.av_diff_after_seek_p99_ms) << ", max " << Ms(r.av_diff_after_seek_max_ms) << "\n";
  out << "  sound delivered    " << r.audio_bytes << " bytes\n";
  out << "  reached the end    " << (r.finished ? "yes" : "no") << "\n";
  out << "  final position     " << GetTimeString(r.position, false) << "\n";
}

void PrintPlayReportJson(std::ostream& out, const PlayReport& r) {
  QJsonObject o;
  o.insert("file", JsonString(r.file));
  o.insert("frames_shown", JsonInt(r.frames_shown));
  o.insert("frames_dropped", JsonInt(r.frames_dropped));
  o.insert("first_picture_ms", JsonNumber(r.first_picture_ms));
  QJsonArray seeks;
  for (double ms : r.seek_ms) seeks.append(JsonNumber(ms));
  o.insert("seek_ms", seeks);
  if (r.has_av_diff) {
    QJsonObject av{{"median", JsonNumber(r.av_diff_median_ms)},
                   {"p99", JsonNumber(r.av_diff_p99_ms)},
                   {"max", JsonNumber(r.av_diff_max_ms)}};
    if (r.has_av_diff_after_seek) {
      av.insert("after_seek", QJsonObject{{"pictures", PlayReport::kAfterSeekPictures},
                                          {"p99", JsonNumber(r.av_diff_after_seek_p99_ms)},
                                          {"max", JsonNumber(r.av_diff_after_seek_max_ms)}});
    }
    o.insert("av_diff_ms", av);
  }
  o.insert("audio_bytes", JsonInt(r.audio_bytes));
  o.insert("finished", r.finished);
  o.insert("position", JsonNumber(r.position));
  PrintJson(out, o);
}

void AddPlayCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("play", "play a file in a window (space, arrows, q), or without one and report");
  auto opt = std::make_shared<PlayOptions>();
  cmd->add_option("FILE", opt->file, "the media file (or URL) to play; - reads standard input")->required();
  CLI::Option* headless =
      cmd->add_flag("--headless", opt->headless, "no window and no sound device: play, then report what was shown");
  cmd->add_option("--seconds", opt->seconds, "stop after N seconds (default: at the end, or when the window closes)")
      ->type_name("N")
      ->check(kSeconds);
  cmd->add_option("--seek", opt->seeks, "seek to T seconds once half a second has played; repeat for more seeks")
      ->type_name("T")
      ->allow_extra_args(false)
      ->check(kSeconds)
      ->needs(headless);
  cmd->add_flag("--json", opt->json, "the report as one JSON object on stdout")->needs(headless);
  cmd->add_flag("--gpu", opt->gpu,
                "draw the pictures with OpenGL: the decoded YUV planes go to the GPU, which converts them with "
                "the picture's own colour matrix and range")
      ->excludes(headless);
  // For the screen tests: what the window shows, grabbed from inside the
  // program just before --seconds closes it.
  cmd->add_option("--grab", opt->grab_file, "save the picture area as an image when --seconds ends")
      ->type_name("PNG")
      ->excludes(headless)
      ->group("");
  cmd->add_option("--key-file", opt->key_file, "decrypt the input with the 16-byte key text in F (- reads it from standard input)")->type_name("F");
  cmd->footer(
      "In a window, keys: space pause, left/right seek 5 s, up/down volume, f or\n"
      "double click full screen, q or Escape quit.\n"
      "\n"
      "With --headless: no window and no sound device; plays N seconds (default:\n"
      "to the end), seeks to each T in turn once half a second has played, and\n"
      "reports what was shown.");
  SetCommandRun(*cmd, [opt] {
    StdinSource stdin_source;
    PlayOptions options = *opt;
    EncryptedInputs encrypted(options.key_file);
    encrypted.Resolve(options.file);
    ResolveStdin(options.file, stdin_source);
    if (!options.headless) return PlayInWindow(options, std::cerr);
    try {
      const PlayReport report = PlayHeadless(options);
      if (opt->json) PrintPlayReportJson(std::cout, report);
      else PrintPlayReportText(std::cout, report);
      return 0;
    } catch (const std::exception& e) {
      std::cerr << "kivora: play: " << e.what() << "\n";
      return 1;
    }
  });
}

}  // namespace kivora::app
