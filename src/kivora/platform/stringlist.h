#pragma once
// An ordered list of UTF-8 strings with the name=value, comma-text and
// delimited-text conveniences the components use for options and metadata.
#include <string>
#include <vector>

namespace kivora {

class TStringList {
public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines) : FLines(lines) {}

  int Count() const { return static_cast<int>(FLines.size()); }
  bool Empty() const { return FLines.empty(); }
  // 0..Count()-1; out of range throws std::out_of_range.
  const std::string& operator[](int i) const { return FLines.at(static_cast<size_t>(i)); }
  std::string& operator[](int i) { return FLines.at(static_cast<size_t>(i)); }
  const std::string& Strings(int i) const { return (*this)[i]; }

  // Returns the new line's index.
  int Add(const std::string& s);
  // index 0..Count(); else "List index out of bounds (N)".
  void Insert(int index, const std::string& s);
  // index 0..Count()-1; else "List index out of bounds (N)".
  void Delete(int index);
  void Clear();
  // The first line equal to s (case-sensitive), or -1.
  int IndexOf(const std::string& s) const;
  // Copies the lines only, not the delimiter settings.
  void Assign(const TStringList& other) { FLines = other.FLines; }
  void AddStrings(const TStringList& other);

  // name=value lines. Names() of a line without '=' is the whole line...
  std::string Names(int i) const;
  // ...and its value is empty.
  std::string ValueFromIndex(int i) const;
  // Value of the first line whose name equals `name` (case-insensitive); empty if none.
  std::string Values(const std::string& name) const;
  // Sets the value of `name`: replaces its line, appends one, or deletes it when value is empty.
  void SetValues(const std::string& name, const std::string& value);
  // The first line named `name` (case-insensitive, ASCII), or -1.
  int IndexOfName(const std::string& name) const;

  char Delimiter() const { return FDelimiter; }
  void SetDelimiter(char c) { FDelimiter = c; }
  char QuoteChar() const { return FQuoteChar; }
  void SetQuoteChar(char c) { FQuoteChar = c; }
  char NameValueSeparator() const { return FNameValueSeparator; }
  void SetNameValueSeparator(char c) { FNameValueSeparator = c; }
  // With a strict delimiter only Delimiter separates items; otherwise spaces
  // and control characters separate them too.
  bool StrictDelimiter() const { return FStrictDelimiter; }
  void SetStrictDelimiter(bool v) { FStrictDelimiter = v; }

  // Items joined by Delimiter; items that contain a delimiter, a quote, a
  // space (when not strict) or are empty are quoted, inner quotes doubled.
  std::string DelimitedText() const;
  void SetDelimitedText(const std::string& text);
  // DelimitedText with ',' and '"' and non-strict splitting.
  std::string CommaText() const;
  void SetCommaText(const std::string& text);
  // Lines joined with '\n' (each line followed by one). SetText splits at
  // '\n' and drops a '\r' before it.
  std::string Text() const;
  void SetText(const std::string& text);

  auto begin() const { return FLines.begin(); }
  auto end() const { return FLines.end(); }
  const std::vector<std::string>& Lines() const { return FLines; }

  bool operator==(const TStringList& o) const { return FLines == o.FLines; }

private:
  std::vector<std::string> FLines;
  char FDelimiter = ',';
  char FQuoteChar = '"';
  char FNameValueSeparator = '=';
  bool FStrictDelimiter = false;
};

}  // namespace kivora
