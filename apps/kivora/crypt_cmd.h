#pragma once
// Encrypted media in the kivora program: `kivora encrypt` and `kivora
// decrypt`, and the --key-file option of the commands that read media. The
// key text comes from a file (or standard input), never from the command
// line, where other users of the machine can read it.
#include <memory>
#include <string>
#include <vector>

#include "kivora/platform/stream.h"

namespace kivora::app {

// The key text in path ("-": standard input); one line end at its end is
// not part of it. Throws std::runtime_error when it cannot be read.
std::string ReadKeyFile(const std::string& path);

// The inputs of one command that are encrypted with the key in a key file:
// each is read through a decrypting stream named by a "stream:" URL. The
// streams live as long as this object.
class EncryptedInputs {
public:
  // An empty keyFile: the inputs are plain and Resolve changes nothing.
  // Reads the key file at once; throws UsageError for a bad key.
  explicit EncryptedInputs(const std::string& keyFile);
  EncryptedInputs(const EncryptedInputs&) = delete;
  EncryptedInputs& operator=(const EncryptedInputs&) = delete;
  // Replaces a file name or an http(s) URL by the URL of its decrypting
  // stream. Throws UsageError for standard input ("-") and std::runtime_error
  // for a file that cannot be opened.
  void Resolve(std::string& name);

private:
  bool FActive = false;
  std::string FKey;
  std::vector<std::unique_ptr<TStream>> FStreams;
};

}  // namespace kivora::app
