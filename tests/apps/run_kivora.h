// Runs the kivora program as a user would and reads back what it printed.
#pragma once

#include <sys/wait.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/media_fixtures.h"

namespace kivora::testing {

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  std::string out, err;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the program with standard input read from stdin_path. With a time
// limit, a run that has not ended by then is killed (exit code 124), so a
// program that hangs fails the test instead of stopping it. A workdir is the
// program's current folder.
inline RunResult RunKivora(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null",
                           int timeLimitSeconds = 0, const std::string& workdir = "") {
  auto quote = [](const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  TempDir dir;
  std::string cmd = workdir.empty() ? "" : "cd " + quote(workdir) + " && ";
  cmd += timeLimitSeconds > 0 ? "timeout -k 5 " + std::to_string(timeLimitSeconds) + " " : "";
  cmd += quote(KIVORA_APP_PATH);
  for (const auto& a : args) cmd += " " + quote(a);
  cmd += " >" + dir.Path("out") + " 2>" + dir.Path("err") + " <" + quote(stdin_path);
  const int status = std::system(cmd.c_str());
  RunResult r;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.out = ReadAll(dir.Path("out"));
  r.err = ReadAll(dir.Path("err"));
  return r;
}

// The one JSON object a successful run printed; fails the test otherwise.
inline QJsonObject JsonReport(const RunResult& r) {
  EXPECT_EQ(r.exit_code, 0) << r.err;
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << r.out;
  EXPECT_TRUE(doc.isObject()) << r.out;
  return doc.object();
}

inline bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

}  // namespace kivora::testing
