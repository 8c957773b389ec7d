#pragma once
// Profiles a user composes from menus: an audio encoder, container, sample
// rate, channels, bit rate and free FFmpeg options (TAVCustomAudioProfile),
// and on top of that a video encoder, frame size, frame rate, bit rate,
// aspect ratio and pass (TAVCustomVideoProfile). The menus' texts, FFmpeg
// names and numbers come from the tables below.
#include <array>

#include "kivora/profiles/profile.h"

namespace kivora {

enum class TCustomVideoEncoder { H263 = 0, H264, MPEG4, WMV2, MPEG2VIDEO, MSMPEGV3, RV20, XVID, FLV, VP8 };
enum class TCustomAudioEncoder { AAC = 0, WMAV2, AC3, MP2, MP3, PCM_S16LE, RA1, AMR_NB, VORBIS };
enum class TCustomAudioChannels { mono1 = 0, stereo2 };
enum class TCustomAVFormat {
  F_NONE = 0, F_RM, F_MP4, F_ASF, F_AVI, F_3GP, F_3GP2, F_FLV, F_MOV,
  F_PSP, F_IPOD, F_SVCD, F_VCD, F_VOB, F_DVD, F_WEBM, F_AC3, F_MKV
};
enum class TCustomFrameRate { rOriginal = 0, r1499, r20, r2397, r24, r25, r2997, r30 };
enum class TAVAspectRatio { AR_NONE = 0, AR4_3 };
enum class TAVFrameSize {
  fsOriginal = 0, fsNtsc, fsPal, fsQntsc, fsIPaq, fsPsp, fsSpal, fsIPhone, fsSqcif, fsQcif, fsCif, fs4cif,
  fs16cif, fsQqvga, fsQvga, fsVga, fsSvga, fsXga, fsUxga, fsQxga, fsSxga, fsQsxga, fsHsxga, fsWvga, fsWxga,
  fsWsxga, fsWuxga, fsWoxga, fsWqsxga, fsWquxga, fsWhsxga, fsWhuxga, fsCga, fsEga, fsHd480, fsHd720,
  fsHd1080, fsMceHd
};

struct TVideoEncoderInfo {
  const char* Name;     // what the menu shows
  const char* Encoder;  // FFmpeg encoder
  bool SingleThread;    // forces ThreadCount 1
};
struct TNamedCodec {
  const char* Name;
  const char* FFmpegName;  // null: nothing is set
};
// num/den frames per second.
struct TFrameRateInfo {
  const char* Text;
  int num, den;  // 0/0: the input's rate
};
// Width and Height in pixels; 0 x 0: the input's size.
struct TFrameSizeInfo {
  const char* Label;
  int Width, Height;
};

inline constexpr std::array<TVideoEncoderInfo, 10> VideoEncoderArr{{
    {"H263", "h263", true},
    {"H264", "libx264", false},
    {"MPEG4", "mpeg4", false},
    {"WMV2", "wmv2", true},
    {"MPEG2VIDEO", "mpeg2video", false},
    {"MSMPEGV3", "msmpeg4", false},
    {"RV20", "rv20", true},
    {"XVID", "libxvid", false},
    {"FLV", "flv", true},
    {"VP8", "libvpx", true},
}};

inline constexpr std::array<TNamedCodec, 9> AudioEncoderArr{{
    {"AAC", "aac"},
    {"WMAV2", "wmav2"},
    {"AC3", "ac3"},
    {"MP2", "mp2"},
    {"MP3", "libmp3lame"},
    {"PCM_S16LE", "pcm_s16le"},
    {"RA1", "real_144"},
    {"AMR_NB", "libopencore_amrnb"},
    {"VORBIS", "libvorbis"},
}};

inline constexpr std::array<TNamedCodec, 18> FormatArr{{
    {"NONE", nullptr}, {"RM", "rm"},     {"MP4", "mp4"},   {"ASF", "asf"},       {"AVI", "avi"},
    {"3GP", "3gp"},    {"3GP2", "3g2"},  {"FLV", "flv"},   {"MOV", "mov"},       {"PSP", "psp"},
    {"IPOD", "ipod"},  {"SVCD", "svcd"}, {"VCD", "vcd"},   {"VOB", "vob"},       {"DVD", "dvd"},
    {"WEBM", "webm"},  {"AC3", "ac3"},   {"MKV", "matroska"},
}};

inline constexpr std::array<TFrameRateInfo, 8> FrameRateArr{{
    {"Original", 0, 0},
    {"14.99", 15000, 1001},
    {"20", 20, 1},
    {"23.97", 24000, 1001},
    {"24", 24, 1},
    {"25", 25, 1},
    {"29.97", 30000, 1001},
    {"30", 30, 1},
}};

inline constexpr std::array<const char*, 2> AudioChannelsArr{"mono", "stereo"};

// The labels are the menu's texts as they have always been, odd ones included.
inline constexpr std::array<TFrameSizeInfo, 38> FrameSizeArr{{
    {"Original", 0, 0},
    {"ntsc(720x480)", 720, 480},
    {"pal(720x576)", 720, 576},
    {"352x240", 352, 240},
    {"240x240)", 240, 240},
    {"368x208", 368, 208},
    {"spal(768x576)", 768, 576},
    {"480x320", 480, 320},
    {"sqcif(128x96)", 128, 96},
    {"qcif(176x144)", 176, 144},
    {"cif(352x288)", 352, 288},
    {"4cif(704x576)", 704, 576},
    {"16cif(1408x1152)", 1408, 1152},
    {"qqvga(160x120)", 160, 120},
    {"qvga(320x240)", 320, 240},
    {"vga(640x480)", 640, 480},
    {"svga(800x600)", 800, 600},
    {"xga(1024x768)", 1024, 768},
    {"uxga(1600x1200)", 1600, 1200},
    {"qxga(2048x1536)", 2048, 1536},
    {"sxga(1280x1024)", 1280, 1024},
    {"qsxga(2560x2048)", 2560, 2048},
    {"hsxga(5120x4096)", 5120, 4096},
    {"wvga(852x480)", 852, 480},
    {"wxga(1366x678)", 1366, 768},
    {"wsxga(1600x1024)", 1600, 1024},
    {"wuxga(1920x1200)", 1920, 1200},
    {"woxga(2560x1600)", 2560, 1600},
    {"wqsxga(3200x2048)", 3200, 2048},
    {"wquxga(3840x2400)", 3840, 2400},
    {"whsxga(6400x4096)", 6400, 4096},
    {"whuxga(7680x4800)", 7680, 4800},
    {"cga(320x200)", 320, 200},
    {"ega(640x350)", 640, 350},
    {"hd480(852x480)", 852, 480},
    {"hd720(1280x720)", 1280, 720},
    {"hd1080(1920x1080)", 1920, 1080},
    {"1440x1080", 1440, 1080},
}};

// Limits of what a profile file may set; anything beyond counts as missing.
inline constexpr int MAX_PROFILE_FRAME_SIZE = 16384;

// An audio-only output. Applying it disables video and subtitles.
class TAVCustomAudioProfile : public TAVProfile {
public:
  explicit TAVCustomAudioProfile(TComponent* AOwner = nullptr);

