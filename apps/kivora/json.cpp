// JSON output: escaping and number formatting.
#include "json.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace kivora::app {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when invalid.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

}  // namespace

std::string JsonWriter::Quote(std::string_view value) {
  std::string out = "\"";
  for (size_t i = 0; i < value.size();) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) {
      const size_t n = Utf8Length(value, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(value.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static const char hex[] = "0123456789abcdef";
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

void JsonWriter::BeforeValue() {
  if (FStack.empty()) {
    if (FWroteValue) throw std::logic_error("JSON: a second top-level value");
    return;
  }
  if (FStack.back()) {
    if (!FAfterKey) throw std::logic_error("JSON: a value inside an object needs a key");
    FAfterKey = false;
    return;
  }
  if (!FFirst.back()) FOut << ',';
  FFirst.back() = false;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  FOut << '{';
  FStack.push_back(true);
  FFirst.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  if (FStack.empty() || !FStack.back() || FAfterKey)
    throw std::logic_error("JSON: no object to end");
  FOut << '}';
  FStack.pop_back();
  FFirst.pop_back();
  if (FStack.empty()) FWroteValue = true;
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  FOut << '[';
  FStack.push_back(false);
  FFirst.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  if (FStack.empty() || FStack.back()) throw std::logic_error("JSON: no array to end");
  FOut << ']';
  FStack.pop_back();
  FFirst.pop_back();
  if (FStack.empty()) FWroteValue = true;
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  if (FStack.empty() || !FStack.back() || FAfterKey)
    throw std::logic_error("JSON: a key outside an object");
  if (!FFirst.back()) FOut << ',';
  FFirst.back() = false;
  FOut << Quote(name) << ':';
  FAfterKey = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  FOut << Quote(value);
  if (FStack.empty()) FWroteValue = true;
  return *this;
}

JsonWriter& JsonWriter::Number(double value) {
  if (!std::isfinite(value)) return Null();
  BeforeValue();
  // The shortest text that reads back as the same double.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  FOut.write(buf, res.ptr - buf);
  if (FStack.empty()) FWroteValue = true;
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t value) {
  BeforeValue();
  FOut << value;
  if (FStack.empty()) FWroteValue = true;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  FOut << (value ? "true" : "false");
  if (FStack.empty()) FWroteValue = true;
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  FOut << "null";
  if (FStack.empty()) FWroteValue = true;
  return *this;
}

}  // namespace kivora::app
