#include "kivora/platform/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include "kivora/platform/exception.h"
#include "kivora/platform/stream.h"

namespace kivora {

namespace {

bool SameText(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string TrimLeft(const std::string& s) {
  size_t b = 0;
  while (b < s.size() && IsSpace(s[b])) ++b;
  return s.substr(b);
}

std::string TrimRight(const std::string& s) {
  size_t e = s.size();
  while (e > 0 && IsSpace(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string Trim(const std::string& s) { return TrimLeft(TrimRight(s)); }

// Names and values go into a line-based file: a line break in one would
// split it into two entries, and '=' in a key or ']' in a section name would
// be read back as something else.
void CheckText(const std::string& text, const char* what, const char* forbidden) {
  if (text.find_first_of(forbidden) != std::string::npos)
    throw Exception(Format("Invalid INI %s \"%s\"", what, text.c_str()));
}

// A value that starts or ends with a space is written between double quotes,
// so the spaces next to '=' are not lost; so is a value that is itself
// quoted, so its own quotes survive the unquoting below.
bool NeedsQuotes(const std::string& v) {
  if (v.empty()) return false;
  return IsSpace(v.front()) || IsSpace(v.back()) || (v.size() >= 2 && v.front() == '"' && v.back() == '"');
}

// One pair of surrounding double quotes is not part of the value.
void Unquote(std::string& v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    v.pop_back();
    v.erase(0, 1);
  }
}

template <typename T>
bool ParseInt(const std::string& text, T& out) {
  std::string s = Trim(text);
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  int base = 10;
  size_t start = 0;
  bool negative = false;
  if (!s.empty() && s[0] == '-') {
    negative = true;
    start = 1;
  }
  if (s.size() > start + 2 && s[start] == '0' && (s[start + 1] == 'x' || s[start + 1] == 'X')) {
    base = 16;
    start += 2;
  } else if (s.size() > start + 1 && s[start] == '$') {
    base = 16;
    start += 1;
  }
  if (base == 16) s = (negative ? "-" : "") + s.substr(start);
  const char* first = s.data();
  const char* last = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(first, last, out, base);
  return ec == std::errc() && ptr == last && first != last;
}

}  // namespace

TIniFile::TIniFile(const std::string& fileName) : FFileName(fileName) { Load(); }

TIniFile::~TIniFile() {
  if (!FModified) return;
  try {
    UpdateFile();
  } catch (...) {
    // A destructor has nobody to report to; callers who care call UpdateFile.
  }
}

void TIniFile::Load() {
  FSections.clear();
  struct stat st {};
  if (FFileName.empty() || (::stat(FFileName.c_str(), &st) != 0 && errno == ENOENT)) return;
  // Anything else that keeps us from reading (no permission, a folder) is an
  // error: treating the file as empty would overwrite it on the next save.
  TMemoryStream data;
  data.LoadFromFile(FFileName);
  std::string text(reinterpret_cast<const char*>(data.Memory()), static_cast<size_t>(data.Size()));
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  TStringList lines;
  lines.SetText(text);
  Section* current = nullptr;
  for (const std::string& raw : lines) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name = Trim(line.substr(1, line.size() - 2));
      current = Find(name);
      if (!current) {
        FSections.push_back(Section{name, {}});
        current = &FSections.back();
      }
      continue;
    }
    if (!current) continue;  // keys before any section have nowhere to go
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    // raw, not line: only the spaces around '=' are dropped.
    const size_t rawEq = raw.find('=');
    std::string value = TrimLeft(raw.substr(rawEq + 1));
    if (!value.empty() && value.back() == '\r') value.pop_back();
    Unquote(value);
    current->values.emplace_back(TrimRight(line.substr(0, eq)), std::move(value));
  }
  FModified = false;
}

TIniFile::Section* TIniFile::Find(const std::string& section) {
  for (Section& s : FSections)
    if (SameText(s.name, section)) return &s;
  return nullptr;
}

const TIniFile::Section* TIniFile::Find(const std::string& section) const {
  for (const Section& s : FSections)
    if (SameText(s.name, section)) return &s;
  return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident, const std::string& def) const {
  if (const Section* s = Find(section))
    for (const auto& [key, value] : s->values)
      if (SameText(key, ident)) return value;
  return def;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
  CheckText(section, "section name", "]\r\n");
  CheckText(ident, "key", "=\r\n");
  CheckText(value, "value", "\r\n");
  Section* s = Find(section);
  if (!s) {
    FSections.push_back(Section{section, {}});
    s = &FSections.back();
  }
  for (auto& [key, old] : s->values) {
    if (SameText(key, ident)) {
      if (old != value) {
        old = value;
        FModified = true;
      }
      return;
    }
  }
  s->values.emplace_back(ident, value);
  FModified = true;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& ident, int def) const {
  int v = 0;
  return ParseInt(ReadString(section, ident, std::string()), v) ? v : def;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int value) {
  WriteString(section, ident, std::to_string(value));
}

int64_t TIniFile::ReadInt64(const std::string& section, const std::string& ident, int64_t def) const {
  int64_t v = 0;
  return ParseInt(ReadString(section, ident, std::string()), v) ? v : def;
}

void TIniFile::WriteInt64(const std::string& section, const std::string& ident, int64_t value) {
  WriteString(section, ident, std::to_string(value));
}

bool TIniFile::ReadBool(const std::string& section, const std::string& ident, bool def) const {
  const std::string s = Trim(ReadString(section, ident, std::string()));
  if (SameText(s, "true")) return true;
  if (SameText(s, "false")) return false;
  int64_t v = 0;
  return ParseInt(s, v) ? v != 0 : def;
}

void TIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
  WriteString(section, ident, value ? "1" : "0");
}

double TIniFile::ReadFloat(const std::string& section, const std::string& ident, double def) const {
  std::string s = Trim(ReadString(section, ident, std::string()));
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  // Files written by other programs under a comma locale: accept "1,5" too.
  if (s.find('.') == std::string::npos) std::replace(s.begin(), s.end(), ',', '.');
  double v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return (ec == std::errc() && ptr == s.data() + s.size() && !s.empty()) ? v : def;
}

void TIniFile::WriteFloat(const std::string& section, const std::string& ident, double value) {
  // to_chars ignores the C locale and gives the shortest text that reads back
  // as the same double.
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value);
  if (ec != std::errc()) throw EConvertError("Cannot convert a floating-point value to text");
  WriteString(section, ident, std::string(buf, ptr));
}

