#pragma once
// The built-in sample clip of `kivora demo`: H.264 video and AAC audio in
// MP4. Each picture carries its frame number as two rows of twelve
// black/white cells at the top left (the second row inverted), above a
// moving bar; the sound is a steady 440 Hz tone.
#include <string>

namespace kivora::app {

struct SampleClip {
  int width = 320;
  int height = 240;
  int fps = 25;
  double seconds = 3.0;
  double tone_hz = 440.0;
};

// Writes the clip to path. Throws std::runtime_error with FFmpeg's reason
// when it cannot be made.
void MakeSampleClip(const std::string& path, const SampleClip& clip = {});

}  // namespace kivora::app
