#pragma once
// The built-in profiles by name, profiles read back from a profile file, and
// a readable account of what a profile sets: what a command line or a menu
// needs to offer profiles without knowing their classes.
#include <memory>
#include <string>
#include <vector>

#include "kivora/platform/inifile.h"
#include "kivora/platform/stringlist.h"
#include "kivora/profiles/profile.h"

namespace kivora {

class TAVConverter;
class TAVConvertOptions;

struct TBuiltinProfileInfo {
  const char* Name;      // "dvd"
  const char* Suffixes;  // what may follow "NAME:" ("pal|ntsc|film"), empty for nothing
};

// Every function here may be called from any thread; the converter, options
// or INI file given belong to one thread at a time.
// vcd, svcd, dvd, dv, dv50, image, h264 (in that order).
const std::vector<TBuiltinProfileInfo>& BuiltinProfiles();

// A built-in profile from "NAME[:SUFFIX]" (case-insensitive): "dvd",
// "dv:ntsc", "h264:slow". Null with a reason in error for anything else.
std::unique_ptr<TAVProfile> CreateBuiltinProfile(const std::string& spec, std::string& error);

// The profile numbers present in a profile file (those with any key: a name
// followed by a number written without leading zeros), ascending.
std::vector<int> ProfileNumbersInFile(const TIniFile& Ini);

// Profile number Index of a profile file, as the class that wrote it: a
// custom video or audio profile by its "IsVideo" key, a built-in one by its
// description. Null with a reason in error when the number is absent or the
// entry names no known profile.
std::unique_ptr<TAVProfile> CreateProfileFromFile(const TIniFile& Ini, int Index, std::string& error);
// The same, with the file's numbers from ProfileNumbersInFile, so reading
// every profile of a large file does not look for the numbers each time.
std::unique_ptr<TAVProfile> CreateProfileFromFile(const TIniFile& Ini, int Index, const std::vector<int>& Numbers,
                                                  std::string& error);

// Configures the converter with a built-in profile ("dvd:ntsc", "h264:fast")
// or with profile N of a profile file ("FILE:N"). A name that is not a
// built-in one is taken as a file. False with a reason in error otherwise.
bool ApplyProfileByName(const std::string& spec, TAVConverter& Converter, std::string& error);
bool ApplyProfileByName(const std::string& spec, TAVConvertOptions& Options, std::string& error);

// What the profile sets, as "Property=value" lines: the settings of fresh
// conversion options that applying the profile changes, then the free
// option lines it leaves.
TStringList DescribeProfile(TAVProfile& Profile);

}  // namespace kivora
