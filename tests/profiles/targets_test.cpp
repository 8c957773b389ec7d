#include "kivora/profiles/targets.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kivora/converter/options.h"
#include "kivora/profiles/custom.h"

namespace kivora {
namespace {

using Lines = std::vector<std::string>;

struct TargetCase {
  const char* name;
  std::function<std::unique_ptr<TAVTargetProfile>()> make;
  TAVTarget target;
  const char* format;
  const char* videoCodec;
  const char* audioCodec;
  int width, height, pixFmt, rateNum, rateDen, videoBitrate, audioBitrate, sampleRate, channels;
  float muxPreload;
  Lines outputOptions;
};

template <typename T>
std::function<std::unique_ptr<TAVTargetProfile>()> Make() {
  return [] { return std::make_unique<T>(); };
}

const Lines kVcdLines = {"maxrate=1150000", "minrate=1150000", "bufsize=327680", "packetsize=2324", "muxrate=1411200"};
const Lines kSvcdLines = {"maxrate=2516000", "minrate=0", "bufsize=1835008", "scan_offset=1", "packetsize=2324"};
const Lines kDvdLines = {"maxrate=9000000", "minrate=0", "bufsize=1835008", "packetsize=2048", "muxrate=10080000"};

Lines With(const char* g, const Lines& rest) {
  Lines l{g};
  l.insert(l.end(), rest.begin(), rest.end());
  return l;
}

// Channels 0 and preload 0.5 are a fresh converter's values: the profile leaves them.
const std::vector<TargetCase>& Cases() {
  static const std::vector<TargetCase> cases = {
      {"vcd pal", Make<TAVVcdProfile>(), TAVTarget::pal, "vcd", "mpeg1video", "mp2", 352, 288, 0, 25, 1, 1150000, 224000, 44100, 2, 0.44f, With("g=15", kVcdLines)},
      {"vcd ntsc", Make<TAVVcdProfile>(), TAVTarget::ntsc, "vcd", "mpeg1video", "mp2", 352, 240, 0, 30000, 1001, 1150000, 224000, 44100, 2, 0.44f, With("g=18", kVcdLines)},
      {"vcd film", Make<TAVVcdProfile>(), TAVTarget::film, "vcd", "mpeg1video", "mp2", 352, 240, 0, 24000, 1001, 1150000, 224000, 44100, 2, 0.44f, With("g=18", kVcdLines)},
      {"svcd pal", Make<TAVSVcdProfile>(), TAVTarget::pal, "svcd", "mpeg2video", "mp2", 480, 576, 0, 25, 1, 2040000, 224000, 44100, 0, 0.5f, With("g=15", kSvcdLines)},
      {"svcd ntsc", Make<TAVSVcdProfile>(), TAVTarget::ntsc, "svcd", "mpeg2video", "mp2", 480, 480, 0, 30000, 1001, 2040000, 224000, 44100, 0, 0.5f, With("g=18", kSvcdLines)},
      {"svcd film", Make<TAVSVcdProfile>(), TAVTarget::film, "svcd", "mpeg2video", "mp2", 480, 480, 0, 24000, 1001, 2040000, 224000, 44100, 0, 0.5f, With("g=18", kSvcdLines)},
      {"dvd pal", Make<TAVDvdProfile>(), TAVTarget::pal, "dvd", "mpeg2video", "ac3", 720, 576, 0, 25, 1, 6000000, 448000, 48000, 0, 0.5f, With("g=15", kDvdLines)},
      {"dvd ntsc", Make<TAVDvdProfile>(), TAVTarget::ntsc, "dvd", "mpeg2video", "ac3", 720, 480, 0, 30000, 1001, 6000000, 448000, 48000, 0, 0.5f, With("g=18", kDvdLines)},
      {"dvd film", Make<TAVDvdProfile>(), TAVTarget::film, "dvd", "mpeg2video", "ac3", 720, 480, 0, 24000, 1001, 6000000, 448000, 48000, 0, 0.5f, With("g=18", kDvdLines)},
      {"dv pal", Make<TAVDvProfile>(), TAVTarget::pal, "dv", "", "", 720, 576, 0, 25, 1, 0, 0, 48000, 2, 0.5f, {}},
      {"dv ntsc", Make<TAVDvProfile>(), TAVTarget::ntsc, "dv", "", "", 720, 480, 7, 30000, 1001, 0, 0, 48000, 2, 0.5f, {}},
      {"dv film", Make<TAVDvProfile>(), TAVTarget::film, "dv", "", "", 720, 480, 7, 30000, 1001, 0, 0, 48000, 2, 0.5f, {}},
      {"dv50 pal", Make<TAVDv50Profile>(), TAVTarget::pal, "dv", "", "", 720, 576, 4, 25, 1, 0, 0, 48000, 2, 0.5f, {}},
      {"dv50 ntsc", Make<TAVDv50Profile>(), TAVTarget::ntsc, "dv", "", "", 720, 480, 4, 30000, 1001, 0, 0, 48000, 2, 0.5f, {}},
      {"dv50 film", Make<TAVDv50Profile>(), TAVTarget::film, "dv", "", "", 720, 480, 4, 30000, 1001, 0, 0, 48000, 2, 0.5f, {}},
  };
  return cases;
}

void ExpectTarget(const TargetCase& c, const TAVConvertOptions& o) {
  SCOPED_TRACE(c.name);
  const TVideoOptions& v = o.VideoOptions();
  const TAudioOptions& a = o.AudioOptions();
  EXPECT_EQ(o.OutputFormat(), c.format);
  EXPECT_EQ(v.VideoCodecName(), c.videoCodec);
  EXPECT_EQ(a.AudioCodecName(), c.audioCodec);
  EXPECT_EQ(v.FrameWidth(), c.width);
  EXPECT_EQ(v.FrameHeight(), c.height);
  EXPECT_EQ(v.FramePixFormat(), c.pixFmt);
  EXPECT_EQ(v.FrameRate().num(), c.rateNum);
  EXPECT_EQ(v.FrameRate().den(), c.rateDen);
  EXPECT_EQ(v.Bitrate(), c.videoBitrate);
  EXPECT_EQ(a.Bitrate(), c.audioBitrate);
  EXPECT_EQ(a.AudioSampleRate(), c.sampleRate);
  EXPECT_FALSE(v.VideoDisable());
  EXPECT_EQ(a.AudioSampleFmt(), sfAuto);
  EXPECT_EQ(o.OutputOptions().Lines(), c.outputOptions);
}

TEST(TargetProfiles, EveryTargetAndSystemWritesItsValuesInOrder) {
  for (const TargetCase& c : Cases()) {
    auto p = c.make();
    p->SetTarget(c.target);
    TAVConvertOptions o;
    EXPECT_TRUE(p->ApplyToOptions(o));
    ExpectTarget(c, o);
    EXPECT_EQ(o.AudioOptions().AudioChannels(), c.channels) << c.name;
    EXPECT_FLOAT_EQ(o.MuxerOptions().MuxPreload(), c.muxPreload) << c.name;
    // Applying again changes nothing: no second "g" line, no duplicates.
    p->ApplyToOptions(o);
    ExpectTarget(c, o);
  }
}

// Whatever came before, a target ends up with its own settings: no disabled
// video, no other target's muxer options, codec names or pixel format, and no
// H.264 options that an MPEG-2 encoder would misread.
TEST(TargetProfiles, ClearWhatEarlierProfilesLeft) {
  std::vector<std::function<void(TAVConvertOptions&)>> earlier = {
      [](TAVConvertOptions& o) {
        TAVCustomAudioProfile audio;
        audio.SetAudioEncoder(TCustomAudioEncoder::MP3);
        audio.SetFormat(TCustomAVFormat::F_MKV);
        audio.ApplyToOptions(o);
      },
      [](TAVConvertOptions& o) {
        TAVCustomVideoProfile video;
        video.SetVideoEncoder(TCustomVideoEncoder::H264);
        video.ApplyToOptions(o);
      },
      [](TAVConvertOptions& o) { o.AudioOptions().SetAudioSampleFmt(sfS16); },
  };
  for (const TargetCase& c : Cases())
    for (const TargetCase& before : Cases()) {
      auto first = before.make();
      first->SetTarget(before.target);
      earlier.push_back([&first](TAVConvertOptions& o) { first->ApplyToOptions(o); });
      for (const auto& e : earlier) {
        TAVConvertOptions o;
        e(o);
        auto p = c.make();
        p->SetTarget(c.target);
        p->ApplyToOptions(o);
        ExpectTarget(c, o);
      }
      earlier.pop_back();
    }
}

TEST(TargetProfiles, ImageAndH264Presets) {
  TAVConvertOptions o;
  o.SetThreadCount(4);
  TAVImageProfile image;
  EXPECT_TRUE(image.ApplyToOptions(o));
  EXPECT_EQ(o.ThreadCount(), 1);
  EXPECT_TRUE(o.OutputOptions().Empty());

  TAVX264Profile x264;
  EXPECT_EQ(x264.preset(), TPreset::medium);
  x264.ApplyToOptions(o);
  EXPECT_EQ(o.OutputOptions().Lines(), Lines{"preset=medium"});
  for (size_t i = 0; i < PresetNames.size(); ++i) {
    x264.Setpreset(static_cast<TPreset>(i));
    x264.ApplyToOptions(o);
    EXPECT_EQ(o.OutputOptions().Lines(), Lines{std::string("preset=") + PresetNames[i]});
  }
  x264.Setpreset(static_cast<TPreset>(42));  // out of range: ignored, never indexes past the table
  EXPECT_EQ(x264.preset(), TPreset::placebo);
  TAVDvdProfile dvd;
  dvd.SetTarget(static_cast<TAVTarget>(3));
  EXPECT_EQ(dvd.Target(), TAVTarget::pal);
}

}  // namespace
}  // namespace kivora
