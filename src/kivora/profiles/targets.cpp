#include "kivora/profiles/targets.h"

#include "kivora/converter/options.h"
#include "kivora/platform/classes.h"

namespace kivora {

const std::array<const char*, 12> ProfileAdvancedOptionNames{
    "g", "maxrate", "minrate", "bufsize", "scan_offset", "packetsize", "muxrate", "preset", "mbd", "level",
    // A bit rate left as a free line would override the one a target sets.
    "b", "ab"};

namespace {

// FFmpeg pixel format numbers (AVPixelFormat) the targets force.
constexpr int PIX_FMT_YUV420P = 0;
constexpr int PIX_FMT_YUV422P = 4;
constexpr int PIX_FMT_YUV411P = 7;

// Removes every line named key (the name compared as SetAdvancedOption does).
void RemoveOption(TStringList& options, const std::string& key) {
  for (int i = options.Count() - 1; i >= 0; --i) {
    const std::string& line = options[i];
    const size_t eq = line.find('=');
    if (eq != std::string::npos && line.compare(0, eq, key) == 0) options.Delete(i);
  }
}

// What a target starts from: video on, no option lines of other profiles,
// the encoder free to choose its sample format.
void PrepareTarget(TAVConvertOptions& o) {
  for (const char* name : ProfileAdvancedOptionNames) RemoveOption(o.OutputOptions(), name);
  o.VideoOptions().SetVideoDisable(false);
  o.AudioOptions().SetAudioSampleFmt(sfAuto);
}

void SetFrameRate(TAVConvertOptions& o, int num, int den) {
  o.VideoOptions().FrameRate().Setnum(num);
  o.VideoOptions().FrameRate().Setden(den);
}

void SetTargetFrameRate(TAVConvertOptions& o, TAVTarget target) {
  const auto t = static_cast<size_t>(target);
  SetFrameRate(o, FrameNum[t], FrameDen[t]);
}

// One column of the disc targets' table.
struct DiscTarget {
  const char* videoCodec;
  const char* audioCodec;
  const char* format;
  int palWidth, palHeight, ntscWidth, ntscHeight;
  int videoBitrate;
  int audioBitrate;
  const char* maxrate;
  const char* minrate;
  const char* bufsize;
  const char* scanOffset;  // null: not set
  const char* packetsize;
  const char* muxrate;  // null: not set
  int sampleRate;
  int channels;      // 0: not set
  float muxPreload;  // negative: not set
};

constexpr DiscTarget VCD{"mpeg1video", "mp2", "vcd", 352, 288, 352, 240, 1150000, 224000, "1150000", "1150000",
                         "327680", nullptr, "2324", "1411200", 44100, 2, 0.44f};
constexpr DiscTarget SVCD{"mpeg2video", "mp2", "svcd", 480, 576, 480, 480, 2040000, 224000, "2516000", "0",
                          "1835008", "1", "2324", nullptr, 44100, 0, -1.0f};
constexpr DiscTarget DVD{"mpeg2video", "ac3", "dvd", 720, 576, 720, 480, 6000000, 448000, "9000000", "0",
                         "1835008", nullptr, "2048", "10080000", 48000, 0, -1.0f};

void ApplyDisc(const DiscTarget& d, TAVTarget target, TAVConvertOptions& o) {
  PrepareTarget(o);
  TVideoOptions& v = o.VideoOptions();
  TAudioOptions& a = o.AudioOptions();
  v.SetEncoderVideoCodecName(d.videoCodec);
  a.SetEncoderAudioCodecName(d.audioCodec);
  o.SetOutputFormat(d.format);
  // The players of these discs take 4:2:0 only; a 4:2:2 source would
  // otherwise give a 4:2:2 stream.
  v.SetFramePixFormat(PIX_FMT_YUV420P);
  if (target == TAVTarget::pal) {
    v.SetFrameWidth(d.palWidth);
    v.SetFrameHeight(d.palHeight);
    o.SetAdvancedOption("g", "15");
  } else {
    v.SetFrameWidth(d.ntscWidth);
    v.SetFrameHeight(d.ntscHeight);
    o.SetAdvancedOption("g", "18");
  }
  v.SetBitrate(d.videoBitrate);
  a.SetBitrate(d.audioBitrate);
  o.SetAdvancedOption("maxrate", d.maxrate);
  o.SetAdvancedOption("minrate", d.minrate);
  o.SetAdvancedOption("bufsize", d.bufsize);
  if (d.scanOffset) o.SetAdvancedOption("scan_offset", d.scanOffset);
  o.SetAdvancedOption("packetsize", d.packetsize);
  if (d.muxrate) o.SetAdvancedOption("muxrate", d.muxrate);
  a.SetAudioSampleRate(d.sampleRate);
  if (d.channels) a.SetAudioChannels(d.channels);
  if (d.muxPreload >= 0) o.MuxerOptions().SetMuxPreload(d.muxPreload);
  SetTargetFrameRate(o, target);
}

// DV and DV50: the DV container's default codecs (dvvideo, 16-bit PCM).
void ApplyDv(TAVTarget target, int pixFmtPal, int pixFmtNtsc, TAVConvertOptions& o) {
  PrepareTarget(o);
  TVideoOptions& v = o.VideoOptions();
  TAudioOptions& a = o.AudioOptions();
  v.SetEncoderVideoCodecName("");
  a.SetEncoderAudioCodecName("");
  // The DV codecs have fixed rates.
  v.SetBitrate(0);
  a.SetBitrate(0);
  o.SetOutputFormat("dv");
  if (target == TAVTarget::pal) {
    v.SetFrameWidth(720);
    v.SetFrameHeight(576);
    v.SetFramePixFormat(pixFmtPal);
  } else {
    v.SetFrameWidth(720);
    v.SetFrameHeight(480);
    v.SetFramePixFormat(pixFmtNtsc);
  }
  a.SetAudioSampleRate(48000);
  a.SetAudioChannels(2);
  // DV has no 23.976 fps profile: film is carried at the ntsc rate.
  SetTargetFrameRate(o, target == TAVTarget::film ? TAVTarget::ntsc : target);
}

}  // namespace

void TAVTargetProfile::SetTarget(TAVTarget Value) {
  if (Value >= TAVTarget::pal && Value <= TAVTarget::film) FTarget = Value;
}

TAVVcdProfile::TAVVcdProfile(TComponent* AOwner) : TAVTargetProfile(AOwner) {
  FDescription = "VCD";
  FExtension = ".mpg";
}

bool TAVVcdProfile::ApplyToOptions(TAVConvertOptions& Options) {
  ApplyDisc(VCD, FTarget, Options);
  return true;
}

TAVSVcdProfile::TAVSVcdProfile(TComponent* AOwner) : TAVTargetProfile(AOwner) {
  FDescription = "SVCD";
  FExtension = ".mpg";
}

bool TAVSVcdProfile::ApplyToOptions(TAVConvertOptions& Options) {
  ApplyDisc(SVCD, FTarget, Options);
  return true;
}

TAVDvdProfile::TAVDvdProfile(TComponent* AOwner) : TAVTargetProfile(AOwner) {
  FDescription = "DVD";
  FExtension = ".vob";
}

bool TAVDvdProfile::ApplyToOptions(TAVConvertOptions& Options) {
  ApplyDisc(DVD, FTarget, Options);
  return true;
}

TAVDvProfile::TAVDvProfile(TComponent* AOwner) : TAVTargetProfile(AOwner) {
  FDescription = "DV";
  FExtension = ".dv";
}

bool TAVDvProfile::ApplyToOptions(TAVConvertOptions& Options) {
  ApplyDv(FTarget, PIX_FMT_YUV420P, PIX_FMT_YUV411P, Options);
  return true;
}

TAVDv50Profile::TAVDv50Profile(TComponent* AOwner) : TAVTargetProfile(AOwner) {
  FDescription = "DV50";
  FExtension = ".dv";
}

bool TAVDv50Profile::ApplyToOptions(TAVConvertOptions& Options) {
  // The DV muxer takes DV50 only in 4:2:2, so the rest of DV must come too.
  ApplyDv(FTarget, PIX_FMT_YUV422P, PIX_FMT_YUV422P, Options);
  return true;
}

TAVImageProfile::TAVImageProfile(TComponent* AOwner) : TAVProfile(AOwner) {
  FDescription = "Image Sequence Profile";
}

bool TAVImageProfile::ApplyToOptions(TAVConvertOptions& Options) {
  Options.SetThreadCount(1);
  return true;
}

TAVX264Profile::TAVX264Profile(TComponent* AOwner) : TAVProfile(AOwner) {
  FDescription = "H264 Profile";
  FExtension = ".mp4";
}

void TAVX264Profile::Setpreset(TPreset Value) {
  if (Value >= TPreset::ultrafast && Value <= TPreset::placebo) Fpreset = Value;
}

bool TAVX264Profile::ApplyToOptions(TAVConvertOptions& Options) {
  // The preset is the H.264 encoder's: without naming it, a container whose
  // default is another codec (AVI: MPEG-4 Part 2) would drop the preset.
  Options.VideoOptions().SetEncoderVideoCodecName("libx264");
  Options.SetAdvancedOption("preset", PresetNames[static_cast<size_t>(Fpreset)]);
  return true;
}

// Makes the classes known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TAVVcdProfile, "profile");
KIVORA_REGISTER_CLASS(TAVSVcdProfile, "profile");
KIVORA_REGISTER_CLASS(TAVDvdProfile, "profile");
KIVORA_REGISTER_CLASS(TAVDvProfile, "profile");
KIVORA_REGISTER_CLASS(TAVDv50Profile, "profile");
KIVORA_REGISTER_CLASS(TAVImageProfile, "profile");
KIVORA_REGISTER_CLASS(TAVX264Profile, "profile");

}  // namespace kivora
