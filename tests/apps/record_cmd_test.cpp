// `kivora record` on FFmpeg's virtual devices: a timed recording read back,
// Ctrl-C ending a recording with a file that plays, and devices or
// arguments that cannot work failing with their reason and no file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "apps/run_kivora.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

const std::string kCamera = "lavfi:testsrc2=size=320x240:rate=25";
const std::string kMicrophone = "lavfi:sine=frequency=660:sample_rate=44100";

TEST(KivoraRecord, RecordsTheGivenSecondsFromTheDevices) {
  TempDir dir;
  const std::string out = dir.Path("rec.mp4");
  const RunResult r = RunKivora({"record", out, "--seconds", "2", "--video-input", kCamera, "--audio-input",
                                 kMicrophone, "--size", "176x144", "--frame-rate", "20"},
                                "/dev/null", 60);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "recording " + out)) << r.err;  // the progress line
  EXPECT_TRUE(Contains(r.out, out + ": 2.0 s recorded")) << r.out;
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  ASSERT_EQ(m.audio.size(), 1u);
  const DecodedVideo& v = m.video[0];
  ASSERT_FALSE(v.widths.empty());
  EXPECT_EQ(v.widths.front(), 176);
  EXPECT_EQ(v.heights.front(), 144);
  EXPECT_NEAR(v.widths.size() / 20.0, 2.0, 0.2);
  const DecodedAudio& a = m.audio[0];
  EXPECT_EQ(a.sample_rate, 44100);
  EXPECT_EQ(a.channels, 1);
  EXPECT_NEAR(MeasureToneHz(a.samples.data(), a.Frames(), a.channels, a.sample_rate), 660.0, 8.0);
}

TEST(KivoraRecord, CtrlCEndsTheRecordingWithAFileThatPlays) {
  TempDir dir;
  const std::string out = dir.Path("until-ctrl-c.mkv");
  const std::string err = dir.Path("err");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execl(KIVORA_APP_PATH, KIVORA_APP_PATH, "record", out.c_str(), "--video-input", kCamera.c_str(),
          "--audio-input", "none", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait for a second or so of recording, told by the progress lines.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!Contains(ReadAll(err), "recording " + out + ": 1.") && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  const std::string text = ReadAll(err);
  ASSERT_TRUE(WIFEXITED(status)) << text;
  EXPECT_EQ(WEXITSTATUS(status), 0) << text;
  EXPECT_TRUE(Contains(text, "stopping")) << text;
  const DecodedMedia m = DecodeMedia(out);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_TRUE(m.audio.empty());
  EXPECT_GE(m.video[0].widths.size(), 20u);
  EXPECT_EQ(m.video[0].widths.front(), 640);  // the recorder's own size
}

TEST(KivoraRecord, DevicesAndArgumentsThatCannotWorkFailWithTheirReason) {
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string says;
  } cases[] = {
      {{"--video-input", "v4l2:/dev/video97", "--audio-input", "none"}, 1, "/dev/video97"},
      {{"--camera", "96", "--audio-input", "none"}, 1, "Could not open camera 96 (v4l2:/dev/video96)"},
      {{"--video-input", kCamera, "--audio-input", "lavfi:nosuchfilter"}, 1, "microphone"},
      {{"--video-input", "nosuchformat:x"}, 1, "no device format"},
      {{"--video-input", "lavfi"}, 2, "FORMAT:DEVICE expected"},
      {{"--video-input", kCamera, "--size", "wide"}, 2, "WIDTHxHEIGHT expected"},
      {{"--video-input", kCamera, "--seconds", "-1"}, 2, "--seconds"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string out = dir.Path("never.mp4");
    std::vector<std::string> args{"record", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args[3]);
    const RunResult r = RunKivora(args, "/dev/null", 30);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_TRUE(Contains(r.err, c.says)) << r.err;
    EXPECT_TRUE(Contains(r.err, "kivora: record: ")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

}  // namespace
}  // namespace kivora::testing
