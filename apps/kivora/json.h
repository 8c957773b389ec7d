#pragma once
// A small streaming JSON writer for the program's machine-readable output.
// Commas and nesting are tracked for the caller; strings are escaped (invalid
// UTF-8 becomes U+FFFD) and non-finite numbers are written as null.
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kivora::app {

class JsonWriter {
public:
  explicit JsonWriter(std::ostream& out) : FOut(out) {}

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member; only inside an object.
  JsonWriter& Key(std::string_view name);

  JsonWriter& String(std::string_view value);
  JsonWriter& Number(double value);
  JsonWriter& Int(int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // True when every object and array begun has been ended.
  bool Complete() const { return FStack.empty() && FWroteValue; }

  // value as a JSON string literal, quotes included.
  static std::string Quote(std::string_view value);

private:
  void BeforeValue();

  std::ostream& FOut;
  // One entry per open container: true for an object. FFirst says whether
  // the container has no member yet.
  std::vector<bool> FStack;
  std::vector<bool> FFirst;
  bool FAfterKey = false;
  bool FWroteValue = false;
};

}  // namespace kivora::app
