#include "kivora/profiles/catalog.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <set>

#include "kivora/converter/converter.h"
#include "kivora/platform/exception.h"
#include "kivora/profiles/custom.h"
#include "kivora/profiles/targets.h"

namespace kivora {

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct Builtin {
  TBuiltinProfileInfo info;
  const char* description;  // what the profile's constructor sets, to find it in a file
  std::function<std::unique_ptr<TAVProfile>()> make;
};

const std::vector<Builtin>& Builtins() {
  static const std::vector<Builtin> list{
      {{"vcd", "pal|ntsc|film"}, "VCD", [] { return std::make_unique<TAVVcdProfile>(); }},
      {{"svcd", "pal|ntsc|film"}, "SVCD", [] { return std::make_unique<TAVSVcdProfile>(); }},
      {{"dvd", "pal|ntsc|film"}, "DVD", [] { return std::make_unique<TAVDvdProfile>(); }},
      {{"dv", "pal|ntsc|film"}, "DV", [] { return std::make_unique<TAVDvProfile>(); }},
      {{"dv50", "pal|ntsc|film"}, "DV50", [] { return std::make_unique<TAVDv50Profile>(); }},
      {{"image", ""}, "Image Sequence Profile", [] { return std::make_unique<TAVImageProfile>(); }},
      {{"h264", "ultrafast|...|placebo"}, "H264 Profile", [] { return std::make_unique<TAVX264Profile>(); }},
  };
  return list;
}

const Builtin* FindBuiltin(const std::string& name) {
  for (const Builtin& b : Builtins())
    if (Lower(name) == b.info.Name) return &b;
  return nullptr;
}

bool ParseTarget(const std::string& text, TAVTarget& target) {
  static const char* names[] = {"pal", "ntsc", "film"};
  for (size_t i = 0; i < std::size(names); ++i)
    if (Lower(text) == names[i]) {
      target = static_cast<TAVTarget>(i);
      return true;
    }
  return false;
}

// Applies a suffix ("ntsc", "slow") to a built-in profile.
bool ApplySuffix(TAVProfile& profile, const std::string& name, const std::string& suffix, std::string& error) {
  if (auto* target = dynamic_cast<TAVTargetProfile*>(&profile)) {
    TAVTarget t;
    if (!ParseTarget(suffix, t)) {
      error = "unknown television system '" + suffix + "' for " + name + " (pal, ntsc or film)";
      return false;
    }
    target->SetTarget(t);
    return true;
  }
  if (auto* x264 = dynamic_cast<TAVX264Profile*>(&profile)) {
    for (size_t i = 0; i < PresetNames.size(); ++i)
      if (Lower(suffix) == PresetNames[i]) {
        x264->Setpreset(static_cast<TPreset>(i));
        return true;
      }
    error = "unknown preset '" + suffix + "' for " + name + " (ultrafast, superfast, veryfast, faster, fast, " +
            "medium, slow, slower, veryslow or placebo)";
    return false;
  }
  error = "the " + name + " profile takes no ':" + suffix + "'";
  return false;
}

bool ParseNumber(const std::string& text, int& n) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  return ec == std::errc() && p == text.data() + text.size() && !text.empty() && n >= 0;
}

std::string KnownNames() {
  std::string s;
  for (const Builtin& b : Builtins()) s += (s.empty() ? "" : ", ") + std::string(b.info.Name);
  return s;
}

std::string FloatText(float v) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, p) : std::string("?");
}

}  // namespace

const std::vector<TBuiltinProfileInfo>& BuiltinProfiles() {
  static const std::vector<TBuiltinProfileInfo> infos = [] {
    std::vector<TBuiltinProfileInfo> v;
    for (const Builtin& b : Builtins()) v.push_back(b.info);
    return v;
  }();
  return infos;
}

