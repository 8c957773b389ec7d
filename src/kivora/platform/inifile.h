#pragma once
// INI files that keep sections and keys in the order written, so a file
// written and read back is unchanged. Booleans are 1/0; floats always use '.'.
// Section and key names compare case-insensitively. Values read back exactly
// as written: one that starts or ends with a space (or is itself quoted) is
// stored between double quotes, and one pair of surrounding quotes is removed
// on reading; unquoted spaces next to '=' in hand-written files are dropped.
// Names and values may not contain line breaks, keys no '=' and section names
// no ']' (Exception).
// Changes are written by UpdateFile or, quietly, by the destructor; the file
// is replaced in one step, so it is never left half-written.
#include <cstdint>
#include <string>
#include <vector>

#include "kivora/platform/stringlist.h"

namespace kivora {

class TIniFile {
public:
  // Reads the file if it exists; a missing file is an empty one.
  explicit TIniFile(const std::string& fileName);
  ~TIniFile();

  const std::string& FileName() const { return FFileName; }

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

  // Writes the file now (it is also written by the destructor when changed).
  // Raises Exception when the file cannot be written.
  void UpdateFile();

private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
  };
  Section* Find(const std::string& section);
  const Section* Find(const std::string& section) const;
  void Load();

  std::string FFileName;
  std::vector<Section> FSections;
  bool FModified = false;
};

}  // namespace kivora
