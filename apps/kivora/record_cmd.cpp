// `kivora record`: records a camera and a microphone into a file through
// TAndroidRecorder. The program has no GUI thread, so the recorder's events
// run on its worker; the main thread shows the progress and watches for
// Ctrl-C, which ends the recording cleanly (the file gets its ending).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "commands.h"
#include "kivora/recorder/recorder.h"

namespace kivora::app {

namespace {

// The first Ctrl-C (or termination request) ends the recording cleanly; a
// second one leaves at once, should the ending itself hang.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnRecordInterrupt(int) {
  if (g_interrupted.fetch_add(1) >= 1) _exit(130);
}

// Installs the handler for its lifetime and puts the old ones back after.
class StopRequests {
public:
  StopRequests() {
    g_interrupted = 0;
    struct sigaction sa {};
    sa.sa_handler = OnRecordInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &FOldInt);
    sigaction(SIGTERM, &sa, &FOldTerm);
  }
  ~StopRequests() {
    sigaction(SIGINT, &FOldInt, nullptr);
    sigaction(SIGTERM, &FOldTerm, nullptr);
  }
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

private:
  struct sigaction FOldInt {}, FOldTerm {};
};

struct RecordOptions {
  std::string out;
  double seconds = 0;
  int camera = 0;
  std::string video_input;  // FORMAT:DEVICE
  std::string audio_input;  // FORMAT:DEVICE, or "none"
  std::string size;         // WxH
  int frame_rate = 0;
};

// "FORMAT:DEVICE" split at the first colon; the device may hold colons itself.
std::pair<std::string, std::string> Device(const std::string& text, const char* option) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw UsageError(std::string(option) + " '" + text +
                     "': FORMAT:DEVICE expected (v4l2:/dev/video0, lavfi:testsrc2)");
  return {text.substr(0, colon), text.substr(colon + 1)};
}

// What the recorder's events report, read by the waiting loop.
struct Events {
  std::mutex lock;
  std::condition_variable changed;
  bool stopped = false;
  std::string error;
};

int RunRecord(const RecordOptions& opt) {
  if (opt.seconds < 0 || !std::isfinite(opt.seconds)) throw UsageError("--seconds must be 0 or more");
  if (opt.camera < 0) throw UsageError("--camera must be 0 or more");
  if (opt.frame_rate < 0) throw UsageError("--frame-rate must be more than 0");
  auto events = std::make_shared<Events>();
  TAndroidRecorder rec;
  if (!opt.video_input.empty()) {
    const auto [format, device] = Device(opt.video_input, "--video-input");
    rec.SetVideoInputFormat(format);
    rec.SetVideoDevice(device);
  }
  if (opt.audio_input == "none") {
    rec.SetAudioDevice("");
  } else if (!opt.audio_input.empty()) {
    const auto [format, device] = Device(opt.audio_input, "--audio-input");
    rec.SetAudioInputFormat(format);
    rec.SetAudioDevice(device);
  }
  if (!opt.size.empty()) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(opt.size.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w <= 0 || h <= 0)
      throw UsageError("--size '" + opt.size + "': WIDTHxHEIGHT expected");
    rec.SetWidth(w);
    rec.SetHeight(h);
  }
  if (opt.frame_rate > 0) rec.SetFrameRate(opt.frame_rate);
  rec.SetOutputFile(opt.out);
  rec.SetRecordTime(static_cast<int64_t>(std::llround(opt.seconds * 1e6)));
  rec.SetSynchronous(true);
  auto raise = [events](auto&& change) {
    {
      std::lock_guard<std::mutex> g(events->lock);
      change(*events);
    }
    events->changed.notify_all();
  };
  rec.OnError = [raise](TComponent*, const std::string& msg) {
    raise([&](Events& e) {
      if (e.error.empty()) e.error = msg;  // the first error is the cause
    });
  };
  rec.OnStopped = [raise](TComponent*) { raise([](Events& e) { e.stopped = true; }); };

  StopRequests stops;
  rec.StartRecord(opt.camera);
  {
    std::lock_guard<std::mutex> g(events->lock);
    if (!events->error.empty() || (!rec.Recording() && !events->stopped)) {
      std::cerr << "kivora: record: " << (events->error.empty() ? "the recording did not start" : events->error)
                << "\n";
      return 1;
    }
  }

  const bool terminal = isatty(STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  double shown = -1;
  bool stopping = false;
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(events->lock);
      events->changed.wait_for(lk, std::chrono::milliseconds(200),
                               [&] { return events->stopped || g_interrupted > 0; });
      if (events->stopped) break;
    }
    if (g_interrupted > 0 && !stopping) {
      stopping = true;
      if (terminal) std::cerr << "\n";
      std::cerr << "kivora: record: stopping; the file gets its ending (Ctrl-C again quits at once)\n" << std::flush;
      rec.StopRecord();  // returns once the file is complete
      break;
    }
    if (!rec.Recording()) break;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A redrawn line on a terminal, a line a second otherwise.
    if (terminal || wall - shown >= 1.0) {
      shown = wall;
      char line[128];
      std::snprintf(line, sizeof line, "recording %s: %.1f s, %lld pictures", opt.out.c_str(), rec.RecordedSeconds(),
                    static_cast<long long>(rec.FrameCount()));
      std::cerr << (terminal ? "\r" : "") << line << (terminal ? "" : "\n") << std::flush;
    }
  }
  if (rec.Recording()) rec.StopRecord();
  if (terminal && shown >= 0 && !stopping) std::cerr << "\n";
  std::string error;
  {
    std::lock_guard<std::mutex> g(events->lock);
    error = events->error;
  }
  if (!error.empty()) {
    std::cerr << "kivora: record: " << error << "\n";
    return 1;
  }
  std::printf("%s: %.1f s recorded, %lld pictures\n", opt.out.c_str(), rec.RecordedSeconds(),
              static_cast<long long>(rec.FrameCount()));
  std::fflush(stdout);
  return 0;
}

}  // namespace

void AddRecordCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("record", "record a camera and a microphone into a file");
  auto opt = std::make_shared<RecordOptions>();
  cmd->add_option("OUT", opt->out, "the file to record into; its name chooses the container")->required();
  cmd->add_option("--seconds", opt->seconds, "end after this many seconds (0: until Ctrl-C)");
  cmd->add_option("--camera", opt->camera, "the camera number: /dev/video<N> by default");
  cmd->add_option("--video-input", opt->video_input,
                  "FORMAT:DEVICE of the camera (v4l2:/dev/video0, lavfi:testsrc2=size=640x480:rate=30)");
  cmd->add_option("--audio-input", opt->audio_input,
                  "FORMAT:DEVICE of the microphone (pulse:default, alsa:default, lavfi:sine), or none");
  cmd->add_option("--size", opt->size, "WIDTHxHEIGHT of the recorded picture (640x480)");
  cmd->add_option("--frame-rate", opt->frame_rate, "pictures a second (30)");
  cmd->footer(
      "Shows a progress line while it records. Ctrl-C ends the recording and the file\n"
      "still plays. A device that cannot be opened ends the command with its reason\n"
      "before anything is written.");
  SetCommandRun(*cmd, [opt] { return RunRecord(*opt); });
}

}  // namespace kivora::app