std::unique_ptr<TAVProfile> CreateBuiltinProfile(const std::string& spec, std::string& error) {
  const size_t colon = spec.find(':');
  const std::string name = spec.substr(0, colon);
  const Builtin* b = FindBuiltin(name);
  if (!b) {
    error = "unknown profile '" + name + "' (built-in: " + KnownNames() + ")";
    return nullptr;
  }
  std::unique_ptr<TAVProfile> profile = b->make();
  if (colon != std::string::npos && !ApplySuffix(*profile, b->info.Name, spec.substr(colon + 1), error))
    return nullptr;
  return profile;
}

std::vector<int> ProfileNumbersInFile(const TIniFile& Ini) {
  TStringList keys;
  Ini.ReadSection(PROFILE_SECTION, keys);
  std::set<int> numbers;
  for (const std::string& key : keys) {
    size_t digits = key.size();
    while (digits > 0 && key[digits - 1] >= '0' && key[digits - 1] <= '9') --digits;
    // "Width07" is no key of number 7: ProfileKey never writes a leading zero.
    const bool leadingZero = key.size() - digits > 1 && key[digits] == '0';
    int n = 0;
    if (digits > 0 && !leadingZero && ParseNumber(key.substr(digits), n)) numbers.insert(n);
  }
  return {numbers.begin(), numbers.end()};
}

std::unique_ptr<TAVProfile> CreateProfileFromFile(const TIniFile& Ini, int Index, std::string& error) {
  return CreateProfileFromFile(Ini, Index, ProfileNumbersInFile(Ini), error);
}

std::unique_ptr<TAVProfile> CreateProfileFromFile(const TIniFile& Ini, int Index, const std::vector<int>& Numbers,
                                                  std::string& error) {
  if (!std::binary_search(Numbers.begin(), Numbers.end(), Index)) {
    error = "no profile " + std::to_string(Index) + " in the profile file";
    return nullptr;
  }
  std::unique_ptr<TAVProfile> profile;
  const std::string isVideo = Ini.ReadString(PROFILE_SECTION, ProfileKey("IsVideo", Index), "");
  if (isVideo == "1" || Lower(isVideo) == "true") {
    profile = std::make_unique<TAVCustomVideoProfile>();
  } else if (isVideo == "0" || Lower(isVideo) == "false") {
    profile = std::make_unique<TAVCustomAudioProfile>();
  } else {
    const std::string description = Ini.ReadString(PROFILE_SECTION, ProfileKey("Description", Index), "");
    for (const Builtin& b : Builtins())
      if (description == b.description) profile = b.make();
  }
  if (!profile) {
    error = "profile " + std::to_string(Index) + " of the profile file is neither a custom profile nor a built-in one";
    return nullptr;
  }
  profile->LoadFromFile(Ini, Index);
  return profile;
}

bool ApplyProfileByName(const std::string& spec, TAVConverter& Converter, std::string& error) {
  return ApplyProfileByName(spec, Converter.ConvertOptions(), error);
}

