// `kivora convert`: drives TAVConverter from the command line. The program
// has no GUI thread, so the converter raises its events on its worker
// (Synchronous); the main thread waits on a condition variable, draws the
// progress and watches for Ctrl-C.
#include "convert.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "commands.h"
#include "convert_properties.h"
#include "json_output.h"
#include "kivora/converter/converter.h"
#include "kivora/profiles/catalog.h"
#include "crypt_cmd.h"
#include "pipes.h"

namespace kivora::app {

namespace {

// Ctrl-C presses during a conversion. The handler only counts (and leaves at
// once on the second press); the waiting loop asks the converter to stop.
std::atomic<int> g_interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) >= 1) _exit(130);
}

// Installs the handler for its lifetime and puts the old one back after.
class InterruptScope {
public:
  InterruptScope() {
    g_interrupts = 0;
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &FOld);
  }
  ~InterruptScope() { sigaction(SIGINT, &FOld, nullptr); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

private:
  struct sigaction FOld {};
};

// "Name=Value" split at the first '='.
std::pair<std::string, std::string> KeyValue(const std::string& text, const char* option) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw UsageError(std::string(option) + " '" + text + "': NAME=VALUE expected");
  return {text.substr(0, eq), text.substr(eq + 1)};
}

// What the converter's events report, read by the waiting loop.
struct Events {
  std::mutex lock;
  std::condition_variable changed;
  int progress_steps = 0;
  bool complete = false;
  bool stopped = false;
  bool failed = false;
  std::string error, ffmpeg_error;
};

// "1:02:03", "02:03" for less than an hour; "--:--" when unknown.
std::string Clock(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "--:--";
  const int64_t s = static_cast<int64_t>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02d:%02d", static_cast<long long>(s / 3600), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
  return buf;
}

// The figures of one progress step.
struct Step {
  int percent = 0;
  double time = 0;   // media seconds converted
  double speed = 0;  // media seconds per wall second
  double left = NAN;  // wall seconds to go, NAN while unknown
};

// GetLeftTime's value before there is any progress to go by.
constexpr int64_t kLeftUnknown = 362439;

Step Measure(const TAVConverter& conv, double wall) {
  Step s;
  s.percent = conv.Progress();
  s.time = conv.ConvertedDuration();
  s.speed = wall > 0 ? s.time / wall : 0;
  // From the media still to convert at the speed so far; the converter's own
  // estimate counts whole seconds, too coarse for short conversions.
  const double duration = conv.Duration();
  if (duration > 0 && s.speed > 0 && s.time > 0) {
    s.left = std::max(0.0, (duration - s.time) / s.speed);
  } else if (s.percent > 0) {
    const int64_t left = conv.GetLeftTime();
    if (left >= 0 && left < kLeftUnknown) s.left = static_cast<double>(left);
  }
  return s;
}

int TerminalWidth() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 40) return ws.ws_col;
  return 80;
}

std::string Fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, std::isfinite(v) ? v : 0.0);
  return buf;
}

// Draws the progress in the chosen style.
class ProgressView {
public:
  ProgressView(ProgressStyle style, std::ostream& out, std::ostream& err) : FStyle(style), FOut(out), FErr(err) {}

  void Show(const Step& s, double wall) {
    switch (FStyle) {
      case ProgressStyle::None: return;
      case ProgressStyle::Json: {
        QJsonObject o;
        o.insert("progress", s.percent);
        o.insert("time", JsonNumber(s.time));
        o.insert("speed", JsonNumber(s.speed));
        o.insert("left", JsonNumber(s.left));
        PrintJson(FOut, o);
        FOut.flush();
        return;
      }
      case ProgressStyle::Lines:
        // A line when the percentage moved and a second has passed.
        if (s.percent <= 0 || s.percent == FLastPercent || wall - FLastLine < 1.0) return;
        FLastPercent = s.percent;
        FLastLine = wall;
        FErr << Text(s) << "\n" << std::flush;
        return;
      case ProgressStyle::Bar: {
        const std::string text = Text(s);
        const int width = TerminalWidth() - 1;
        const int bar = std::max(10, width - static_cast<int>(text.size()) - 3);
        const int done = std::clamp(s.percent, 0, 100) * bar / 100;
        std::string line = "[" + std::string(done, '#') + std::string(bar - done, '.') + "] " + text;
        if (static_cast<int>(line.size()) > width) line.resize(width);
        FErr << "\r" << line << std::string(FDrawn > line.size() ? FDrawn - line.size() : 0, ' ') << std::flush;
        FDrawn = line.size();
        return;
      }
    }
  }

