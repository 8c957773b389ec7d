// The demo: makes (or takes) a clip and runs each step on it. A new part of
// the library shows itself by adding a step to Steps().
#include "demo.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QWidget>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "commands.h"
#include "kivora/converter/converter.h"
#include "kivora/io/url.h"
#include "kivora/platform/bitmap.h"
#include "kivora/platform/mainthread.h"
#include "kivora/presentation/widget_capture.h"
#include "convert.h"
#include "motion_cmd.h"
#include "play.h"
#include "preview_cmd.h"
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

// The clip re-encoded to MPEG-4 video in Matroska, its sound copied as it is;
// then what the new file holds.
void ConvertStep(DemoContext& ctx) {
  ConvertRequest request;
  request.inputs = {ctx.clip};
  request.outputs = {ctx.work_dir + "/converted.mkv"};
  request.sets = {"VideoOptions.VideoCodecName=mpeg4", "VideoOptions.VideoQscale=4", "AudioOptions.AudioStreamCopy=1"};
  ctx.out << "kivora convert " << ctx.clip << " -o " << request.outputs[0];
  for (const std::string& set : request.sets) ctx.out << " --set " << set;
  ctx.out << "\n";
  const ConvertResult r = RunConversion(request, ProgressStyle::None, ctx.out, ctx.err);
  if (r.outcome != ConvertResult::Completed)
    throw std::runtime_error(r.error.empty() ? "the conversion did not complete" : r.error);
  char took[96];
  std::snprintf(took, sizeof took, "Converted %.1f s of media in %.2f s: ", r.converted, r.wall);
  ctx.out << took << std::filesystem::file_size(request.outputs[0]) << " bytes\n\n";
  PrintProbeText(ctx.out, ProbeFile(request.outputs[0]));
}

// Pictures at three times from one open, written as PNGs into the work folder.
void PreviewStep(DemoContext& ctx) {
  PreviewOptions options;
  options.file = ctx.clip;
  options.at = {0.0, 1.0, 2.0};
  options.out = ctx.work_dir + "/preview-%d.png";
  const std::vector<PreviewShot> shots = RunPreview(options);
  PrintPreviewText(ctx.out, shots);
  for (const PreviewShot& s : shots)
    if (!s.error.empty()) throw std::runtime_error(s.error);
}

// Every picture through the motion detector; the mask of each begin as a PNG.
void MotionStep(DemoContext& ctx) {
  MotionOptions options;
  options.file = ctx.clip;
  options.maskDir = ctx.work_dir + "/motion";
  PrintMotionText(ctx.out, RunMotion(options));
}

// A drawing that moves with time: a ball crossing a gradient, and a bar
// that fills as the seconds pass.
class AnimatedDrawing : public QWidget {
public:
  AnimatedDrawing() { FClock.start(); }

protected:
  void paintEvent(QPaintEvent*) override {
    const double t = static_cast<double>(FClock.elapsed()) / 1000.0;
    QPainter p(this);
    QLinearGradient sky(0, 0, 0, height());
    sky.setColorAt(0, QColor(20, 40, 120));
    sky.setColorAt(1, QColor(120, 180, 230));
    p.fillRect(rect(), sky);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 200, 40));
    const double r = height() / 8.0;
    const double x = r + std::fmod(t * width() / 2.0, width() - 2 * r);
    const double y = height() / 2.0 + std::sin(t * 6.0) * height() / 4.0;
    p.drawEllipse(QPointF(x, y), r, r);
    p.setBrush(QColor(240, 60, 60));
    p.drawRect(QRectF(0, height() - 12, std::fmod(t, 2.0) / 2.0 * width(), 12));
  }

private:
  QElapsedTimer FClock;
};

// An animated widget drawn by the application, captured by TWidgetCapture
// into a bitmap and recorded from "bmpcap" for two seconds; then what the
// recording holds, read back as kivora probe reads it.
void RecordStep(DemoContext& ctx) {
  EnsureApplication(!DisplayAvailable());
  constexpr int kSeconds = 2;
  AnimatedDrawing drawing;
  drawing.resize(320, 240);
  TBitmap canvas;
  TWidgetCapture capture(&drawing, canvas);
  capture.SetRate(30);
  capture.Start();

  TAVConverter c;
  c.ConvertOptions().SetRateEmu(true);
  c.ConvertOptions().SetRecordingTime(kSeconds * 1000000LL);
  c.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
  c.ConvertOptions().VideoOptions().SetVideoQscale(4);
  TStringList formats, in, out;
  formats.Add("bmpcap");
  c.ConvertOptions().SetInputFormats(formats);
  const std::string file = ctx.work_dir + "/recorded.mp4";
  in.Add(BmpCaptureName(canvas));
  out.Add(file);
  c.SetInputFiles(in);
  c.SetOutputFiles(out);
  std::string error;
  std::atomic<bool> ended{false};
  c.OnError = [&](TComponent*, const std::string& msg, const std::string&, bool& handled) {
    error = msg;
    handled = true;
  };
  c.OnComplete = [&](TComponent*) { ended = true; };
  c.OnStopped = [&](TComponent*) { ended = true; };
  ctx.out << "Recording a drawn " << canvas.Width() << "x" << canvas.Height() << " widget for " << kSeconds
          << " s (bmpcap, MPEG-4): " << file << "\n";
  QElapsedTimer wall;
  wall.start();
  c.Convert();
  // The GUI thread keeps drawing and capturing while the converter records;
  // its events arrive here too.
  while (!(ended && c.State() == csNone) && wall.elapsed() < 60000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    MainThread::CheckSynchronize(5);
  }
  capture.Stop();
  if (c.State() != csNone) {
    c.Stop();
    c.WaitFor(10000);
    throw std::runtime_error("the recording did not end");
  }
  if (!error.empty()) throw std::runtime_error(error);
  char took[128];
  std::snprintf(took, sizeof took, "Captured %d pictures of the widget in %.2f s: ", capture.Captured(),
                static_cast<double>(wall.elapsed()) / 1000.0);
  ctx.out << took << std::filesystem::file_size(file) << " bytes\n\n";
  PrintProbeText(ctx.out, ProbeFile(file));
}

std::vector<DemoStep> Steps() {
  return {
      {"What the clip holds (kivora probe)", ProbeStep},
      {"Playing the clip (kivora play)", PlayStep},
      {"Converting the clip (kivora convert)", ConvertStep},
      {"Previewing the clip (kivora preview)", PreviewStep},
      {"Looking for motion (kivora motion)", MotionStep},
      {"Recording what the application draws (bmpcap)", RecordStep},
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

int RunDemo(const std::string& file, bool keep, std::ostream& out, std::ostream& err) {
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

namespace {

struct DemoArgs {
  std::string file;
  bool keep = false;
};

}  // namespace

void AddDemoCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand(
      "demo", "make a short sample clip (or take FILE) and show what the library does with it");
  auto args = std::make_shared<DemoArgs>();
  cmd->add_option("FILE", args->file, "a media file to use instead of the sample clip");
  cmd->add_flag("--keep", args->keep, "leave the work folder (sample clip and outputs) in place");
  SetCommandRun(*cmd, [args] { return RunDemo(args->file, args->keep, std::cout, std::cerr); });
}

}  // namespace kivora::app
