// The kivora program: the library's own command-line tool.
//
// One CLI11 parser holds every command and generates all help texts. Each
// command lives in its own file and registers itself with one line below,
// through a function AddXxxCommand(CLI::App&) declared in commands.h; read
// the note at the top of commands.h before adding one.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "kivora/platform/message.h"
#include "kivora/runtime/avlib.h"

namespace kivora::app {

namespace {

std::map<const CLI::App*, CommandRun>& Runs() {
  static std::map<const CLI::App*, CommandRun> runs;
  return runs;
}

// CLI11's layout, with the command list showing each command's arguments
// ("play FILE", "demo [FILE]") so the program's help reads like a synopsis.
class Formatter : public CLI::Formatter {
public:
  Formatter() {
    label("SUBCOMMAND", "COMMAND");
    column_width(28);
  }

  // Positionals are explained by their description; the usage line already
  // says which are optional.
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_positional() ? std::string() : CLI::Formatter::make_option_opts(opt);
  }

  std::string make_subcommand(const CLI::App* sub) const override {
    std::string synopsis = sub->get_name();
    for (const CLI::Option* opt : sub->get_options()) {
      if (opt->get_positional()) {
        synopsis += " " + make_option_usage(opt);
      } else if (opt->get_required()) {
        // A required option by its short name when it has one: "-o OUT".
        const std::vector<std::string>& shorts = opt->get_snames();
        const std::string name = shorts.empty() ? "--" + opt->get_lnames().front() : "-" + shorts.front();
        synopsis += " " + name + " " + opt->get_type_name();
      }
    }
    std::stringstream out;
    CLI::detail::format_help(out, synopsis, sub->get_description(), get_column_width());
    return out.str();
  }
};

// The command the user chose, or null.
const CLI::App* Chosen(const CLI::App& app) {
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  return chosen.empty() ? nullptr : chosen.front();
}

// "kivora: probe: " or "kivora: ".
std::string Prefix(const CLI::App* cmd) {
  return cmd ? "kivora: " + cmd->get_name() + ": " : std::string("kivora: ");
}

// A parse error in the program's own words: the first argument nobody took
// is named as an unknown command or option.
std::string ParseErrorText(const CLI::App& app, const CLI::ParseError& e) {
  const CLI::App* cmd = Chosen(app);
  std::string text = e.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    const std::vector<std::string> extra = app.remaining(true);
    if (!extra.empty()) {
      const std::string& first = extra.front();
      if (first.size() > 1 && first[0] == '-') text = "unknown option '" + first + "'";
      else if (!cmd) text = "unknown command '" + first + "'";
      else text = "unexpected argument '" + first + "'";
    }
  }
  const std::string more = cmd ? "Run 'kivora " + cmd->get_name() + " --help' for its options."
                               : std::string("Run 'kivora help' for the list of commands.");
  return Prefix(cmd) + text + "\n" + more + "\n";
}

}  // namespace

void SetCommandRun(CLI::App& cmd, CommandRun run) { Runs()[&cmd] = std::move(run); }

void AddHelpCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("help", "show this text, or the options of COMMAND");
  auto topic = std::make_shared<std::string>();
  cmd->add_option("COMMAND", *topic, "the command to explain");
  SetCommandRun(*cmd, [&app, topic] {
    if (topic->empty()) {
      std::cout << app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
      return 0;
    }
    for (const CLI::App* sub : app.get_subcommands({})) {
      if (sub->get_name() == *topic) {
        std::cout << sub->get_formatter()->make_help(sub, app.get_name() + " " + sub->get_name(),
                                                     CLI::AppFormatMode::Normal);
        return 0;
      }
    }
    throw UsageError("unknown command '" + *topic + "'");
  });
}

}  // namespace kivora::app

int main(int argc, char** argv) {
  using namespace kivora::app;
  // A command-line tool never opens message boxes: what the library would
  // show goes to stderr.
  kivora::SetShowMessageHandler([](const std::string& text) {
    std::fprintf(stderr, "kivora: %s\n", text.c_str());
    std::fflush(stderr);
  });
  CLI::App app("Kivora's own tool: plays, probes and shows what the library does.", "kivora");
  app.formatter(std::make_shared<Formatter>());
  app.require_subcommand(0, 1);
  app.set_help_flag("-h,--help", "show this help");
  bool version = false;
  app.add_flag("--version", version, "the same as the version command");

  // One line per command; the help lists them in this order.
  AddDemoCommand(app);
  AddPlayCommand(app);
  AddProbeCommand(app);
  AddPreviewCommand(app);
  AddMotionCommand(app);
  AddConvertCommand(app);
  AddRecordCommand(app);
  AddEncryptCommand(app);
  AddDecryptCommand(app);
  AddProfilesCommand(app);
  AddComponentsCommand(app);
  AddVersionCommand(app);
  AddHelpCommand(app);
  for (CLI::App* cmd : app.get_subcommands([](CLI::App*) { return true; })) cmd->group("Commands");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();  // the chosen command's help, when one was chosen
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::Success&) {  // an option that did its work while parsing
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << ParseErrorText(app, e);
    return 2;
  }

  const CLI::App* cmd = Chosen(app);
  try {
    if (version) return RunVersion(std::cout);
    if (!cmd) {
      std::cout << app.help();
      return 0;
    }
    kivora::LoadLibs();
    return Runs().at(cmd)();
  } catch (const UsageError& e) {
    std::cerr << Prefix(cmd) << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "kivora: " << e.what() << "\n";
    return 1;
  } catch (...) {
    std::cerr << "kivora: unexpected error\n";
    return 1;
  }
}