bool TIniFile::SectionExists(const std::string& section) const { return Find(section) != nullptr; }

bool TIniFile::ValueExists(const std::string& section, const std::string& ident) const {
  if (const Section* s = Find(section))
    for (const auto& kv : s->values)
      if (SameText(kv.first, ident)) return true;
  return false;
}

void TIniFile::ReadSections(TStringList& out) const {
  out.Clear();
  for (const Section& s : FSections) out.Add(s.name);
}

void TIniFile::ReadSection(const std::string& section, TStringList& keys) const {
  keys.Clear();
  if (const Section* s = Find(section))
    for (const auto& kv : s->values) keys.Add(kv.first);
}

void TIniFile::ReadSectionValues(const std::string& section, TStringList& out) const {
  out.Clear();
  if (const Section* s = Find(section))
    for (const auto& [key, value] : s->values) out.Add(key + "=" + value);
}

void TIniFile::EraseSection(const std::string& section) {
  const size_t before = FSections.size();
  std::erase_if(FSections, [&](const Section& s) { return SameText(s.name, section); });
  if (FSections.size() != before) FModified = true;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& ident) {
  Section* s = Find(section);
  if (!s) return;
  const size_t before = s->values.size();
  std::erase_if(s->values, [&](const auto& kv) { return SameText(kv.first, ident); });
  if (s->values.size() != before) FModified = true;
}

void TIniFile::UpdateFile() {
  std::string text;
  for (size_t i = 0; i < FSections.size(); ++i) {
    if (i) text += '\n';
    text += '[' + FSections[i].name + "]\n";
    for (const auto& [key, value] : FSections[i].values)
      text += key + '=' + (NeedsQuotes(value) ? '"' + value + '"' : value) + '\n';
  }

  // Write a sibling file and rename it over the old one: rename is atomic, so
  // a crash leaves either the old file or the new one, never half of one.
  std::string tmpName = FFileName + ".XXXXXX";
  const int fd = ::mkstemp(tmpName.data());
  if (fd < 0)
    throw Exception(Format("Cannot create file \"%s\". %s", FFileName.c_str(), std::strerror(errno)));
  struct stat st {};
  ::fchmod(fd, ::stat(FFileName.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);

  const char* p = text.data();
  size_t left = text.size();
  int err = 0;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (!err && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(tmpName.c_str(), FFileName.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(tmpName.c_str());
    throw Exception(Format("Cannot write file \"%s\". %s", FFileName.c_str(), std::strerror(err)));
  }
  FModified = false;
}

}  // namespace kivora
