// `kivora encrypt` and `kivora decrypt`, and --key-file on the commands that
// read media: the same bytes as the library writes, keys from files and
// standard input, refusals that keep the input, a stop that leaves nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <dirent.h>

#include "kivora/io/aes_stream.h"
#include "run_kivora.h"
#include "support/http_file_server.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

const std::string kKey = "Kivora-Test-Key!";

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct Files {
  TempDir dir;
  std::string clip, key;
  Files() {
    MediaSpec m;
    m.frames = 30;
    clip = MakeMedia(dir.Path("clip.mp4"), m);
    key = dir.Path("key");
    WriteFile(key, kKey + "\n");  // an editor's line end is not part of the key
  }
};

TEST(KivoraEncrypt, WritesWhatTheLibraryWritesAndDecryptGivesTheFileBack) {
  Files f;
  RunResult r = RunKivora({"encrypt", f.clip, f.dir.Path("clip.mp4.enc"), "--key-file", f.key});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EncryptFileByAES(f.clip, f.dir.Path("lib.enc"), kKey);
  EXPECT_TRUE(ReadAll(f.dir.Path("clip.mp4.enc")) == ReadAll(f.dir.Path("lib.enc")));
  EXPECT_FALSE(ReadAll(f.dir.Path("clip.mp4.enc")) == ReadAll(f.clip));
  // The key from standard input this time.
  WriteFile(f.dir.Path("stdin-key"), kKey);
  r = RunKivora({"decrypt", f.dir.Path("clip.mp4.enc"), f.dir.Path("back.mp4"), "--key-file", "-"},
                f.dir.Path("stdin-key"));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(ReadAll(f.dir.Path("back.mp4")) == ReadAll(f.clip));
}

TEST(KivoraEncrypt, RefusesBadKeysAndTheSameFileAndKeepsTheInput) {
  Files f;
  const std::string before = ReadAll(f.clip);
  RunResult r = RunKivora({"encrypt", f.clip, f.clip, "--key-file", f.key});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("Input and output are the same file"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadAll(f.clip) == before);
  WriteFile(f.dir.Path("short"), "too short\n");
  r = RunKivora({"encrypt", f.clip, f.dir.Path("out"), "--key-file", f.dir.Path("short")});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("exactly 16 bytes"), std::string::npos) << r.err;
  r = RunKivora({"encrypt", f.clip, f.dir.Path("out"), "--key-file", f.dir.Path("missing")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("key file"), std::string::npos) << r.err;
  // The key is never an argument.
  r = RunKivora({"encrypt", f.clip, f.dir.Path("out")});
  EXPECT_EQ(r.exit_code, 2);
  r = RunKivora({"encrypt", f.clip, f.dir.Path("out"), "--key", kKey});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(access(f.dir.Path("out").c_str(), F_OK), -1);
}

TEST(KivoraEncrypt, AnInterruptedEncryptionLeavesNoOutput) {
  Files f;
  ASSERT_EQ(mkfifo(f.dir.Path("pipe").c_str(), 0600), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl(KIVORA_APP_PATH, "kivora", "encrypt", f.dir.Path("pipe").c_str(), f.dir.Path("out.enc").c_str(),
          "--key-file", f.key.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // The program has opened the pipe (and set up its handler) once this
  // open returns; the data is taken, then the program waits for more.
  const int fd = open(f.dir.Path("pipe").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string data(200000, 'k');
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(fd);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(Entries(f.dir.Dir()), (std::vector<std::string>{"clip.mp4", "key", "pipe"}));
}

TEST(KivoraKeyFile, ProbePreviewPlayAndConvertReadEncryptedFilesAndUrls) {
  Files f;
  const std::string enc = f.dir.Path("clip.mp4.enc");
  EncryptFileByAES(f.clip, enc, kKey);
  HttpFileServer server(ReadAll(enc), {});
  const QJsonObject plain = JsonReport(RunKivora({"probe", f.clip, "--json"}));
  for (const std::string& input : {enc, server.Url("clip.mp4.enc")}) {
    const QJsonObject probed = JsonReport(RunKivora({"probe", input, "--key-file", f.key, "--json"}));
    EXPECT_EQ(probed["format"], plain["format"]) << input;
    EXPECT_EQ(probed["streams"].toArray().size(), plain["streams"].toArray().size()) << input;
    EXPECT_EQ(probed["file"].toString().toStdString(), input);
    // Without the key it is no media file.
    EXPECT_EQ(RunKivora({"probe", input}).exit_code, 1) << input;

    RunResult r = RunKivora({"preview", input, "--key-file", f.key, "--at", "0.5", "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\"past_end\":false"), std::string::npos) << r.out;

    const QJsonObject played =
        JsonReport(RunKivora({"play", input, "--key-file", f.key, "--headless", "--json"}, "/dev/null", 60));
    EXPECT_TRUE(played["finished"].toBool()) << input;
    EXPECT_GE(played["frames_shown"].toInt(), 25) << input;
  }
  // The same conversion from the plain and from the encrypted file.
  RunResult r = RunKivora({"convert", f.clip, "-o", f.dir.Path("plain.mkv"), "--set", "VideoOptions.VideoCodecName=mpeg4"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = RunKivora({"convert", enc, "--key-file", f.key, "-o", f.dir.Path("enc.mkv"), "--set",
                 "VideoOptions.VideoCodecName=mpeg4"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const DecodedMedia a = DecodeMedia(f.dir.Path("plain.mkv"));
  const DecodedMedia b = DecodeMedia(f.dir.Path("enc.mkv"));
  ASSERT_EQ(a.video.size(), 1u);
  ASSERT_EQ(b.video.size(), 1u);
  EXPECT_EQ(b.video[0].numbers, a.video[0].numbers);
  EXPECT_EQ(b.video[0].numbers.back(), 29);
  ASSERT_EQ(b.audio.size(), a.audio.size());
  // An encrypted input cannot be standard input.
  r = RunKivora({"probe", "-", "--key-file", f.key}, enc);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("standard input"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kivora::testing
