#pragma once
// Small media helpers every component uses: numeric helpers, string and time
// formatting, lists over FFmpeg's registries, and frame-rate guessing.
//
// FFSIGN, FFMIN3, FFMAX3, av_clip, MKTAG, FFALIGN, the av_*_q rational helpers
// and the av_clip_* family come from libavutil's headers (included here) and
// behave as this module documents: FFSIGN(0) is -1, av_clip(a, lo, hi) clamps.
#include <concepts>
#include <cstdint>
#include <string>

#include "kivora/platform/stringlist.h"
#include "kivora/runtime/avlib.h"

extern "C" {
#include <libavutil/avutil.h>
struct AVCodecContext;
struct AVFrame;
struct AVFormatContext;
struct AVStream;
}

namespace kivora {

// The median of three.
int mid_pred(int a, int b, int c);

// A four-character code, ch0 in the lowest byte ("YV12" gives 0x32315659).
constexpr uint32_t MAKEFOURCC(char ch0, char ch1, char ch2, char ch3) {
  return static_cast<uint32_t>(static_cast<uint8_t>(ch0)) |
         (static_cast<uint32_t>(static_cast<uint8_t>(ch1)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(ch2)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(ch3)) << 24);
}

constexpr AVRational NewAVRational(int num, int den) { return AVRational{num, den}; }

// The bytes of a fixed-size text buffer as a string, up to the first NUL (or
// the whole buffer when it has none).
std::string ShortStringToString(const char* bytes, size_t size);
// Writes at most 255 bytes of S to P (a buffer of at least 256 bytes) and a
// terminating NUL after them. A UTF-8 character is never cut in half.
void StringToShortString(const std::string& S, char* P);

// Fills the list with the parts of Str separated by Delimiter only (spaces do
// not separate).
void Split(char Delimiter, const std::string& Str, TStringList& ListOfStrings);

// "hh:mm:ss" when Short, else "hh:mm:ss.mmm" (milliseconds, at least two
// digits: 1.05 s gives "00:00:01.50"). Seconds, truncated to whole
// milliseconds; NaN and infinities give zero.
std::string GetTimeString(double ASecond, bool Short);
// Whole seconds as "h:m:s" without padding (3725 gives "1:2:5").
std::string GetTimeString(int64_t ASecond);
template <std::integral T>
std::string GetTimeString(T ASecond) {
  return GetTimeString(static_cast<int64_t>(ASecond));
}

// Starts the libraries and fills the list with every codec name FFmpeg knows,
// in FFmpeg's order.
void GetCodecList(TStringList& List);
// Starts the libraries and fills the list with the short names of the input
// devices (capture devices) FFmpeg offers.
void GetInputDeviceList(TStringList& List);
// True when the class belongs to one of FFmpeg's device categories.
bool isDevice(const AVClass* avclass);

// The stream's frame rate as the player and converter take it: r_frame_rate,
// unless the decoder's own rate (time base and ticks per frame) is clearly
// lower and the stream's average rate disagrees with r_frame_rate (field-rate
// streams). Frames per second; dec may be nullptr; fmt and frame are not used.
AVRational guess_frame_rate(AVFormatContext* fmt, AVStream* st, AVCodecContext* dec, AVFrame* frame);

// A short on-screen notice; this platform shows none.
void ShowHud(const std::string& AMessage);
// The pixel format (an AVPixelFormat value) hardware decoders deliver
// pictures in: AV_PIX_FMT_RGB24.
int GetHWOutputPixelFmt();
// The camera's pixel format; raises "only support on android" here.
int GetCameraPixelFmt();

// A picture or bitmap width in pixels rounded to the nearest multiple of 16
// (halves up), at least 16.
constexpr int RoundTo16(int w) {
  const int r = (w + 8) & ~15;
  return r > 16 ? r : 16;
}

}  // namespace kivora
