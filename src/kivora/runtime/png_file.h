#pragma once
// PNG files of bitmaps, written through FFmpeg's PNG encoder.
#include <string>

namespace kivora {

class TBitmap;

// Writes the bitmap to fileName as a PNG. Each row is predicted from the one
// above and compressed at a fast zlib level: a 1080p picture takes a fraction
// of the toolkit's writer's time at about the same size. An opaque bitmap is
// written without its alpha channel. False with the reason in `error` when the
// bitmap is empty, cannot be encoded or the file cannot be written; a file
// that failed half-way is removed again.
bool SavePngFile(const TBitmap& bitmap, const std::string& fileName, std::string& error);

}  // namespace kivora
