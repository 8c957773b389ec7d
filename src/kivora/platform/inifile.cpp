#include "kivora/platform/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "kivora/platform/exception.h"

namespace kivora {

namespace {

char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerChar(x) == LowerChar(y); });
}

// The form keys are indexed by: names compare case-insensitively (ASCII).
std::string Lower(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = LowerChar(c);
  return out;
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
// be read back as something else. A NUL byte would make the file read as
// binary data.
void CheckText(const std::string& text, const char* what, std::string_view forbidden) {
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

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

// The whole of a regular file of at most MAX_INI_FILE_SIZE bytes. False when
// nothing is at the name (or a link there leads nowhere); Exception for
// anything else that is not such a file.
bool ReadRegularFile(const std::string& name, std::string& text) {
  // O_NONBLOCK: opening a pipe must not wait for a writer; it is refused below.
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    throw Exception(Format("Cannot open file \"%s\". %s", name.c_str(), std::strerror(errno)));
  }
  const FdCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    throw Exception(Format("Cannot open file \"%s\". %s", name.c_str(), std::strerror(errno)));
  if (!S_ISREG(st.st_mode)) throw Exception(Format("Cannot open file \"%s\". It is not a regular file", name.c_str()));
  const std::string tooLarge = Format("Cannot open file \"%s\". It is larger than %lld bytes, too large for an INI file",
                                      name.c_str(), static_cast<long long>(MAX_INI_FILE_SIZE));
  if (st.st_size > MAX_INI_FILE_SIZE) throw Exception(tooLarge);
  text.clear();
  text.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Exception(Format("Cannot read file \"%s\". %s", name.c_str(), std::strerror(errno)));
    if (n == 0) return true;
    // The file may grow while it is read.
    if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(MAX_INI_FILE_SIZE)) throw Exception(tooLarge);
    text.append(buf, static_cast<size_t>(n));
  }
}

// Where a write to name lands: the end of its chain of symbolic links (name
// itself when it is none), whether or not that exists yet.
std::string LinkTarget(const std::string& name) {
  namespace fs = std::filesystem;
  fs::path path(name);
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path.string();
    std::error_code ec;
    const fs::path link = fs::read_symlink(path, ec);
    if (ec) throw Exception(Format("Cannot write file \"%s\". %s", name.c_str(), ec.message().c_str()));
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  throw Exception(Format("Cannot write file \"%s\". %s", name.c_str(), std::strerror(ELOOP)));
}

}  // namespace

void TIniFile::Section::Reindex() {
  index.clear();
  for (size_t i = 0; i < values.size(); ++i) index.emplace(Lower(values[i].first), i);  // the first one wins
}

TIniFile::TIniFile(const std::string& fileName) : FFileName(fileName), FUncaught(std::uncaught_exceptions()) {
  Load();
}

TIniFile::~TIniFile() {
  // While an exception unwinds, the changes may be half of what was meant:
  // they are not written.
  if (!FModified || FFileName.empty() || std::uncaught_exceptions() > FUncaught) return;
  try {
    UpdateFile();
  } catch (...) {
    // A destructor has nobody to report to; callers who care call UpdateFile.
  }
}

void TIniFile::Parse(std::string text, std::vector<Section>& out, bool& readsAsIni) {
  out.clear();
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  // A NUL byte is no text: binary data (a picture, a video) that happens to
  // hold line breaks and '=' signs is not taken for settings.
  readsAsIni = text.find('\0') == std::string::npos;
  TStringList lines;
  lines.SetText(text);
  Section* current = nullptr;
  for (const std::string& raw : lines) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name = Trim(line.substr(1, line.size() - 2));
      current = nullptr;
      for (Section& s : out)
        if (SameText(s.name, name)) current = &s;
      if (!current) {
        current = &out.emplace_back();
        current->name = name;
      }
      continue;
    }
    const size_t eq = line.find('=');
    // Keys before any section have nowhere to go, other lines mean nothing:
    // neither would be written back.
    if (!current || eq == std::string::npos) {
      readsAsIni = false;
      continue;
    }
    // raw, not line: only the spaces around '=' are dropped.
    const size_t rawEq = raw.find('=');
    std::string value = TrimLeft(raw.substr(rawEq + 1));
    if (!value.empty() && value.back() == '\r') value.pop_back();
    Unquote(value);
    current->values.emplace_back(TrimRight(line.substr(0, eq)), std::move(value));
  }
  for (Section& s : out) s.Reindex();
}

