#pragma once
// Ready-made profiles: the disc and tape targets (VCD, SVCD, DVD, DV, DV50)
// that follow a television system, an image-sequence profile and an H.264
// encoder-preset profile. They store only the base keys in a profile file.
//
// A target sets everything its format depends on and takes away what an
// earlier profile may have left that the format cannot carry (a disabled
// video stream, another target's muxer and rate-control options, codec
// names, a pixel format), so profiles can be applied one after another.
#include <array>

#include "kivora/profiles/profile.h"

namespace kivora {

enum class TAVTarget { pal = 0, ntsc, film };

// Frame rate of each television system, indexed by TAVTarget, in frames per
// second as FrameNum / FrameDen.
inline constexpr std::array<int, 3> FrameNum{25, 30000, 24000};
inline constexpr std::array<int, 3> FrameDen{1, 1001, 1001};

// The advanced options (OutputOptions lines) that the built-in profiles
// write; a target removes the ones it does not set itself.
extern const std::array<const char*, 12> ProfileAdvancedOptionNames;

class TAVTargetProfile : public TAVProfile {
public:
  using TAVProfile::TAVProfile;
  TAVTarget Target() const { return FTarget; }
  // Values outside the enumeration are ignored.
  void SetTarget(TAVTarget Value);
  const char* ClassName() const override { return "TAVTargetProfile"; }

protected:
  TAVTarget FTarget = TAVTarget::pal;
};

// MPEG-1 video CD.
class TAVVcdProfile : public TAVTargetProfile {
public:
  explicit TAVVcdProfile(TComponent* AOwner = nullptr);
  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVVcdProfile"; }
};

// MPEG-2 super video CD.
class TAVSVcdProfile : public TAVTargetProfile {
public:
  explicit TAVSVcdProfile(TComponent* AOwner = nullptr);
  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVSVcdProfile"; }
};

// MPEG-2 DVD video with AC-3 sound.
class TAVDvdProfile : public TAVTargetProfile {
public:
  explicit TAVDvdProfile(TComponent* AOwner = nullptr);
  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVDvdProfile"; }
};

// DV tape: the DV container's own codecs, 4:2:0 (pal) or 4:1:1 (ntsc, film).
// Film runs at the ntsc rate: DV has no 23.976 fps profile.
class TAVDvProfile : public TAVTargetProfile {
public:
  explicit TAVDvProfile(TComponent* AOwner = nullptr);
  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVDvProfile"; }
};

// DV50: what DV sets, in 4:2:2 for every system.
class TAVDv50Profile : public TAVTargetProfile {
public:
  explicit TAVDv50Profile(TComponent* AOwner = nullptr);
  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVDv50Profile"; }
};

enum class TAVImageType { bitmap = 0, jpeg, png, gif, tiff };

// Image sequences: single-threaded encoding, one picture per file.
class TAVImageProfile : public TAVProfile {
public:
  explicit TAVImageProfile(TComponent* AOwner = nullptr);
  TAVImageType ImageType() const { return FImageType; }
  void SetImageType(TAVImageType Value) {
    if (Value != FImageType) FImageType = Value;
  }
  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVImageProfile"; }

private:
  TAVImageType FImageType = TAVImageType::bitmap;
};

enum class TPreset { ultrafast = 0, superfast, veryfast, faster, fast, medium, slow, slower, veryslow, placebo };

// The encoder's names of the presets, in enumeration order.
inline constexpr std::array<const char*, 10> PresetNames{
    "ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow", "placebo"};

// Selects the H.264 encoder (libx264) with one of its speed presets (the
// advanced option "preset").
class TAVX264Profile : public TAVProfile {
public:
  explicit TAVX264Profile(TComponent* AOwner = nullptr);
  TPreset preset() const { return Fpreset; }
  // Values outside the enumeration are ignored.
  void Setpreset(TPreset Value);
  bool ApplyToOptions(TAVConvertOptions& Options) override;
  const char* ClassName() const override { return "TAVX264Profile"; }

private:
  TPreset Fpreset = TPreset::medium;
};

}  // namespace kivora
