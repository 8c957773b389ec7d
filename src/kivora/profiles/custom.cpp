#include "kivora/profiles/custom.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kivora/converter/options.h"
#include "kivora/platform/classes.h"
#include "kivora/profiles/targets.h"

namespace kivora {

namespace {

constexpr int INT_MAX_ = std::numeric_limits<int>::max();

template <typename E>
bool InEnum(E value, size_t count) {
  const auto v = static_cast<int64_t>(value);
  return v >= 0 && static_cast<size_t>(v) < count;
}

// An integer key whose value lies in lo..hi; def when the key is missing or
// holds anything else (a word, a number out of range).
int64_t ReadRange(const TIniFile& ini, const std::string& key, int64_t def, int64_t lo, int64_t hi) {
  const int64_t v = ini.ReadInt64(PROFILE_SECTION, key, def);
  return (v >= lo && v <= hi) ? v : def;
}

template <typename E>
E ReadOrdinal(const TIniFile& ini, const std::string& key, E def, size_t count) {
  return static_cast<E>(ReadRange(ini, key, static_cast<int64_t>(def), 0, static_cast<int64_t>(count) - 1));
}

// kbit/s values are multiplied by 1000 into an int of bits per second.
constexpr double MAX_KBITS = INT_MAX_ / 1000.0;

// Bits per second of a kbit/s value, 0 for nothing sensible, never past INT_MAX.
int KbitsToBits(double kbits) {
  const double b = kbits * 1000.0;
  if (!std::isfinite(b) || b <= 0) return 0;
  if (b >= INT_MAX_) return INT_MAX_;
  return static_cast<int>(std::llround(b));
}

// A comma text cut short inside a quoted item has an odd number of quotes;
// reading it would swallow the rest of the text into one option.
bool BalancedQuotes(const std::string& text) { return std::count(text.begin(), text.end(), '"') % 2 == 0; }

}  // namespace

// ---- TAVCustomAudioProfile ----

TAVCustomAudioProfile::TAVCustomAudioProfile(TComponent* AOwner) : TAVProfile(AOwner) {}

void TAVCustomAudioProfile::SetAudioEncoder(TCustomAudioEncoder Value) {
  if (InEnum(Value, AudioEncoderArr.size())) FAudioEncoder = Value;
}

void TAVCustomAudioProfile::SetAudioChannels(TCustomAudioChannels Value) {
  if (InEnum(Value, AudioChannelsArr.size())) FAudioChannels = Value;
}

void TAVCustomAudioProfile::SetFormat(TCustomAVFormat Value) {
  if (InEnum(Value, FormatArr.size())) FFormat = Value;
}

std::string TAVCustomAudioProfile::GetAudioEncoderName() const {
  return AudioEncoderArr[static_cast<size_t>(FAudioEncoder)].Name;
}

bool TAVCustomAudioProfile::ApplyToOptions(TAVConvertOptions& Options) {
  Options.VideoOptions().SetVideoDisable(true);
  Options.SubtitleOptions().SetSubtitleDisable(true);
  TAudioOptions& a = Options.AudioOptions();
  if (a.AudioStreamCopy()) return true;
  a.SetEncoderAudioCodecName(AudioEncoderArr[static_cast<size_t>(FAudioEncoder)].FFmpegName);
  if (const char* format = FormatArr[static_cast<size_t>(FFormat)].FFmpegName) Options.SetOutputFormat(format);
  a.SetBitrate(KbitsToBits(FAudioBitrate));
  a.SetAudioSampleRate(FSampleRate);
  a.SetAudioChannels(FAudioChannels == TCustomAudioChannels::stereo2 ? 2 : 1);
  for (int i = 0; i < FOptions.Count(); ++i) {
    const std::string name = FOptions.Names(i);
    if (!name.empty()) Options.SetAdvancedOption(name, FOptions.ValueFromIndex(i));
  }
  return true;
}

void TAVCustomAudioProfile::DoSaveProfile(TIniFile& Ini, int Index) const {
  TAVProfile::DoSaveProfile(Ini, Index);
  Ini.WriteBool(PROFILE_SECTION, ProfileKey("IsVideo", Index), false);
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("SampleRate", Index), FSampleRate);
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("AudioEncoder", Index), static_cast<int>(FAudioEncoder));
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("AudioChannels", Index), static_cast<int>(FAudioChannels));
  Ini.WriteFloat(PROFILE_SECTION, ProfileKey("AudioBitrate", Index), FAudioBitrate);
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("Format", Index), static_cast<int>(FFormat));
  Ini.WriteString(PROFILE_SECTION, ProfileKey("Options", Index), FOptions.CommaText());
}

void TAVCustomAudioProfile::DoLoadProfile(const TIniFile& Ini, int Index) {
  TAVProfile::DoLoadProfile(Ini, Index);
  FSampleRate = static_cast<int>(ReadRange(Ini, ProfileKey("SampleRate", Index), FSampleRate, 0, INT_MAX_));
  FAudioEncoder = ReadOrdinal(Ini, ProfileKey("AudioEncoder", Index), FAudioEncoder, AudioEncoderArr.size());
  FAudioChannels = ReadOrdinal(Ini, ProfileKey("AudioChannels", Index), FAudioChannels, AudioChannelsArr.size());
  const double bitrate = Ini.ReadFloat(PROFILE_SECTION, ProfileKey("AudioBitrate", Index), FAudioBitrate);
  if (std::isfinite(bitrate) && bitrate >= 0 && bitrate <= MAX_KBITS) FAudioBitrate = bitrate;
  FFormat = ReadOrdinal(Ini, ProfileKey("Format", Index), FFormat, FormatArr.size());
  // Only a present key replaces the list: the list's own text, read back as
  // comma text, would split lines that hold spaces.
  const std::string key = ProfileKey("Options", Index);
  if (Ini.ValueExists(PROFILE_SECTION, key)) {
    const std::string text = Ini.ReadString(PROFILE_SECTION, key, std::string());
    if (BalancedQuotes(text)) FOptions.SetCommaText(text);
  }
}