void TIniFile::Load() {
  FSections.clear();
  FReadsAsIni = true;
  FModified = false;
  std::string text;
  // Anything that keeps us from reading (no permission, a folder, a pipe) is
  // an error: treating the file as empty would overwrite it on the next save.
  if (FFileName.empty() || !ReadRegularFile(FFileName, text)) return;
  Parse(std::move(text), FSections, FReadsAsIni);
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

TIniFile::Section& TIniFile::FindOrAdd(const std::string& section) {
  if (Section* s = Find(section)) return *s;
  Section& s = FSections.emplace_back();
  s.name = section;
  return s;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident, const std::string& def) const {
  if (const Section* s = Find(section)) {
    const auto it = s->index.find(Lower(ident));
    if (it != s->index.end()) return s->values[it->second].second;
  }
  return def;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
  using namespace std::string_view_literals;
  CheckText(section, "section name", "]\r\n\0"sv);
  CheckText(ident, "key", "=\r\n\0"sv);
  CheckText(value, "value", "\r\n\0"sv);
  Section& s = FindOrAdd(section);
  const auto [it, added] = s.index.emplace(Lower(ident), s.values.size());
  if (added) {
    s.values.emplace_back(ident, value);
    FModified = true;
    return;
  }
  std::string& old = s.values[it->second].second;
  if (old != value) {
    old = value;
    FModified = true;
  }
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
  const Section* s = Find(section);
  return s && s->index.count(Lower(ident)) != 0;
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
  DeleteKeys(section, [&](const std::string& key) { return SameText(key, ident); });
}

void TIniFile::DeleteKeys(const std::string& section, const std::function<bool(const std::string&)>& which) {
  Section* s = Find(section);
  if (!s) return;
  const size_t before = s->values.size();
  std::erase_if(s->values, [&](const auto& kv) { return which(kv.first); });
  if (s->values.size() == before) return;
  s->Reindex();
  FModified = true;
}

void TIniFile::Clear() {
  if (FSections.empty()) return;
  FSections.clear();
  FModified = true;
}

void TIniFile::UpdateFile() {
  if (FFileName.empty()) throw Exception("Cannot write an INI file that has no file name");
  // A link stays a link: its target gets the new text.
  const std::string target = LinkTarget(FFileName);
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  // Devices, pipes and folders are never replaced by a file.
  if (exists && !S_ISREG(st.st_mode))
    throw Exception(Format("Cannot write file \"%s\". It is not a regular file", FFileName.c_str()));
  if (exists && !FForceOverwrite) {
    // Whatever is there now (it may have changed since it was read) must be
    // INI text, or rewriting it would lose it.
    std::string old;
    std::vector<Section> parsed;
    bool readsAsIni = true;
    if (ReadRegularFile(target, old)) Parse(std::move(old), parsed, readsAsIni);
    if (!readsAsIni)
      throw Exception(Format("Cannot write file \"%s\". It holds something other than INI text; it is left as it was",
                             FFileName.c_str()));
  }

  std::string text;
  for (size_t i = 0; i < FSections.size(); ++i) {
    if (i) text += '\n';
    text += '[' + FSections[i].name + "]\n";
    for (const auto& [key, value] : FSections[i].values)
      text += key + '=' + (NeedsQuotes(value) ? '"' + value + '"' : value) + '\n';
  }

  // Write a sibling file and rename it over the old one: rename is atomic, so
  // a crash leaves either the old file or the new one, never half of one.
  std::string tmpName = target + ".XXXXXX";
  const int fd = ::mkstemp(tmpName.data());
  if (fd < 0)
    throw Exception(Format("Cannot create file \"%s\". %s", FFileName.c_str(), std::strerror(errno)));
  ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644);
  // The file keeps its owner where we may give it (when run as root);
  // otherwise it becomes ours, as any rewritten file does.
  if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
    const int kept = ::fchown(fd, st.st_uid, st.st_gid);
    (void)kept;
  }

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
  if (!err && ::rename(tmpName.c_str(), target.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(tmpName.c_str());
    throw Exception(Format("Cannot write file \"%s\". %s", FFileName.c_str(), std::strerror(err)));
  }
  FModified = false;
}

}  // namespace kivora
