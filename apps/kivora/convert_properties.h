#pragma once
// The option properties of a conversion by name, for `kivora convert --set`:
// "VideoOptions.FrameWidth", "AudioOptions.AudioStreamCopy", "OutputFormat",
// every number, switch, text and list of TAVConvertOptions and its
// sub-objects.
#include <ostream>
#include <string>

#include "kivora/converter/options.h"

namespace kivora::app {

// Sets the property called name to the value read from text and returns
// true; returns false when name is no property (the caller then passes it on
// to FFmpeg as a free option). A dotted name that is no property, or a text
// that does not fit the property, throws UsageError saying why. List
// properties (MetaData, ComplexFilters, ...) get text as one more line.
bool SetConvertProperty(TAVConvertOptions& options, const std::string& name, const std::string& text);

// The prefix of the two-pass statistics files; --set takes it too, though it
// belongs to the converter rather than to its options.
inline constexpr const char* kPassLogFileProperty = "PassLogFile";

// Every property with the kind of value it takes, one per line.
void PrintConvertProperties(std::ostream& out);

}  // namespace kivora::app