  // Ends the bar's line so the next text starts on a line of its own.
  void Finish() {
    if (FStyle == ProgressStyle::Bar && FDrawn) FErr << "\n" << std::flush;
    FDrawn = 0;
  }

private:
  static std::string Text(const Step& s) {
    std::string t = (s.percent < 10 ? "  " : s.percent < 100 ? " " : "") + std::to_string(s.percent) + "%  " +
                    Clock(s.time) + "  " + Fixed(s.speed, s.speed < 10 ? 2 : 1) + "x";
    t += std::isfinite(s.left) ? "  " + Clock(s.left) + " left" : std::string("  --:-- left");
    return t;
  }

  ProgressStyle FStyle;
  std::ostream& FOut;
  std::ostream& FErr;
  size_t FDrawn = 0;
  int FLastPercent = -1;
  double FLastLine = -1e9;
};

}  // namespace

ConvertResult RunConversion(const ConvertRequest& request, ProgressStyle style, std::ostream& out,
                            std::ostream& err) {
  if (request.inputs.empty()) throw UsageError("no input file given");
  if (request.outputs.empty()) throw UsageError("no output file given (-o OUT)");
  // Declared before the converter: its worker may use them until it is gone.
  auto events = std::make_shared<Events>();
  std::mutex err_lock;  // log lines and the progress bar share stderr
  StdinSource stdin_source;
  StdoutSink stdout_sink;
  EncryptedInputs encrypted(request.key_file);
  bool to_stdout = false;
  TAVConverter conv;
  for (std::string in : request.inputs) {
    encrypted.Resolve(in);
    ResolveStdin(in, stdin_source);
    conv.InputFiles().Add(in);
  }
  for (std::string o : request.outputs) {
    to_stdout = ResolveStdout(o, stdout_sink) || to_stdout;
    conv.OutputFiles().Add(o);
  }
  TAVConvertOptions& options = conv.ConvertOptions();
  // The profile first, so --set can change what it set.
  if (!request.profile.empty()) {
    std::string error;
    if (!ApplyProfileByName(request.profile, conv, error)) throw UsageError(error);
  }
  for (const std::string& set : request.sets) {
    const auto [name, value] = KeyValue(set, "--set");
    if (name == kPassLogFileProperty)
      conv.SetPassLogFile(value);  // the converter's own, not an option property
    else if (!SetConvertProperty(options, name, value))
      options.SetAdvancedOption(name, value);
  }
  for (const std::string& set : request.input_options) {
    const auto [name, value] = KeyValue(set, "--input-option");
    options.SetInputOption(name, value);
  }
  for (const std::string& map : request.maps) options.StreamMaps().Add(map);
  if (to_stdout && options.OutputFormat().find_first_not_of(" \t") == std::string::npos)
    throw UsageError("writing to standard output (-o -) needs a container: --set OutputFormat=NAME (matroska, mpegts, ...)");
  // No GUI thread here: the events run on the converter's worker.
  options.SetSynchronous(true);

  conv.SetLogLevel(request.verbose ? llInfo : llError);
  conv.OnLog = [&, verbose = request.verbose](TComponent*, int, const std::string& line) {
    if (!verbose) return;
    std::lock_guard<std::mutex> g(err_lock);
    err << line << (line.empty() || line.back() != '\n' ? "\n" : "") << std::flush;
  };
  auto raise = [events](auto&& change) {
    {
      std::lock_guard<std::mutex> g(events->lock);
      change(*events);
    }
    events->changed.notify_all();
  };
  conv.OnProgress = [raise](TComponent*) { raise([](Events& e) { ++e.progress_steps; }); };
  conv.OnComplete = [raise](TComponent*) { raise([](Events& e) { e.complete = true; }); };
  conv.OnStopped = [raise](TComponent*) { raise([](Events& e) { e.stopped = true; }); };
  conv.OnError = [raise](TComponent*, const std::string& msg, const std::string& log, bool& handled) {
    handled = true;  // the program reports it itself
    raise([&](Events& e) {
      if (e.failed) return;  // the first error is the cause
      e.failed = true;
      e.error = msg;
      e.ffmpeg_error = log;
    });
  };

  ConvertResult result;
  ProgressView view(style, out, err);
  InterruptScope interrupts;
  const auto start = std::chrono::steady_clock::now();
  auto wall = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  try {
    conv.Convert();
  } catch (const std::exception& e) {
    result.error = e.what();
    return result;
  }

  int shown = 0;
  int idle = 0;
  bool stopping = false;
  for (;;) {
    std::unique_lock<std::mutex> lk(events->lock);
    events->changed.wait_for(lk, std::chrono::milliseconds(100), [&] {
      return events->complete || events->stopped || events->progress_steps != shown || g_interrupts > 0;
    });
    const bool ended = events->complete || events->stopped;
    const int steps = events->progress_steps;
    lk.unlock();
    if (to_stdout && stdout_sink.Broken() && !stopping) {
      stopping = true;  // nobody reads standard output any more
      conv.Stop();
    }
    if (g_interrupts > 0 && !stopping) {
      stopping = true;
      view.Finish();
      std::lock_guard<std::mutex> g(err_lock);
      err << "kivora: convert: stopping; the outputs get their endings (Ctrl-C again quits at once)\n" << std::flush;
      conv.Stop();
    }
    if (steps != shown) {
      shown = steps;
      std::lock_guard<std::mutex> g(err_lock);
      view.Show(Measure(conv, wall()), wall());
    }
    if (ended) break;
    // An end without a final event (the worker gave up): leave after a few
    // quiet polls rather than wait for ever.
    idle = conv.State() == csNone ? idle + 1 : 0;
    if (idle >= 3) break;
  }
  conv.WaitFor(-1);
  if (to_stdout) {
    const bool sent = stdout_sink.Finish();
    result.stdout_bytes = stdout_sink.BytesWritten();
    if (!sent) {
      view.Finish();
      result.error = "standard output was closed before the conversion was written";
      result.wall = wall();
      return result;
    }
  }
  result.wall = wall();
  const Step last = Measure(conv, result.wall);
  result.progress = last.percent;
  result.converted = last.time;
  result.duration = conv.Duration();
  {
    std::lock_guard<std::mutex> g(events->lock);
    if (events->failed) {
      result.error = events->error;
      result.ffmpeg_error = events->ffmpeg_error;
    } else if (stopping || events->stopped) {
      result.outcome = ConvertResult::Stopped;
    } else if (events->complete) {
      result.outcome = ConvertResult::Completed;
    } else {
      result.error = "the conversion ended without completing";
      const std::string last_error = conv.LastErrorMessage();
      if (!last_error.empty()) result.error += ": " + last_error;
    }
  }
  if (result.outcome == ConvertResult::Completed && style != ProgressStyle::Json) {
    Step final_step = last;
    final_step.percent = 100;
    final_step.left = 0;
    std::lock_guard<std::mutex> g(err_lock);
    view.Show(final_step, 1e9);  // past any wait between plain lines
  }
  view.Finish();
  return result;
}