// ---- TAVCustomVideoProfile ----

TAVCustomVideoProfile::TAVCustomVideoProfile(TComponent* AOwner) : TAVCustomAudioProfile(AOwner) {}

void TAVCustomVideoProfile::SetVideoEncoder(TCustomVideoEncoder Value) {
  if (InEnum(Value, VideoEncoderArr.size())) FVideoEncoder = Value;
}

void TAVCustomVideoProfile::SetFrameRate(TCustomFrameRate Value) {
  if (InEnum(Value, FrameRateArr.size())) FFrameRate = Value;
}

void TAVCustomVideoProfile::SetFrameAspectRatio(TAVAspectRatio Value) {
  if (Value == TAVAspectRatio::AR_NONE || Value == TAVAspectRatio::AR4_3) FFrameAspectRatio = Value;
}

TAVFrameSize TAVCustomVideoProfile::GetFrameSize() const {
  for (size_t i = 0; i < FrameSizeArr.size(); ++i)
    if (FrameSizeArr[i].Width == FFrameWidth && FrameSizeArr[i].Height == FFrameHeight)
      return static_cast<TAVFrameSize>(i);
  return TAVFrameSize::fsOriginal;
}

std::string TAVCustomVideoProfile::GetVideoEncoderName() const {
  return VideoEncoderArr[static_cast<size_t>(FVideoEncoder)].Name;
}

double TAVCustomVideoProfile::GetVideoFrameRate() const {
  if (FFrameRate == TCustomFrameRate::rOriginal) return 0;
  const std::string text = FrameRateArr[static_cast<size_t>(FFrameRate)].Text;
  double v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);  // C number rules whatever the locale
  return v;
}

bool TAVCustomVideoProfile::ApplyToOptions(TAVConvertOptions& Options) {
  const bool result = TAVCustomAudioProfile::ApplyToOptions(Options);
  TVideoOptions& v = Options.VideoOptions();
  v.SetVideoDisable(false);
  const TVideoEncoderInfo& encoder = VideoEncoderArr[static_cast<size_t>(FVideoEncoder)];
  v.SetEncoderVideoCodecName(encoder.Encoder);
  if (encoder.SingleThread) Options.SetThreadCount(1);
  if (FVideoEncoder == TCustomVideoEncoder::H264) {
    TAVX264Profile x264;
    x264.Setpreset(TPreset::faster);
    x264.ApplyToOptions(Options);
    Options.SetAdvancedOption("mbd", "rd");
    Options.SetAdvancedOption("level", "41");
  }
  if (FFrameWidth > 0) v.SetFrameWidth(FFrameWidth);
  if (FFrameHeight > 0) v.SetFrameHeight(FFrameHeight);
  v.SetBitrate(KbitsToBits(FVideoBitrate));
  if (FFrameAspectRatio == TAVAspectRatio::AR4_3) v.SetFrameAspectRatio(4.0f / 3.0f);
  v.SetPass(FPass);
  if (FFrameRate != TCustomFrameRate::rOriginal) {
    const TFrameRateInfo& rate = FrameRateArr[static_cast<size_t>(FFrameRate)];
    v.FrameRate().Setnum(rate.num);
    v.FrameRate().Setden(rate.den);
  }
  return result;
}

void TAVCustomVideoProfile::DoSaveProfile(TIniFile& Ini, int Index) const {
  TAVCustomAudioProfile::DoSaveProfile(Ini, Index);
  Ini.WriteBool(PROFILE_SECTION, ProfileKey("IsVideo", Index), true);
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("FrameWidth", Index), FFrameWidth);
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("FrameHeight", Index), FFrameHeight);
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("VideoEncoder", Index), static_cast<int>(FVideoEncoder));
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("FrameRate", Index), static_cast<int>(FFrameRate));
  Ini.WriteInteger(PROFILE_SECTION, ProfileKey("VideoBitrate", Index), FVideoBitrate);
}

void TAVCustomVideoProfile::DoLoadProfile(const TIniFile& Ini, int Index) {
  TAVCustomAudioProfile::DoLoadProfile(Ini, Index);
  // Sizes of 0 or less mean "keep"; beyond the limit they are no picture
  // size any encoder takes.
  FFrameWidth = static_cast<int>(
      ReadRange(Ini, ProfileKey("FrameWidth", Index), FFrameWidth, -INT_MAX_, MAX_PROFILE_FRAME_SIZE));
  FFrameHeight = static_cast<int>(
      ReadRange(Ini, ProfileKey("FrameHeight", Index), FFrameHeight, -INT_MAX_, MAX_PROFILE_FRAME_SIZE));
  FVideoEncoder = ReadOrdinal(Ini, ProfileKey("VideoEncoder", Index), FVideoEncoder, VideoEncoderArr.size());
  FFrameRate = ReadOrdinal(Ini, ProfileKey("FrameRate", Index), FFrameRate, FrameRateArr.size());
  FVideoBitrate = static_cast<int>(
      ReadRange(Ini, ProfileKey("VideoBitrate", Index), FVideoBitrate, 0, static_cast<int64_t>(MAX_KBITS)));
}

// Makes the classes known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TAVCustomAudioProfile, "profile");
KIVORA_REGISTER_CLASS(TAVCustomVideoProfile, "profile");

}  // namespace kivora