  // Hz; 0 or less sets none.
  int SampleRate() const { return FSampleRate; }
  void SetSampleRate(int Value) { FSampleRate = Value; }
  // The enumeration setters ignore values outside their enumeration.
  TCustomAudioEncoder AudioEncoder() const { return FAudioEncoder; }
  void SetAudioEncoder(TCustomAudioEncoder Value);
  TCustomAudioChannels AudioChannels() const { return FAudioChannels; }
  void SetAudioChannels(TCustomAudioChannels Value);
  // kbit/s; 0 or less leaves the encoder's default, and the bits per second
  // never pass the largest int.
  double AudioBitrate() const { return FAudioBitrate; }
  void SetAudioBitrate(double Value) { FAudioBitrate = Value; }
  TCustomAVFormat Format() const { return FFormat; }
  void SetFormat(TCustomAVFormat Value);
  // Free encoder and muxer options, name=value lines.
  TStringList& Options() { return FOptions; }
  const TStringList& Options() const { return FOptions; }
  void SetOptions(const TStringList& Value) { FOptions.Assign(Value); }

  std::string GetAudioEncoderName() const;

  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVCustomAudioProfile"; }

protected:
  void DoSaveProfile(TIniFile& Ini, int Index) const override;
  void DoLoadProfile(const TIniFile& Ini, int Index) override;

private:
  int FSampleRate = 0;
  TCustomAudioEncoder FAudioEncoder = TCustomAudioEncoder::AAC;
  TCustomAudioChannels FAudioChannels = TCustomAudioChannels::mono1;
  double FAudioBitrate = 0;
  TCustomAVFormat FFormat = TCustomAVFormat::F_NONE;
  TStringList FOptions;
};

class TAVCustomVideoProfile : public TAVCustomAudioProfile {
public:
  explicit TAVCustomVideoProfile(TComponent* AOwner = nullptr);

  // Pixels; 0 or less keeps the input's size. A profile file may give up to
  // MAX_PROFILE_FRAME_SIZE.
  int FrameWidth() const { return FFrameWidth; }
  void SetFrameWidth(int Value) { FFrameWidth = Value; }
  int FrameHeight() const { return FFrameHeight; }
  void SetFrameHeight(int Value) { FFrameHeight = Value; }
  TCustomVideoEncoder VideoEncoder() const { return FVideoEncoder; }
  void SetVideoEncoder(TCustomVideoEncoder Value);
  TCustomFrameRate FrameRate() const { return FFrameRate; }
  void SetFrameRate(TCustomFrameRate Value);
  // kbit/s; 0 or less leaves the encoder's default.
  int VideoBitrate() const { return FVideoBitrate; }
  void SetVideoBitrate(int Value) { FVideoBitrate = Value; }
  // The converter's encoding pass (0 to 3); the converter checks it.
  int Pass() const { return FPass; }
  void SetPass(int Value) { FPass = Value; }
  TAVAspectRatio FrameAspectRatio() const { return FFrameAspectRatio; }
  void SetFrameAspectRatio(TAVAspectRatio Value);
  // The first named size matching FrameWidth x FrameHeight; fsOriginal if none.
  TAVFrameSize FrameSize() const { return GetFrameSize(); }
  TAVFrameSize GetFrameSize() const;

  std::string GetVideoEncoderName() const;
  // Frames per second of FrameRate; 0 for rOriginal.
  double GetVideoFrameRate() const;

  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVCustomVideoProfile"; }

protected:
  void DoSaveProfile(TIniFile& Ini, int Index) const override;
  void DoLoadProfile(const TIniFile& Ini, int Index) override;

private:
  int FFrameWidth = 0;
  int FFrameHeight = 0;
  TCustomVideoEncoder FVideoEncoder = TCustomVideoEncoder::H263;
  TCustomFrameRate FFrameRate = TCustomFrameRate::rOriginal;
  int FVideoBitrate = 0;
  int FPass = 0;
  TAVAspectRatio FFrameAspectRatio = TAVAspectRatio::AR_NONE;
};

}  // namespace kivora