bool WritesStdout(const ConvertRequest& request) {
  for (const std::string& o : request.outputs)
    if (o == "-") return true;
  return false;
}

namespace {

struct ConvertArgs {
  ConvertRequest request;
  bool json = false;
};

const char* OutcomeName(const ConvertResult& r) {
  switch (r.outcome) {
    case ConvertResult::Completed: return "completed";
    case ConvertResult::Stopped: return "stopped";
    default: return "failed";
  }
}

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

// What an output left on disk: the file of that name, or the numbered files
// of an image sequence name ("x%03d.jpg"). files is 0 when nothing was written.
struct WrittenOutput {
  int64_t bytes = 0;
  int files = 0;
  bool sequence = false;
};

WrittenOutput Written(const std::string& name) {
  WrittenOutput w;
  const int64_t size = FileSize(name);
  if (size >= 0) return {size, 1, false};
  std::vector<char> numbered(4096);  // PATH_MAX: a longer name could not be opened
  auto nameOf = [&](int n) {
    return av_get_frame_filename2(numbered.data(), static_cast<int>(numbered.size()), name.c_str(), n, 0) >= 0;
  };
  if (!nameOf(0)) return w;  // no number in the name
  w.sequence = true;
  // The image muxer numbers from 1 unless told otherwise; 0 is looked for too.
  for (int n = 0; n < std::numeric_limits<int>::max() && nameOf(n); ++n) {
    const int64_t s = FileSize(numbered.data());
    if (s < 0) {
      if (n == 0) continue;
      break;
    }
    w.bytes += s;
    ++w.files;
  }
  return w;
}

int RunConvert(const ConvertArgs& args) {
  const ProgressStyle style = args.json             ? ProgressStyle::Json
                              : isatty(STDERR_FILENO) ? ProgressStyle::Bar
                                                      : ProgressStyle::Lines;
  // Standard output may be the converted media itself.
  std::ostream& report = WritesStdout(args.request) ? std::cerr : std::cout;
  const ConvertResult r = RunConversion(args.request, style, report, std::cerr);
  auto written = [&r](const std::string& file) {
    if (file != "-") return Written(file);
    return r.stdout_bytes >= 0 ? WrittenOutput{r.stdout_bytes, 1, false} : WrittenOutput{};
  };
  if (args.json) {
    QJsonObject o;
    o.insert("result", OutcomeName(r));
    o.insert("progress", r.progress);
    o.insert("time", JsonNumber(r.converted));
    o.insert("duration", JsonNumber(r.duration));
    o.insert("wall", JsonNumber(r.wall));
    o.insert("speed", JsonNumber(r.wall > 0 ? r.converted / r.wall : NAN));
    QJsonArray outputs;
    for (const std::string& file : args.request.outputs) {
      const WrittenOutput w = written(file);
      QJsonObject out{{"file", JsonString(file)},
                      {"size", w.files > 0 ? JsonInt(w.bytes) : QJsonValue(QJsonValue::Null)}};
      if (w.sequence) out.insert("files", w.files);
      outputs.append(out);
    }
    o.insert("outputs", outputs);
    if (r.outcome == ConvertResult::Failed) {
      o.insert("error", JsonString(r.error));
      o.insert("ffmpeg_error", JsonString(r.ffmpeg_error));
    }
    PrintJson(report, o);
  } else if (r.outcome != ConvertResult::Failed) {
    for (const std::string& file : args.request.outputs) {
      const WrittenOutput w = written(file);
      report << file << ": ";
      if (w.files == 0) report << "not written\n";
      else if (w.sequence) report << w.files << (w.files == 1 ? " file, " : " files, ") << w.bytes << " bytes\n";
      else report << w.bytes << " bytes\n";
    }
    report << (r.outcome == ConvertResult::Completed ? "Converted " : "Stopped after ") << Clock(r.converted)
              << " of media in " << Fixed(r.wall, 1) << " s ("
              << Fixed(r.wall > 0 ? r.converted / r.wall : 0, 2) << "x)\n";
  }
  switch (r.outcome) {
    case ConvertResult::Completed: return 0;
    case ConvertResult::Stopped:
      std::cerr << "kivora: convert: stopped at " << r.progress << "%\n";
      return 130;
    default:
      std::cerr << "kivora: convert: " << r.error << "\n";
      if (!r.ffmpeg_error.empty() && r.error.find(r.ffmpeg_error) == std::string::npos)
        std::cerr << "kivora: convert: FFmpeg said: " << r.ffmpeg_error
                  << (r.ffmpeg_error.back() == '\n' ? "" : "\n");
      return 1;
  }
}

}  // namespace

void AddConvertCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("convert", "convert media files (re-encode, copy streams, change containers)");
  auto args = std::make_shared<ConvertArgs>();
  ConvertRequest& r = args->request;
  cmd->add_option("IN", r.inputs, "input files (or URLs), opened in this order; - reads standard input")->required();
  cmd->add_option("-o,--output", r.outputs, "an output file; repeat for several outputs; - writes standard output (with --set OutputFormat=NAME)")
      ->type_name("OUT")
      ->allow_extra_args(false)
      ->required();
  cmd->add_option("--profile", r.profile,
                  "configure for a target or preset first: vcd, svcd, dvd, dv, dv50 (each with :pal, :ntsc or "
                  ":film), image, h264[:PRESET], or FILE:N for profile N of a profile file (kivora profiles)")
      ->type_name("NAME");
  cmd->add_option("--set", r.sets,
                  "set an option property (VideoOptions.FrameWidth=640, OutputFormat=matroska); "
                  "any other NAME goes to FFmpeg as an output option (preset=fast)")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  cmd->add_option("--map", r.maps, "add a stream map: FILE[:SPECIFIER], or [LABEL] for a labelled output of a complex "
                  "filter graph; one per output stream, in order")
      ->type_name("SPEC")
      ->allow_extra_args(false);
  cmd->add_option("--input-option", r.input_options, "an FFmpeg option for the inputs (e.g. framerate=25)")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  cmd->add_option("--key-file", r.key_file, "decrypt the inputs with the 16-byte key text in F (- reads it from standard input)")
      ->type_name("F");
  cmd->add_flag("--json", args->json, "one JSON object per progress step on stdout, then one with the result");
  cmd->add_flag("-v,--verbose", r.verbose, "show FFmpeg's log on stderr");
  cmd->add_flag_callback(
         "--properties",
         [] {
           PrintConvertProperties(std::cout);
           throw CLI::Success();
         },
         "list the option properties --set knows, with the values they take")
      ->trigger_on_parse();
  cmd->footer(
      "Values: numbers may end in k, M or G (Bitrate=800k); switches take 1/0; times take\n"
      "seconds or [HH:]MM:SS[.m] (StartTime=1.5); rates take 25 or 30000/1001.\n"
      "Progress: a bar on a terminal, plain lines otherwise, JSON with --json. Ctrl-C\n"
      "stops and finishes the outputs properly; a second Ctrl-C quits at once.");
  SetCommandRun(*cmd, [args] { return RunConvert(*args); });
}

}  // namespace kivora::app
