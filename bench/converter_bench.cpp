// Conversions through TAVConverter side by side with the ffmpeg command line
// doing the same job on the same file: wall time, CPU time and peak resident
// memory of each, measured on a child process per job so both sides are
// counted the same way.
//
//   converter_bench [FILE]    FILE: a 1080p H.264 + AAC clip (made when absent)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kivora/converter/converter.h"
#include "support/media_fixtures.h"

using namespace kivora;

namespace {

struct Job {
  const char* name;
  const char* out;
  void (*setup)(TAVConverter&);
  const char* ffmpeg_args;  // between "-i FILE" and the output name
};

const Job kJobs[] = {
    {"DVD (MPEG-2 + AC-3)", "dvd.mpg",
     [](TAVConverter& c) {
       auto& o = c.ConvertOptions();
       o.SetOutputFormat("dvd");
       o.VideoOptions().SetVideoCodecName("mpeg2video");
       o.VideoOptions().SetFrameWidth(720);
       o.VideoOptions().SetFrameHeight(576);
       o.VideoOptions().FrameRate().Setnum(25);
       o.VideoOptions().FrameRate().Setden(1);
       o.VideoOptions().SetBitrate(6000000);
       o.SetAdvancedOption("maxrate", "9000000");
       o.SetAdvancedOption("bufsize", "1835008");
       o.SetAdvancedOption("g", "15");
       o.AudioOptions().SetAudioCodecName("ac3");
       o.AudioOptions().SetAudioSampleRate(48000);
       o.AudioOptions().SetBitrate(448000);
     },
     "-f dvd -c:v mpeg2video -s 720x576 -r 25 -b:v 6000k -maxrate 9000k -bufsize 1835008 -g 15 -c:a ac3 -ar 48000 -b:a 448k"},
    {"H.264 + AAC 720p", "h264.mp4",
     [](TAVConverter& c) {
       auto& o = c.ConvertOptions();
       o.VideoOptions().SetVideoCodecName("libx264");
       o.VideoOptions().SetFrameWidth(1280);
       o.VideoOptions().SetFrameHeight(720);
       o.AudioOptions().SetAudioCodecName("aac");
     },
     "-c:v libx264 -s 1280x720 -c:a aac"},
    {"copy to Matroska", "copy.mkv",
     [](TAVConverter& c) {
       c.ConvertOptions().VideoOptions().SetVideoStreamCopy(true);
       c.ConvertOptions().AudioOptions().SetAudioStreamCopy(true);
     },
     "-c copy"},
    {"1080p + 720p + 480p", "three.mkv",
     [](TAVConverter& c) {
       auto& o = c.ConvertOptions();
       o.FilterOptions().ComplexFilters().Add(
           "[0:v]split=3[a][b][c];[a]null;[b]scale=1280:720;[c]scale=854:480");
       o.VideoOptions().SetVideoCodecName("mpeg4");
       o.VideoOptions().SetBitrate(4000000);
       o.AudioOptions().SetAudioDisable(true);
     },
     "-filter_complex \"[0:v]split=3[a][b][c];[b]scale=1280:720[b2];[c]scale=854:480[c2]\" "
     "-map [a] -map [b2] -map [c2] -c:v mpeg4 -b:v 4000k"},
    // A streaming ladder: one decode, three H.264 encodes.
    {"x264 ladder 1080/720/360", "ladder.mkv",
     [](TAVConverter& c) {
       auto& o = c.ConvertOptions();
       o.FilterOptions().ComplexFilters().Add(
           "[0:v]split=3[a][b][c];[a]null;[b]scale=1280:720;[c]scale=640:360");
       o.VideoOptions().SetVideoCodecName("libx264");
       o.SetAdvancedOption("preset", "veryfast");
       o.AudioOptions().SetAudioDisable(true);
     },
     "-filter_complex \"[0:v]split=3[a][b][c];[b]scale=1280:720[b2];[c]scale=640:360[c2]\" "
     "-map [a] -map [b2] -map [c2] -c:v libx264 -preset veryfast"},
};

struct Measure {
  double wall = 0, cpu = 0, rss_mb = 0;
  int status = -1;
};

constexpr int kRuns = 3;

// The median of each figure over the runs (status: the first run's).
Measure Median(std::vector<Measure> runs) {
  Measure m = runs.front();
  auto mid = [&](double Measure::*field) {
    std::vector<double> v;
    for (const Measure& r : runs) v.push_back(r.*field);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  m.wall = mid(&Measure::wall);
  m.cpu = mid(&Measure::cpu);
  m.rss_mb = mid(&Measure::rss_mb);
  return m;
}

Measure RunChild(const std::vector<std::string>& argv) {
  Measure m;
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  m.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  m.rss_mb = ru.ru_maxrss / 1024.0;
  m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

// quiet: no time estimate (it is printed for the first run of a job only).
int RunJob(int index, const std::string& in, const std::string& out, bool quiet) {
  if (index < 0 || index >= static_cast<int>(std::size(kJobs))) {
    std::fprintf(stderr, "no job %d: jobs are 0 to %zu\n", index, std::size(kJobs) - 1);
    return 2;
  }
  TAVConverter c;
  c.ConvertOptions().SetSynchronous(true);
  c.SetLogLevel(llError);
  std::string error;
  c.OnError = [&](TComponent*, const std::string& msg, const std::string& log, bool& handled) {
    error = msg + ": " + log;
    handled = true;
  };
  kJobs[index].setup(c);
  // How good the time-left estimate is once 30 % are done.
  double estimate = -1;
  std::chrono::steady_clock::time_point at30;
  c.OnProgress = [&](TComponent*) {
    if (estimate < 0 && c.Progress() >= 30) {
      estimate = static_cast<double>(c.GetLeftTime());
      at30 = std::chrono::steady_clock::now();
    }
  };
  c.InputFiles().Add(in);
  c.OutputFiles().Add(out);
  c.Convert();
  c.WaitFor(-1);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (estimate >= 0 && !quiet) {
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - at30).count();
    std::printf("  %s: at 30 %% the converter said %.0f s left, it took %.1f s\n", kJobs[index].name, estimate, real);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // converter_bench --job N IN OUT [--quiet]: one job, run in a child.
  if ((argc == 5 || argc == 6) && std::string(argv[1]) == "--job")
    return RunJob(std::atoi(argv[2]), argv[3], argv[4], argc == 6);

  testing::TempDir dir;
  std::string file;
  // converter_bench [FILE|-] [PART-OF-A-JOB-NAME]
  const std::string only = argc > 2 ? argv[2] : "";
  if (argc > 1 && std::string(argv[1]) != "-") {
    file = argv[1];
  } else {
    testing::MediaSpec s;
    s.width = 1920;
    s.height = 1080;
    s.frames = 250;
    s.gop = 50;
    s.container = "mp4";
    std::printf("making a 10 s 1080p H.264 + AAC clip...\n");
    file = testing::MakeMedia(dir.Path("bench1080.mp4"), s);
  }
  const bool haveFfmpeg = system("command -v ffmpeg >/dev/null 2>&1") == 0;
  if (!haveFfmpeg) std::printf("ffmpeg program not installed: no side-by-side figures (apt-get install ffmpeg)\n");
  std::printf("%-26s %9s %9s %9s | %9s %9s %9s | %6s %6s\n", "job", "wall s", "cpu s", "rss MB", "ff wall",
              "ff cpu", "ff rss", "wall", "rss");
  for (int i = 0; i < static_cast<int>(std::size(kJobs)); ++i) {
    if (!only.empty() && std::string(kJobs[i].name).find(only) == std::string::npos) continue;
    const std::string out = dir.Path(std::string("k_") + kJobs[i].out);
    const std::string ffout = dir.Path(std::string("f_") + kJobs[i].out);
    const std::string cmd = std::string("exec ffmpeg -nostdin -y -v error -i '") + file + "' " + kJobs[i].ffmpeg_args +
                            " '" + ffout + "'";
    // Three runs of each side, taking turns to go first (a run right after
    // the other side's finds its memory freshly given back, which is cheaper
    // on some machines); the medians are compared.
    std::vector<Measure> ks, fs;
    bool failed = false;
    for (int run = 0; run < kRuns * 2 && !failed; ++run) {
      // Kivora goes first in runs 0, 3 and 4; ffmpeg in the others.
      const bool kivoraSide = (run % 2 == 0) == (run / 2 % 2 == 0);
      if (kivoraSide) {
        std::vector<std::string> args = {"/proc/self/exe", "--job", std::to_string(i), file, out};
        if (!ks.empty()) args.push_back("--quiet");
        ks.push_back(RunChild(args));
        failed = ks.back().status != 0;
      } else if (haveFfmpeg) {
        fs.push_back(RunChild({"/bin/sh", "-c", cmd}));
      }
    }
    if (failed) {
      std::printf("%-26s failed\n", kJobs[i].name);
      continue;
    }
    const Measure k = Median(ks);
    if (!haveFfmpeg) {
      std::printf("%-26s %9.2f %9.2f %9.1f\n", kJobs[i].name, k.wall, k.cpu, k.rss_mb);
      continue;
    }
    const Measure f = Median(fs);
    std::printf("%-26s %9.2f %9.2f %9.1f | %9.2f %9.2f %9.1f | %6.3f %6.3f\n", kJobs[i].name, k.wall, k.cpu,
                k.rss_mb, f.wall, f.cpu, f.rss_mb, f.wall > 0 ? k.wall / f.wall : 0,
                f.rss_mb > 0 ? k.rss_mb / f.rss_mb : 0);
  }
  std::printf("goal: wall ratio <= 1.02, rss ratio <= 1.10\n");
  return 0;
}
