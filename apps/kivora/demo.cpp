// The demo: makes (or takes) a clip and runs each step on it. A new part of
// the library shows itself by adding a step to Steps().
#include "demo.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "play.h"
#include "probe.h"
#include "sample.h"

namespace kivora::app {

namespace {

struct DemoStep {
  const char* title;
  std::function<void(DemoContext&)> run;  // throws to report a failure
};

void ProbeStep(DemoContext& ctx) { PrintProbeText(ctx.out, ProbeFile(ctx.clip)); }

// A few seconds of the clip: in a window when there is a display, else
// without one, with the player's report.
void PlayStep(DemoContext& ctx) {
  PlayOptions options;
  options.file = ctx.clip;
  options.seconds = 4;
  if (DisplayAvailable()) {
    ctx.out << "Playing in a window for " << options.seconds << " s (space pauses, q closes)\n";
    if (PlayInWindow(options, ctx.err) != 0) throw std::runtime_error("the clip could not be played");
    return;
  }
  options.headless = true;
  const PlayReport report = PlayHeadless(options);
  PrintPlayReportText(ctx.out, report);
  if (report.frames_shown == 0 && report.audio_bytes == 0) throw std::runtime_error("nothing was played");
}

std::vector<DemoStep> Steps() {
  return {
      {"What the clip holds (kivora probe)", ProbeStep},
      {"Playing the clip (kivora play)", PlayStep},
  };
}

// A fresh folder under the system's temporary folder, removed at the end
// unless the user asked to keep it.
class WorkDir {
public:
  explicit WorkDir(bool keep) : FKeep(keep) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kivora-demo-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
    FPath = tmpl;
  }
  ~WorkDir() {
    std::error_code ec;
    if (!FKeep) std::filesystem::remove_all(FPath, ec);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
  bool FKeep;
};

}  // namespace

int RunDemo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool keep = false;
  std::string file;
  for (const std::string& a : args) {
    if (a == "--keep") {
      keep = true;
    } else if (a.size() > 1 && a[0] == '-') {
      err << "kivora: demo: unknown option '" << a << "'\n";
      return 2;
    } else if (file.empty()) {
      file = a;
    } else {
      err << "kivora: demo: one file at a time ('" << a << "' is one too many)\n";
      return 2;
    }
  }

  WorkDir work(keep);
  DemoContext ctx{file, work.Path(), out, err};
  if (ctx.clip.empty()) {
    ctx.clip = work.Path() + "/sample.mp4";
    SampleClip clip;
    out << "Making a " << clip.seconds << " s sample clip (" << clip.width << "x" << clip.height
        << " H.264 at " << clip.fps << " fps, " << clip.tone_hz << " Hz tone in AAC): " << ctx.clip
        << "\n";
    MakeSampleClip(ctx.clip, clip);
  }

  int failed = 0;
  for (const DemoStep& step : Steps()) {
    out << "\n== " << step.title << " ==\n";
    try {
      step.run(ctx);
    } catch (const std::exception& e) {
      err << "kivora: demo: " << step.title << ": " << e.what() << "\n";
      ++failed;
    }
  }
  out << "\n";
  if (keep) out << "Work folder kept: " << work.Path() << "\n";
  out << (failed ? "Demo finished with errors.\n" : "Demo finished.\n");
  return failed ? 1 : 0;
}

}  // namespace kivora::app
