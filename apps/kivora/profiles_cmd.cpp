// `kivora profiles`: lists the built-in conversion profiles with what each
// sets, writes them as a profile file, or lists the profiles of a file.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <vector>
#include <string>

#include "commands.h"
#include "kivora/platform/inifile.h"
#include "kivora/profiles/catalog.h"
#include "terminal_text.h"

namespace kivora::app {

namespace {

struct ProfilesArgs {
  std::string save;
  std::string load;
  bool force = false;
};

// What a profile file holds reaches the terminal through TerminalText: a
// description or an option value could hold escape sequences.
void PrintSettings(TAVProfile& profile, std::ostream& out) {
  const TStringList lines = DescribeProfile(profile);
  if (lines.Empty()) out << "  (changes nothing)\n";
  for (const std::string& line : lines) out << "  " << TerminalText(line) << "\n";
}

std::string Heading(const TAVProfile& profile) {
  std::string s = profile.Description().empty() ? std::string("(no description)") : TerminalText(profile.Description());
  if (!profile.Extension().empty()) s += ", " + TerminalText(profile.Extension());
  if (!profile.Category().empty()) s += " [" + TerminalText(profile.Category()) + "]";
  return s;
}

int ListBuiltins(std::ostream& out) {
  out << "Built-in profiles (kivora convert --profile NAME[:SUFFIX]); targets use pal unless told:\n";
  for (const TBuiltinProfileInfo& info : BuiltinProfiles()) {
    std::string error;
    std::unique_ptr<TAVProfile> profile = CreateBuiltinProfile(info.Name, error);
    if (!profile) throw std::runtime_error(error);
    std::string name = info.Name;
    if (*info.Suffixes) name += std::string("[:") + info.Suffixes + "]";
    out << "\n" << name << "  " << Heading(*profile) << "\n";
    PrintSettings(*profile, out);
  }
  return 0;
}

int Save(const std::string& file, bool force, std::ostream& out) {
  // Refuses what is no regular file (a device, a pipe, a folder); a link is
  // followed and its target rewritten.
  TIniFile ini(file);
  TStringList sections;
  ini.ReadSections(sections);
  // Anything but a profile file (or an empty one) is most likely a mistyped
  // name: a video, a document, another program's settings.
  const bool profileFile = ini.ReadsAsIni() && (sections.Empty() || ini.SectionExists(PROFILE_SECTION));
  if (!profileFile && !force)
    throw std::runtime_error("'" + file + "' is not a profile file and is left as it was (--force replaces it)");
  ini.SetForceOverwrite(force);
  // What does not read as INI text cannot be kept; from an INI file of
  // another kind, the other sections stay. Its old profiles go.
  if (!ini.ReadsAsIni()) ini.Clear();
  ini.EraseSection(PROFILE_SECTION);
  int n = 0;
  for (const TBuiltinProfileInfo& info : BuiltinProfiles()) {
    std::string error;
    std::unique_ptr<TAVProfile> profile = CreateBuiltinProfile(info.Name, error);
    if (!profile) throw std::runtime_error(error);
    profile->SaveToFile(ini, n++);
  }
  ini.UpdateFile();
  out << "Saved " << n << " profiles to " << file << " (numbers 0 to " << n - 1 << "; use --profile "
      << file << ":N).\n";
  return 0;
}

int Load(const std::string& file, std::ostream& out, std::ostream& err) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0)
    throw std::runtime_error("cannot read the profile file '" + file + "': " + std::strerror(errno));
  const TIniFile ini(file);
  // Entries no profile class can take (written by something else) are
  // reported and skipped; the command fails only when nothing is left.
  std::ostringstream listing;
  int listed = 0;
  const std::vector<int> numbers = ProfileNumbersInFile(ini);
  for (int n : numbers) {
    std::string error;
    std::unique_ptr<TAVProfile> profile = CreateProfileFromFile(ini, n, numbers, error);
    if (!profile) {
      err << "kivora: profiles: " << file << ": " << error << "\n";
      continue;
    }
    listing << "\n" << n << "  " << Heading(*profile) << "  (" << profile->ClassName() << ")\n";
    PrintSettings(*profile, listing);
    ++listed;
  }
  if (!listed) throw std::runtime_error("'" + file + "' holds no profiles");
  out << "Profiles of " << file << " (kivora convert --profile " << file << ":N):\n" << listing.str();
  return 0;
}

}  // namespace

void AddProfilesCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("profiles", "list the conversion profiles and what each sets");
  auto args = std::make_shared<ProfilesArgs>();
  auto* save = cmd->add_option("--save", args->save, "write the built-in profiles to FILE as a profile file")
                   ->type_name("FILE");
  cmd->add_option("--load", args->load, "list the profiles of the profile file FILE")
      ->type_name("FILE")
      ->excludes(save);
  cmd->add_flag("--force", args->force, "with --save: replace FILE even when it is not a profile file")
      ->needs(save);
  SetCommandRun(*cmd, [args] {
    if (!args->save.empty()) return Save(args->save, args->force, std::cout);
    if (!args->load.empty()) return Load(args->load, std::cout, std::cerr);
    return ListBuiltins(std::cout);
  });
}

}  // namespace kivora::app
