#include "kivora/runtime/utils.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

int mid_pred(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

std::string ShortStringToString(const char* bytes, size_t size) {
  if (!bytes) return std::string();
  const void* nul = std::memchr(bytes, 0, size);
  return std::string(bytes, nul ? static_cast<const char*>(nul) - bytes : size);
}

void StringToShortString(const std::string& S, char* P) {
  if (!P) return;
  size_t n = std::min<size_t>(S.size(), 255);
  // Back up over UTF-8 continuation bytes so the text stays valid.
  if (n < S.size())
    while (n > 0 && (static_cast<unsigned char>(S[n]) & 0xC0) == 0x80) --n;
  std::memcpy(P, S.data(), n);
  P[n] = '\0';
}

void Split(char Delimiter, const std::string& Str, TStringList& ListOfStrings) {
  ListOfStrings.Clear();
  ListOfStrings.SetDelimiter(Delimiter);
  ListOfStrings.SetStrictDelimiter(true);
  ListOfStrings.SetDelimitedText(Str);
}

std::string GetTimeString(double ASecond, bool Short) {
  // Whole milliseconds, truncated toward zero. The tiny nudge keeps values
  // such as 2.3 (stored as 2.29999...) from showing as 2.299.
  int64_t total = 0;
  if (std::isfinite(ASecond)) {
    const double ms = ASecond * 1000.0 + std::copysign(1e-6, ASecond);
    constexpr double kLimit = 9.2e18;
    total = static_cast<int64_t>(std::clamp(std::trunc(ms), -kLimit, kLimit));
  }
  const int64_t msecs = total % 1000;
  int64_t secs = total / 1000;
  int64_t mins = secs / 60;
  secs %= 60;
  const int64_t hours = mins / 60;
  mins %= 60;
  char buf[96];
  if (Short)
    std::snprintf(buf, sizeof buf, "%.2lld:%.2lld:%.2lld", static_cast<long long>(hours),
                  static_cast<long long>(mins), static_cast<long long>(secs));
  else
    std::snprintf(buf, sizeof buf, "%.2lld:%.2lld:%.2lld.%.2lld", static_cast<long long>(hours),
                  static_cast<long long>(mins), static_cast<long long>(secs),
                  static_cast<long long>(msecs));
  return buf;
}

std::string GetTimeString(int64_t ASecond) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%lld:%lld:%lld", static_cast<long long>(ASecond / 3600),
                static_cast<long long>((ASecond / 60) % 60), static_cast<long long>(ASecond % 60));
  return buf;
}

void GetCodecList(TStringList& List) {
  LoadLibs();
  List.Clear();
  for (const AVCodecDescriptor* d = avcodec_descriptor_next(nullptr); d;
       d = avcodec_descriptor_next(d))
    List.Add(d->name);
}

void GetInputDeviceList(TStringList& List) {
  LoadLibs();
  List.Clear();
  // After avdevice_register_all the device inputs are part of the demuxers.
  void* it = nullptr;
  while (const AVInputFormat* f = av_demuxer_iterate(&it))
    if (isDevice(f->priv_class)) List.Add(f->name);
}

bool isDevice(const AVClass* avclass) {
  if (!avclass) return false;
  switch (avclass->category) {
    case AV_CLASS_CATEGORY_DEVICE_VIDEO_OUTPUT:
    case AV_CLASS_CATEGORY_DEVICE_VIDEO_INPUT:
    case AV_CLASS_CATEGORY_DEVICE_AUDIO_OUTPUT:
    case AV_CLASS_CATEGORY_DEVICE_AUDIO_INPUT:
    case AV_CLASS_CATEGORY_DEVICE_OUTPUT:
    case AV_CLASS_CATEGORY_DEVICE_INPUT:
      return true;
    default:
      return false;
  }
}

AVRational guess_frame_rate(AVFormatContext* /*fmt*/, AVStream* st, AVCodecContext* dec,
                            AVFrame* /*frame*/) {
  AVRational fr = st->r_frame_rate;
  if (dec && dec->ticks_per_frame > 1) {
    // av_mul_q reduces, so a large time base cannot overflow the denominator.
    const AVRational codec_fr = av_mul_q(av_inv_q(dec->time_base), AVRational{1, dec->ticks_per_frame});
    const AVRational avg_fr = st->avg_frame_rate;
    if (codec_fr.num > 0 && codec_fr.den > 0 && av_q2d(codec_fr) < av_q2d(fr) * 0.7 &&
        std::fabs(1.0 - av_q2d(av_div_q(avg_fr, fr))) > 0.1)
      fr = codec_fr;
  }
  return fr;
}

void ShowHud(const std::string& /*AMessage*/) {}

int GetHWOutputPixelFmt() { return AV_PIX_FMT_RGB24; }

int GetCameraPixelFmt() { throw Exception("only support on android"); }

}  // namespace kivora
