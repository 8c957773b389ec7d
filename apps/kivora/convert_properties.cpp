// The property table behind `kivora convert --set NAME=VALUE`. Each row names
// a property the way the library spells it and says how its text is read:
//   number   integers may carry FFmpeg's k, M, G suffixes ("800k", "2M")
//   switch   1/0, true/false, yes/no, on/off
//   time     FFmpeg's duration syntax: seconds ("1.5"), [HH:]MM:SS[.m],
//            or with an "ms"/"us" suffix; kept in microseconds
//   rate     "30000/1001", "25", "29.97" or a name such as "ntsc"
//   ratio    "16:9", "16/9" or "1.777"
//   line     one more line of a list property
#include "convert_properties.h"

extern "C" {
#include <libavutil/eval.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "commands.h"
#include "kivora/runtime/clocale.h"

namespace kivora::app {

namespace {

// A value that does not fit; the caller adds the property's name.
struct BadValue {
  std::string why;
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// A number, with FFmpeg's SI and binary suffixes.
double Number(const std::string& text) {
  TCLocaleScope c;
  char* tail = nullptr;
  const double v = av_strtod(text.c_str(), &tail);
  if (text.empty() || !tail || *tail != '\0' || !std::isfinite(v)) throw BadValue{"a number"};
  return v;
}

int64_t Int64(const std::string& text) {
  const double v = Number(text);
  if (v != std::floor(v) || std::fabs(v) > 9.2e18) throw BadValue{"a whole number"};
  return static_cast<int64_t>(v);
}

int Int(const std::string& text) {
  const int64_t v = Int64(text);
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    throw BadValue{"a whole number that fits in 32 bits"};
  return static_cast<int>(v);
}

float Float(const std::string& text) { return static_cast<float>(Number(text)); }

bool Bool(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "1" || t == "true" || t == "yes" || t == "on") return true;
  if (t == "0" || t == "false" || t == "no" || t == "off") return false;
  throw BadValue{"1 or 0 (true/false, yes/no, on/off)"};
}

const std::string& Text(const std::string& text) { return text; }

// Microseconds from FFmpeg's duration syntax.
int64_t Time(const std::string& text) {
  TCLocaleScope c;
  int64_t us = 0;
  if (av_parse_time(&us, text.c_str(), 1) < 0) throw BadValue{"a time: seconds, [HH:]MM:SS[.m] or 500ms"};
  return us;
}

TRational Rate(const std::string& text) {
  TRational r;
  if (text == "0" || text == "0/0") return r;  // not set: keep the input's rate
  AVRational q{0, 0};
  TCLocaleScope c;
  if (av_parse_video_rate(&q, text.c_str()) < 0) throw BadValue{"a frame rate such as 25, 30000/1001 or ntsc"};
  r.Setnum(q.num);
  r.Setden(q.den);
  return r;
}

float Ratio(const std::string& text) {
  const size_t sep = text.find_first_of(":/");
  if (sep == std::string::npos) return Float(text);
  const double num = Number(text.substr(0, sep)), den = Number(text.substr(sep + 1));
  if (den == 0) throw BadValue{"a ratio such as 16:9"};
  return static_cast<float>(num / den);
}

// A codec tag: a number, or four characters such as "XVID".
int Tag(const std::string& text) {
  try {
    return Int(text);
  } catch (const BadValue&) {
    if (text.size() != 4) throw BadValue{"a number or four characters (a FourCC such as XVID)"};
    auto b = [&](int i) { return static_cast<unsigned>(static_cast<unsigned char>(text[i])); };
    return static_cast<int>(b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24));
  }
}

// A pixel format by name ("yuv420p") or number; "none" lets the encoder choose.
int PixFormat(const std::string& text) {
  if (Lower(text) == "none") return -1;
  const AVPixelFormat f = av_get_pix_fmt(text.c_str());
  if (f != AV_PIX_FMT_NONE) return f;
  int n = -1;
  try {
    n = Int(text);
  } catch (const BadValue&) {
    throw BadValue{"a pixel format such as yuv420p"};
  }
  if (n != -1 && !av_pix_fmt_desc_get(static_cast<AVPixelFormat>(n))) throw BadValue{"a pixel format such as yuv420p"};
  return n;
}

TAVAudioSampleFormat SampleFormat(const std::string& text) {
  static const char* const names[] = {"auto", "u8", "s16", "s32", "flt", "dbl"};
  for (int i = 0; i < 6; ++i)
    if (Lower(text) == names[i]) return static_cast<TAVAudioSampleFormat>(i);
  throw BadValue{"auto, u8, s16, s32, flt or dbl"};
}

int Pass(const std::string& text) {
  const int v = Int(text);
  if (v < 0 || v > 3) throw BadValue{"0 (one pass), 1, 2 or 3 (both)"};
  return v;
}

int SyncMethod(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "auto") return VSYNC_AUTO;
  if (t == "passthrough") return VSYNC_PASSTHROUGH;
  if (t == "cfr") return VSYNC_CFR;
  if (t == "vfr") return VSYNC_VFR_;
  if (t == "drop") return VSYNC_DROP;
  const int v = Int(text);
  if (v != VSYNC_AUTO && v != VSYNC_PASSTHROUGH && v != VSYNC_CFR && v != VSYNC_VFR_ && v != VSYNC_DROP)
    throw BadValue{"auto (-1), passthrough (0), cfr (1), vfr (2) or drop (255)"};
  return v;
}

int FieldOrder(const std::string& text) {
  const int v = Int(text);
  if (v < -1 || v > 1) throw BadValue{"-1 (automatic), 0 (bottom first) or 1 (top first)"};
  return v;
}

struct Property {
  const char* name;
  const char* kind;
  std::function<void(TAVConvertOptions&, const std::string&)> set;
};

// PROP(name, reader, statement): the statement sees the options as o and the
// value read by reader as v.
#define PROP(name, kind, reader, statement) \
  Property { name, kind, [](TAVConvertOptions& o, const std::string& text) { const auto& v = reader(text); statement; } }
#define LINE(name, list) PROP(name, "line", Text, o.list.Add(v))

const std::vector<Property>& Properties() {
  static const std::vector<Property> table = {
      PROP("OutputFormat", "text", Text, o.SetOutputFormat(v)),
      PROP("StartTime", "time", Time, o.SetStartTime(v)),
      PROP("RecordingTime", "time", Time, o.SetRecordingTime(v)),
      PROP("LimitFileSize", "number (bytes)", Int64, o.SetLimitFileSize(v)),
      PROP("ThreadCount", "number", Int, o.SetThreadCount(v)),
      PROP("ProgramID", "number", Int, o.SetProgramID(v)),
      PROP("RateEmu", "switch", Bool, o.SetRateEmu(v)),
      PROP("SwsFlags", "number", Int, o.SetSwsFlags(v)),
      PROP("MaxDataFrames", "number", Int, o.SetMaxDataFrames(v)),
      PROP("CopyInitialNonkeyframes", "switch", Bool, o.SetCopyInitialNonkeyframes(v)),
      PROP("InputTSOffset", "time", Time, o.SetInputTSOffset(v)),
      PROP("ForceSeek", "switch", Bool, o.SetForceSeek(v)),
      LINE("MetaData", MetaData()),
      LINE("InputFormats", InputFormats()),
      LINE("StreamMaps", StreamMaps()),

      PROP("VideoOptions.FrameWidth", "number", Int, o.VideoOptions().SetFrameWidth(v)),
      PROP("VideoOptions.FrameHeight", "number", Int, o.VideoOptions().SetFrameHeight(v)),
      PROP("VideoOptions.VideoCodecName", "text", Text, o.VideoOptions().SetVideoCodecName(v)),
      PROP("VideoOptions.VideoDisable", "switch", Bool, o.VideoOptions().SetVideoDisable(v)),
      PROP("VideoOptions.VideoStreamCopy", "switch", Bool, o.VideoOptions().SetVideoStreamCopy(v)),
      PROP("VideoOptions.VideoCodecTag", "number or FourCC", Tag, o.VideoOptions().SetVideoCodecTag(v)),
      PROP("VideoOptions.VideoLanguage", "text", Text, o.VideoOptions().SetVideoLanguage(v)),
      PROP("VideoOptions.IntraOnly", "switch", Bool, o.VideoOptions().SetIntraOnly(v)),
      PROP("VideoOptions.VideoQscale", "number", Float, o.VideoOptions().SetVideoQscale(v)),
      PROP("VideoOptions.VideoRcOverrideString", "text", Text, o.VideoOptions().SetVideoRcOverrideString(v)),
      PROP("VideoOptions.VideoSyncMethod", "auto, passthrough, cfr, vfr, drop", SyncMethod,
           o.VideoOptions().SetVideoSyncMethod(v)),
      PROP("VideoOptions.TopFieldFirst", "-1, 0 or 1", FieldOrder, o.VideoOptions().SetTopFieldFirst(v)),
      PROP("VideoOptions.ForceFPS", "switch", Bool, o.VideoOptions().SetForceFPS(v)),
      PROP("VideoOptions.FrameRate", "rate", Rate, o.VideoOptions().SetFrameRate(v)),
      PROP("VideoOptions.InputFrameRate", "rate", Rate, o.VideoOptions().SetInputFrameRate(v)),
      PROP("VideoOptions.FrameAspectRatio", "ratio", Ratio, o.VideoOptions().SetFrameAspectRatio(v)),
      PROP("VideoOptions.Deinterlace", "switch", Bool, o.VideoOptions().SetDeinterlace(v)),
      PROP("VideoOptions.Pass", "0, 1, 2 or 3", Pass, o.VideoOptions().SetPass(v)),
      PROP("VideoOptions.MaxFrames", "number", Int, o.VideoOptions().SetMaxFrames(v)),
      PROP("VideoOptions.Bitrate", "number (bits/s)", Int, o.VideoOptions().SetBitrate(v)),
      PROP("VideoOptions.FramePixFormat", "pixel format", PixFormat, o.VideoOptions().SetFramePixFormat(v)),
      LINE("VideoOptions.ForceKeyFrames", VideoOptions().ForceKeyFrames()),

      PROP("AudioOptions.AudioChannels", "number", Int, o.AudioOptions().SetAudioChannels(v)),
      PROP("AudioOptions.AudioSampleRate", "number", Int, o.AudioOptions().SetAudioSampleRate(v)),
      PROP("AudioOptions.AudioVolume", "number (256 = unchanged)", Int, o.AudioOptions().SetAudioVolume(v)),
      PROP("AudioOptions.AudioSyncMethod", "number", Int, o.AudioOptions().SetAudioSyncMethod(v)),
      PROP("AudioOptions.AudioDisable", "switch", Bool, o.AudioOptions().SetAudioDisable(v)),
      PROP("AudioOptions.AudioSampleFmt", "auto, u8, s16, s32, flt, dbl", SampleFormat,
           o.AudioOptions().SetAudioSampleFmt(v)),
      PROP("AudioOptions.AudioStreamCopy", "switch", Bool, o.AudioOptions().SetAudioStreamCopy(v)),
      PROP("AudioOptions.AudioCodecName", "text", Text, o.AudioOptions().SetAudioCodecName(v)),
      PROP("AudioOptions.AudioCodecTag", "number or FourCC", Tag, o.AudioOptions().SetAudioCodecTag(v)),
      PROP("AudioOptions.AudioLanguage", "text", Text, o.AudioOptions().SetAudioLanguage(v)),
      PROP("AudioOptions.AudioQScale", "number", Float, o.AudioOptions().SetAudioQScale(v)),
      PROP("AudioOptions.AudioDriftThreshold", "number", Float, o.AudioOptions().SetAudioDriftThreshold(v)),
      PROP("AudioOptions.Bitrate", "number (bits/s)", Int, o.AudioOptions().SetBitrate(v)),
      PROP("AudioOptions.MaxFrames", "number", Int64, o.AudioOptions().SetMaxFrames(v)),

      PROP("SubtitleOptions.SubtitleLanguage", "text", Text, o.SubtitleOptions().SetSubtitleLanguage(v)),
      PROP("SubtitleOptions.SubtitleCodecName", "text", Text, o.SubtitleOptions().SetSubtitleCodecName(v)),
      PROP("SubtitleOptions.SubtitleDisable", "switch", Bool, o.SubtitleOptions().SetSubtitleDisable(v)),
      PROP("SubtitleOptions.SubtitleCodecTag", "number or FourCC", Tag, o.SubtitleOptions().SetSubtitleCodecTag(v)),

      PROP("DataOptions.DataDisable", "switch", Bool, o.DataOptions().SetDataDisable(v)),
      PROP("MuxerOptions.MuxPreload", "number (seconds)", Float, o.MuxerOptions().SetMuxPreload(v)),

      PROP("FilterOptions.VideoFilters", "text (filter graph)", Text, o.FilterOptions().SetVideoFilters(v)),
      PROP("FilterOptions.AudioFilters", "text (filter graph)", Text, o.FilterOptions().SetAudioFilters(v)),
      LINE("FilterOptions.ComplexFilters", FilterOptions().ComplexFilters()),
      PROP("FilterOptions.VideoBitstreamFilters", "text", Text, o.FilterOptions().SetVideoBitstreamFilters(v)),
      PROP("FilterOptions.AudioBitstreamFilters", "text", Text, o.FilterOptions().SetAudioBitstreamFilters(v)),
  };
  return table;
}

#undef LINE
#undef PROP

}  // namespace

