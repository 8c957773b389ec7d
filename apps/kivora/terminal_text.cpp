#include "terminal_text.h"

#include <cstdint>
#include <cstdio>

namespace kivora::app {

namespace {

// The length of the valid UTF-8 sequence at s[i] and its code point in cp;
// 0 when the byte there starts none.
size_t Utf8Sequence(const std::string& s, size_t i, uint32_t& cp) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t len = 0;
  if (c < 0x80) len = 1, cp = c;
  else if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1Fu;
  else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0Fu;
  else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07u;
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3Fu);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string TerminalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t len = Utf8Sequence(text, i, cp);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    char escape[8];
    if (cp == '\n') out += "\\n";
    else if (cp == '\t') out += "\\t";
    else if (cp == '\r') out += "\\r";
    else if (cp < 0x20 || cp == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(cp));
      out += escape;
    } else if (cp >= 0x80 && cp <= 0x9F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(cp));
      out += escape;
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  return out;
}

}  // namespace kivora::app
