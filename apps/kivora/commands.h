#pragma once
// The kivora program's commands. One CLI11 parser serves them all and
// generates every help text.
//
// How a command joins the program:
//   1. In its own file (say frob.cpp) write
//        void AddFrobCommand(CLI::App& app) {
//          CLI::App* cmd = app.add_subcommand("frob", "one line for the command list");
//          auto opt = std::make_shared<FrobOptions>();           // outlives parsing
//          cmd->add_option("FILE", opt->file, "what it reads")->required();
//          cmd->add_flag("--json", opt->json, "one JSON object on stdout");
//          SetCommandRun(*cmd, [opt] { return RunFrob(*opt, std::cout, std::cerr); });
//        }
//      The run function returns the exit code. Argument errors found after
//      parsing throw UsageError (exit 2, "kivora: frob: <message>" on
//      stderr); any other exception is printed as "kivora: <what>" (exit 1).
//      Errors always go to stderr, never to stdout.
//   2. Declare AddFrobCommand below.
//   3. Add one line to main.cpp: AddFrobCommand(app);
//
// The command list in `kivora help` shows each command's positionals (from
// their names: "FILE", "IN...", "[FILE]"), so give them upper-case names.
#include <CLI/CLI.hpp>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>

namespace kivora::app {

// What a command does once its arguments are parsed; returns the exit code.
using CommandRun = std::function<int()>;

// Makes run the action of cmd: main runs it after the whole command line
// has been parsed (only the command the user chose runs).
void SetCommandRun(CLI::App& cmd, CommandRun run);

// A command line that parsed but does not make sense (e.g. two options that
// exclude each other): exit code 2, the message after "kivora: COMMAND: ".
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The text of `kivora version` (also `kivora --version`).
int RunVersion(std::ostream& out);

void AddDemoCommand(CLI::App& app);
void AddPlayCommand(CLI::App& app);
void AddProbeCommand(CLI::App& app);
void AddPreviewCommand(CLI::App& app);
void AddMotionCommand(CLI::App& app);
void AddConvertCommand(CLI::App& app);
// `kivora record`: a camera and a microphone into a file.
void AddRecordCommand(CLI::App& app);
// `kivora encrypt` and `kivora decrypt`: encrypted copies of media files.
void AddEncryptCommand(CLI::App& app);
void AddDecryptCommand(CLI::App& app);
// `kivora profiles`: the conversion profiles and profile files.
void AddProfilesCommand(CLI::App& app);
// `kivora components`: the "Kivora" page and the class registry.
void AddComponentsCommand(CLI::App& app);
void AddVersionCommand(CLI::App& app);
// `kivora help [COMMAND]`: the generated help of the program or a command.
void AddHelpCommand(CLI::App& app);

}  // namespace kivora::app
