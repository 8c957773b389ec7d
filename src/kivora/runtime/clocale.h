#pragma once
// Text handed to FFmpeg's parsers (filter graphs, option values) must be read
// with C number rules: a Qt application installs the user's locale, and under
// a comma-decimal locale strtod reads "0.5" as 0. FFmpeg parses on the thread
// that calls it, so switching the calling thread's locale around the call is
// enough and leaves every other thread alone.
#include <locale.h>

namespace kivora {

// The C locale for numbers, made once for the process.
locale_t CNumericLocale();

// For its lifetime, the calling thread reads and prints numbers with C rules.
class TCLocaleScope {
public:
  TCLocaleScope();
  ~TCLocaleScope();
  TCLocaleScope(const TCLocaleScope&) = delete;
  TCLocaleScope& operator=(const TCLocaleScope&) = delete;

private:
  locale_t FPrevious;
};

}  // namespace kivora
