#include "kivora/platform/stringlist.h"

#include <algorithm>

#include "kivora/platform/exception.h"

namespace kivora {

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameTextAscii(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// Spaces and control characters: the separators of non-strict splitting.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

struct DelimitedFormat {
  char delimiter;
  char quote;
  bool strict;
};

std::string JoinDelimited(const std::vector<std::string>& lines, const DelimitedFormat& f) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& s = lines[i];
    bool quote = f.quote != '\0' &&
                 std::any_of(s.begin(), s.end(), [&](char c) {
                   return c == f.delimiter || c == f.quote || (!f.strict && IsBlank(c));
                 });
    // An empty item is quoted so it is visibly there (and survives non-strict splitting).
    if (s.empty() && f.quote != '\0') quote = true;
    if (i) out += f.delimiter;
    if (!quote) {
      out += s;
      continue;
    }
    out += f.quote;
    for (char c : s) {
      if (c == f.quote) out += f.quote;
      out += c;
    }
    out += f.quote;
  }
  return out;
}

std::vector<std::string> SplitDelimited(const std::string& text, const DelimitedFormat& f) {
  std::vector<std::string> out;
  const size_t n = text.size();
  size_t p = 0;
  auto isSeparator = [&](char c) { return c == f.delimiter || (!f.strict && IsBlank(c)); };
  auto skipBlanks = [&] {
    if (!f.strict)
      while (p < n && IsBlank(text[p])) ++p;
  };
  skipBlanks();
  if (p >= n) return out;
  for (;;) {
    std::string item;
    if (f.quote != '\0' && p < n && text[p] == f.quote) {
      ++p;
      while (p < n) {
        if (text[p] == f.quote) {
          if (p + 1 < n && text[p + 1] == f.quote) {
            item += f.quote;
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
      // Anything glued to the closing quote belongs to the same item.
      while (p < n && !isSeparator(text[p])) item += text[p++];
    } else {
      while (p < n && !isSeparator(text[p])) item += text[p++];
    }
    out.push_back(std::move(item));
    // Between items: blanks (non-strict) and at most one delimiter.
    skipBlanks();
    if (p >= n) break;
    if (text[p] == f.delimiter) {
      ++p;
      skipBlanks();
      // A trailing delimiter announces one more, empty, item.
      if (p >= n) {
        out.emplace_back();
        break;
      }
    }
  }
  return out;
}

}  // namespace

int TStringList::Add(const std::string& s) {
  FLines.push_back(s);
  return Count() - 1;
}

void TStringList::Insert(int index, const std::string& s) {
  if (index < 0 || index > Count()) throw Exception(Format("List index out of bounds (%d)", index));
  FLines.insert(FLines.begin() + index, s);
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) throw Exception(Format("List index out of bounds (%d)", index));
  FLines.erase(FLines.begin() + index);
}

void TStringList::Clear() { FLines.clear(); }

int TStringList::IndexOf(const std::string& s) const {
  auto it = std::find(FLines.begin(), FLines.end(), s);
  return it == FLines.end() ? -1 : static_cast<int>(it - FLines.begin());
}

void TStringList::AddStrings(const TStringList& other) {
  // Copy first: `other` may be this list.
  std::vector<std::string> copy = other.FLines;
  FLines.insert(FLines.end(), copy.begin(), copy.end());
}

std::string TStringList::Names(int i) const {
  const std::string& line = (*this)[i];
  size_t eq = line.find(FNameValueSeparator);
  return eq == std::string::npos ? line : line.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int i) const {
  const std::string& line = (*this)[i];
  size_t eq = line.find(FNameValueSeparator);
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TStringList::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = FLines[static_cast<size_t>(i)];
    size_t eq = line.find(FNameValueSeparator);
    if (eq != std::string::npos && SameTextAscii(line.substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStringList::Values(const std::string& name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValues(const std::string& name, const std::string& value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line = name + FNameValueSeparator + value;
  if (i >= 0)
    FLines[static_cast<size_t>(i)] = std::move(line);
  else
    FLines.push_back(std::move(line));
}

std::string TStringList::DelimitedText() const {
  return JoinDelimited(FLines, {FDelimiter, FQuoteChar, FStrictDelimiter});
}

void TStringList::SetDelimitedText(const std::string& text) {
  FLines = SplitDelimited(text, {FDelimiter, FQuoteChar, FStrictDelimiter});
}

std::string TStringList::CommaText() const { return JoinDelimited(FLines, {',', '"', false}); }

void TStringList::SetCommaText(const std::string& text) { FLines = SplitDelimited(text, {',', '"', false}); }

std::string TStringList::Text() const {
  std::string out;
  for (const std::string& s : FLines) {
    out += s;
    out += '\n';
  }
  return out;
}

void TStringList::SetText(const std::string& text) {
  FLines.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl;
    size_t stop = (end > start && text[end - 1] == '\r') ? end - 1 : end;
    FLines.push_back(text.substr(start, stop - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

}  // namespace kivora
