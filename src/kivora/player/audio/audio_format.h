#pragma once
// Small audio-format helpers of the player's sound path: comparing decoder
// output formats, turning channel layouts into 64-bit masks and back, and the
// gain text handed to the volume filter.
#include <cstdint>
#include <string>

#include "kivora/runtime/ffmpeg.h"

namespace kivora {

// True when two sample formats differ for filtering purposes. With one
// channel on both sides planar and packed count as the same format.
bool cmp_audio_fmts(AVSampleFormat fmt1, int64_t channel_count1, AVSampleFormat fmt2, int64_t channel_count2);

// The layout mask when it is non-zero and names exactly `channels` channels,
// else 0.
int64_t get_valid_channel_layout(int64_t channel_layout, int channels);

// The 64-bit mask of a native-order layout; 0 for any other order.
int64_t ChannelLayoutMask(const AVChannelLayout& layout);

// The layout for a mask and a channel count: the mask's own when it is valid
// for that count, otherwise FFmpeg's default layout for the count. `out` must
// be uninitialised or already released.
void MakeChannelLayout(AVChannelLayout* out, int64_t mask, int channels);

// A layout as FFmpeg's filters read it ("stereo", "5.1", "3 channels").
std::string DescribeChannelLayout(const AVChannelLayout& layout);

// The gain as "%f" prints it in the C locale ("1.000000"): the decimal
// separator is always '.', whatever the process locale.
std::string FormatVolume(double volume);

}  // namespace kivora