bool SetConvertProperty(TAVConvertOptions& options, const std::string& name, const std::string& text) {
  const std::vector<Property>& table = Properties();
  const auto it = std::find_if(table.begin(), table.end(), [&](const Property& p) { return name == p.name; });
  if (it == table.end()) {
    if (name.find('.') == std::string::npos) return false;  // a free FFmpeg option
    std::string message = "'" + name + "' is no option property";
    const auto close = std::find_if(table.begin(), table.end(),
                                    [&](const Property& p) { return Lower(name) == Lower(p.name); });
    if (close != table.end()) message += " (did you mean " + std::string(close->name) + "?)";
    throw UsageError(message + "; 'kivora convert --properties' lists them");
  }
  try {
    it->set(options, text);
  } catch (const BadValue& e) {
    throw UsageError("--set " + name + ": '" + text + "' is not " + e.why);
  } catch (const std::exception& e) {  // a setter's own check
    throw UsageError("--set " + name + "=" + text + ": " + e.what());
  }
  return true;
}

void PrintConvertProperties(std::ostream& out) {
  size_t width = 0;
  for (const Property& p : Properties()) width = std::max(width, std::string(p.name).size());
  for (const Property& p : Properties())
    out << p.name << std::string(width + 2 - std::string(p.name).size(), ' ') << p.kind << "\n";
  out << kPassLogFileProperty << std::string(width + 2 - std::string(kPassLogFileProperty).size(), ' ')
      << "text (prefix of the two-pass logs: PREFIX-N.log)\n";
}

}  // namespace kivora::app
