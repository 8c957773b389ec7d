#pragma once
// Decodes a whole media file with FFmpeg alone, so tests can check what a
// file holds (frame numbers, picture sizes, tones, subtitles) independently of
// the library under test.
#include <cstdint>
#include <string>
#include <vector>

namespace kivora::testing {

struct DecodedVideo {
  int stream_index = -1;
  // Per decoded frame, in output order.
  std::vector<int> numbers;  // ReadFrameNumber of the picture
  std::vector<int> widths;
  std::vector<int> heights;
  std::vector<double> times;  // best-effort timestamp in seconds (NAN when none)
  // Per frame, the colour of the centre pixel as 0xRRGGBB (BT.601 limited
  // range), for 8-bit planar YUV pictures; 0xFFFFFFFF for other formats.
  std::vector<uint32_t> centre_rgb;
  // The first picture's luma plane, first_width bytes a row (8-bit YUV only).
  std::vector<uint8_t> first_luma;
  int first_width = 0;
};

struct DecodedAudio {
  int stream_index = -1;
  int sample_rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;  // interleaved S16
  size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

struct DecodedSubtitleRect {
  int x = 0, y = 0, w = 0, h = 0;
  uint32_t argb = 0;  // palette colour of the rectangle's first pixel
};

struct DecodedSubtitle {
  double start_s = 0;  // when it appears
  double end_s = 0;    // when it goes (start when unknown)
  std::vector<DecodedSubtitleRect> rects;  // empty for a clearing page
};

struct DecodedMedia {
  std::vector<DecodedVideo> video;  // streams that are not attached pictures
  std::vector<DecodedVideo> attached_pictures;
  std::vector<DecodedAudio> audio;
  std::vector<DecodedSubtitle> subtitles;
};

// Throws std::runtime_error with FFmpeg's error text when the file cannot be
// opened or a stream cannot be decoded.
DecodedMedia DecodeMedia(const std::string& path);

}  // namespace kivora::testing
