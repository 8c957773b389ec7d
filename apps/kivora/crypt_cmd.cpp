// `kivora encrypt`, `kivora decrypt` and the inputs of --key-file.
#include "crypt_cmd.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "commands.h"
#include "kivora/io/aes_stream.h"
#include "kivora/io/url.h"
#include "kivora/platform/exception.h"

namespace kivora::app {

namespace {

// A Ctrl-C or a termination request while a file is encrypted: the job is
// abandoned and leaves no output.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int) { g_stop = true; }

class StopSignals {
public:
  StopSignals() {
    g_stop = false;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a read that waits for a pipe returns, so the stop is
    // seen at once.
    sigaction(SIGINT, &sa, &FOldInt);
    sigaction(SIGTERM, &sa, &FOldTerm);
  }
  ~StopSignals() {
    sigaction(SIGINT, &FOldInt, nullptr);
    sigaction(SIGTERM, &FOldTerm, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

private:
  struct sigaction FOldInt {};
  struct sigaction FOldTerm {};
};

bool IsHttpUrl(const std::string& name) { return name.rfind("http://", 0) == 0 || name.rfind("https://", 0) == 0; }

// The extension that helps FFmpeg guess the container: the name's own, but
// an ".enc" or ".aes" at the end says nothing about it ("clip.mp4.enc").
std::string ContainerExtension(std::string name) {
  const size_t query = name.find_first_of("?#");
  if (IsHttpUrl(name) && query != std::string::npos) name.resize(query);
  for (int round = 0; round < 2; ++round) {
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = name.substr(dot + 1);
    if (ext.empty() || ext.size() > 8 || ext.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos)
      return "";
    if (ext != "enc" && ext != "aes") return ext;
    name.resize(dot);
  }
  return "";
}

std::string CheckedKey(const std::string& keyFile) {
  const std::string key = ReadKeyFile(keyFile);
  try {
    DeriveAESKey(key);
  } catch (const Exception&) {
    throw UsageError("the key in '" + keyFile + "' must be exactly 16 bytes of UTF-8 (one line end after it is allowed), not " +
                     std::to_string(key.size()));
  }
  return key;
}

struct CryptArgs {
  std::string in, out, key_file;
};

int RunCrypt(const CryptArgs& args, bool decrypt) {
  if (args.in == "-" || args.out == "-")
    throw UsageError("IN and OUT must be files (standard input and output are not supported here)");
  const std::string key = CheckedKey(args.key_file);
  StopSignals stopSignals;
  try {
    if (decrypt) DecryptFileByAES(args.in, args.out, key, [] { return g_stop.load(); });
    else EncryptFileByAES(args.in, args.out, key, [] { return g_stop.load(); });
  } catch (const Exception& e) {
    std::cerr << "kivora: " << (decrypt ? "decrypt" : "encrypt") << ": " << e.what() << "\n";
    return g_stop ? 130 : 1;
  }
  return 0;
}

void AddCryptCommand(CLI::App& app, bool decrypt) {
  CLI::App* cmd = app.add_subcommand(decrypt ? "decrypt" : "encrypt",
                                     decrypt ? "write the plain file of an encrypted one"
                                             : "write an encrypted copy of a media file (--key-file F)");
  auto args = std::make_shared<CryptArgs>();
  cmd->add_option("IN", args->in, decrypt ? "the encrypted file" : "the file to encrypt")->required();
  cmd->add_option("OUT", args->out, "the file to write (replaced only once all of it is written)")->required();
  cmd->add_option("--key-file", args->key_file, "the file holding the 16-byte key text; - reads it from standard input")
      ->type_name("F")
      ->required();
  cmd->footer(
      "Whole 16-byte blocks are AES-128 (ECB) under a key derived from the key text;\n"
      "the last size mod 16 bytes stay plain. This hides media from casual copying;\n"
      "it is not authenticated encryption: equal blocks look equal and changes to the\n"
      "file go unnoticed. Ctrl-C stops and leaves no output.");
  SetCommandRun(*cmd, [args, decrypt] { return RunCrypt(*args, decrypt); });
}

}  // namespace

std::string ReadKeyFile(const std::string& path) {
  std::string text;
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the key file '" + path + "': " + std::strerror(errno));
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  if (text.size() >= 1 && text.back() == '\n') text.pop_back();
  if (text.size() >= 1 && text.back() == '\r') text.pop_back();
  return text;
}

EncryptedInputs::EncryptedInputs(const std::string& keyFile) {
  if (keyFile.empty()) return;
  FKey = CheckedKey(keyFile);
  FActive = true;
}

void EncryptedInputs::Resolve(std::string& name) {
  if (!FActive) return;
  if (name == "-") throw UsageError("an encrypted input must be a file or an http(s) URL, not standard input");
  std::unique_ptr<TStream> stream;
  if (IsHttpUrl(name)) {
    stream = std::make_unique<TAVAESNetStream>(name, FKey);
  } else {
    try {
      stream = std::make_unique<TAVAESStream>(name, fmOpenRead, FKey);
    } catch (const Exception& e) {
      throw std::runtime_error(std::string("cannot open '") + name + "': " + e.what());
    }
  }
  name = StreamUrl(*stream, ContainerExtension(name));
  FStreams.push_back(std::move(stream));
}

void AddEncryptCommand(CLI::App& app) { AddCryptCommand(app, false); }
void AddDecryptCommand(CLI::App& app) { AddCryptCommand(app, true); }

}  // namespace kivora::app