bool ApplyProfileByName(const std::string& spec, TAVConvertOptions& Options, std::string& error) {
  error.clear();
  if (FindBuiltin(spec.substr(0, spec.find(':')))) {
    std::unique_ptr<TAVProfile> profile = CreateBuiltinProfile(spec, error);
    return profile && profile->ApplyToOptions(Options);
  }

  // FILE:N, or FILE:N:SYSTEM for a target stored in a file (the file keeps
  // no television system).
  std::string file = spec;
  std::string system;
  int number = -1;
  size_t colon = file.rfind(':');
  TAVTarget target = TAVTarget::pal;
  if (colon != std::string::npos && ParseTarget(file.substr(colon + 1), target)) {
    system = file.substr(colon + 1);
    file.erase(colon);
    colon = file.rfind(':');
  }
  if (colon == std::string::npos || !ParseNumber(file.substr(colon + 1), number)) {
    error = "'" + spec + "' is neither a built-in profile (" + KnownNames() + ") nor FILE:N of a profile file";
    return false;
  }
  file.erase(colon);
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    error = "cannot read the profile file '" + file + "': " + std::strerror(errno);
    return false;
  }
  try {
    const TIniFile ini(file);
    std::unique_ptr<TAVProfile> profile = CreateProfileFromFile(ini, number, error);
    if (!profile) {
      error = file + ": " + error;
      return false;
    }
    if (!system.empty()) {
      auto* t = dynamic_cast<TAVTargetProfile*>(profile.get());
      if (!t) {
        error = file + ": profile " + std::to_string(number) + " has no television system to choose";
        return false;
      }
      t->SetTarget(target);
    }
    return profile->ApplyToOptions(Options);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

TStringList DescribeProfile(TAVProfile& Profile) {
  TAVConvertOptions fresh;
  TAVConvertOptions o;
  // Thread count 0 (automatic) on both sides, so a profile that asks for 1 shows.
  fresh.SetThreadCount(0);
  o.SetThreadCount(0);
  Profile.ApplyToOptions(o);
  TStringList out;
  auto add = [&out](const char* name, const std::string& value) { out.Add(std::string(name) + "=" + value); };
  const TVideoOptions& fv = fresh.VideoOptions();
  const TVideoOptions& v = o.VideoOptions();
  const TAudioOptions& fa = fresh.AudioOptions();
  const TAudioOptions& a = o.AudioOptions();
  if (o.OutputFormat() != fresh.OutputFormat()) add("OutputFormat", o.OutputFormat());
  if (v.VideoDisable() != fv.VideoDisable()) add("VideoDisable", v.VideoDisable() ? "true" : "false");
  if (o.SubtitleOptions().SubtitleDisable() != fresh.SubtitleOptions().SubtitleDisable())
    add("SubtitleDisable", o.SubtitleOptions().SubtitleDisable() ? "true" : "false");
  if (v.VideoCodecName() != fv.VideoCodecName()) add("VideoCodecName", v.VideoCodecName());
  if (v.FrameWidth() != fv.FrameWidth()) add("FrameWidth", std::to_string(v.FrameWidth()));
  if (v.FrameHeight() != fv.FrameHeight()) add("FrameHeight", std::to_string(v.FrameHeight()));
  if (v.FramePixFormat() != fv.FramePixFormat()) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(v.FramePixFormat()));
    add("FramePixFormat", name ? name : std::to_string(v.FramePixFormat()));
  }
  if (v.FrameRate().num() != fv.FrameRate().num() || v.FrameRate().den() != fv.FrameRate().den())
    add("FrameRate", std::to_string(v.FrameRate().num()) + "/" + std::to_string(v.FrameRate().den()));
  if (v.Bitrate() != fv.Bitrate()) add("VideoBitrate", std::to_string(v.Bitrate()));
  if (v.FrameAspectRatio() != fv.FrameAspectRatio()) add("FrameAspectRatio", FloatText(v.FrameAspectRatio()));
  if (v.Pass() != fv.Pass()) add("Pass", std::to_string(v.Pass()));
  if (a.AudioCodecName() != fa.AudioCodecName()) add("AudioCodecName", a.AudioCodecName());
  if (a.Bitrate() != fa.Bitrate()) add("AudioBitrate", std::to_string(a.Bitrate()));
  if (a.AudioSampleRate() != fa.AudioSampleRate()) add("AudioSampleRate", std::to_string(a.AudioSampleRate()));
  if (a.AudioChannels() != fa.AudioChannels()) add("AudioChannels", std::to_string(a.AudioChannels()));
  if (o.MuxerOptions().MuxPreload() != fresh.MuxerOptions().MuxPreload())
    add("MuxPreload", FloatText(o.MuxerOptions().MuxPreload()));
  if (o.ThreadCount() != fresh.ThreadCount()) add("ThreadCount", std::to_string(o.ThreadCount()));
  for (const std::string& line : o.OutputOptions()) out.Add(line);
  return out;
}

}  // namespace kivora
