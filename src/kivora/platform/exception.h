#pragma once
// The library's exception class and its named kinds. Messages are fixed
// English texts that callers and tests compare byte for byte.
#include <stdexcept>
#include <string>

namespace kivora {

class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& msg) : std::runtime_error(msg) {}
  std::string Message() const { return what(); }
};

// A failed internal assertion: "Assertion failure (SOURCE, line N)".
class EAssertionFailed : public Exception {
public:
  EAssertionFailed(const std::string& source, int line);
  explicit EAssertionFailed(const std::string& msg) : Exception(msg) {}
};

// A call of an operation that the base class declares but does not implement.
class EAbstractError : public Exception {
public:
  EAbstractError() : Exception("Abstract Error") {}
  explicit EAbstractError(const std::string& msg) : Exception(msg) {}
};

// A text that could not be converted to the requested type.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// An object that cannot be assigned from another.
class EAssignError : public Exception {
public:
  using Exception::Exception;
};

// printf-style formatting of the fixed messages ("Option %s not found!"), of
// any length; null fmt gives an empty text.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Raises EAssertionFailed when cond is false.
inline void Assert(bool cond, const char* source, int line) {
  if (!cond) throw EAssertionFailed(source, line);
}

}  // namespace kivora
