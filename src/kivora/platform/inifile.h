#pragma once
// INI files that keep sections and keys in the order written, so a file
// written and read back is unchanged. Booleans are 1/0; floats always use '.'.
// Section and key names compare case-insensitively. Values read back exactly
// as written: one that starts or ends with a space (or is itself quoted) is
// stored between double quotes, and one pair of surrounding quotes is removed
// on reading; unquoted spaces next to '=' in hand-written files are dropped.
// Names and values may not contain line breaks or NUL bytes, keys no '=' and
// section names no ']' (Exception).
// Changes are written by UpdateFile or, quietly, by the destructor (never
// while an exception is unwinding the stack, so a half-done change stays in
// memory); the file is replaced in one step, so it is never left half-written.
//
// Only regular files of at most MAX_INI_FILE_SIZE bytes are read or written;
// a symbolic link is followed and its target is read and rewritten. A file
// that does not read as INI text (a NUL byte, lines that are neither a
// section nor a key) would lose what it holds when rewritten, so UpdateFile
// refuses to replace it unless told to (SetForceOverwrite).
// An empty file name gives an INI held in memory only.
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kivora/platform/stringlist.h"

namespace kivora {

// The largest file TIniFile reads: INI files are settings, not data.
inline constexpr int64_t MAX_INI_FILE_SIZE = 32 * 1024 * 1024;

// Not thread-safe: one thread at a time uses an object.
class TIniFile {
public:
  // Reads the file if it exists; a missing file is an empty one. Raises
  // Exception for anything that is not a regular file (a folder, a pipe, a
  // device), a file larger than MAX_INI_FILE_SIZE or one that cannot be read.
  explicit TIniFile(const std::string& fileName);
  ~TIniFile();

  const std::string& FileName() const { return FFileName; }
  // False when the file read at construction held anything besides sections,
  // keys, comments and blank lines (or a NUL byte, as binary data does); a
  // missing or empty file reads as INI.
  bool ReadsAsIni() const { return FReadsAsIni; }
  // Lets UpdateFile replace an existing file that does not read as INI text.
  bool ForceOverwrite() const { return FForceOverwrite; }
  void SetForceOverwrite(bool Value) { FForceOverwrite = Value; }

  // Each Read gives def when the key is missing or its value does not parse.
  // Integers are decimal or hexadecimal ("0x1F", "$1F"); booleans read
  // "true"/"false" or a number (non-zero is true); floats also take ','.
  std::string ReadString(const std::string& section, const std::string& ident, const std::string& def) const;
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  int ReadInteger(const std::string& section, const std::string& ident, int def) const;
  void WriteInteger(const std::string& section, const std::string& ident, int value);
  int64_t ReadInt64(const std::string& section, const std::string& ident, int64_t def) const;
  void WriteInt64(const std::string& section, const std::string& ident, int64_t value);
  bool ReadBool(const std::string& section, const std::string& ident, bool def) const;
  void WriteBool(const std::string& section, const std::string& ident, bool value);
  double ReadFloat(const std::string& section, const std::string& ident, double def) const;
  void WriteFloat(const std::string& section, const std::string& ident, double value);

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& ident) const;
  void ReadSections(TStringList& out) const;
  void ReadSection(const std::string& section, TStringList& keys) const;
  // name=value lines of one section.
  void ReadSectionValues(const std::string& section, TStringList& out) const;
  void EraseSection(const std::string& section);
  void DeleteKey(const std::string& section, const std::string& ident);
  // Deletes every key of the section for which which(key) is true, in one pass.
  void DeleteKeys(const std::string& section, const std::function<bool(const std::string&)>& which);
  // Every section and key goes; the file is rewritten empty on the next save.
  void Clear();

  // Writes the file now (it is also written by the destructor when changed).
  // Raises Exception when the file cannot be written, when the name (or the
  // link's target) is not a regular file, or when the file there does not
  // read as INI text and ForceOverwrite is off; the file is then untouched.
  void UpdateFile();

private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
    // Lower-case key -> position in values, so lookups do not walk the section.
    std::unordered_map<std::string, size_t> index;
    void Reindex();
  };
  Section* Find(const std::string& section);
  const Section* Find(const std::string& section) const;
  Section& FindOrAdd(const std::string& section);
  void Load();
  // The sections and keys of an INI text; readsAsIni is false when anything
  // in it would not survive a rewrite.
  static void Parse(std::string text, std::vector<Section>& out, bool& readsAsIni);

  std::string FFileName;
  std::vector<Section> FSections;
  bool FModified = false;
  bool FReadsAsIni = true;
  bool FForceOverwrite = false;
  int FUncaught = 0;  // exceptions in flight at construction
};

}  // namespace kivora
