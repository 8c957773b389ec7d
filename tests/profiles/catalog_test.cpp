#include "kivora/profiles/catalog.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "kivora/converter/options.h"
#include "kivora/profiles/custom.h"
#include "kivora/profiles/targets.h"
#include "support/media_fixtures.h"

namespace kivora {
namespace {

TEST(ProfileCatalog, BuiltinNamesWithSystemsAndPresets) {
  const struct {
    const char* spec;
    const char* format;
    int height;
    int rateNum;
    const char* preset;  // the "preset" line, when one is expected
  } good[] = {
      {"dvd", "dvd", 576, 25, nullptr},       {"DVD:NTSC", "dvd", 480, 30000, nullptr},
      {"vcd:film", "vcd", 240, 24000, nullptr}, {"svcd:pal", "svcd", 576, 25, nullptr},
      {"dv:film", "dv", 480, 30000, nullptr}, {"dv50:ntsc", "dv", 480, 30000, nullptr},
      {"image", "", 0, 0, nullptr},           {"h264", "", 0, 0, "medium"},
      {"h264:veryslow", "", 0, 0, "veryslow"},
  };
  for (const auto& g : good) {
    TAVConvertOptions o;
    std::string error;
    ASSERT_TRUE(ApplyProfileByName(g.spec, o, error)) << g.spec << ": " << error;
    EXPECT_EQ(o.OutputFormat(), g.format) << g.spec;
    EXPECT_EQ(o.VideoOptions().FrameHeight(), g.height) << g.spec;
    EXPECT_EQ(o.VideoOptions().FrameRate().num(), g.rateNum) << g.spec;
    EXPECT_EQ(o.OutputOptions().Values("preset"), g.preset ? g.preset : "") << g.spec;
  }

  kivora::testing::TempDir dir;
  const struct {
    std::string spec;
    const char* error;
  } bad[] = {
      {"dvd:secam", "unknown television system 'secam' for dvd (pal, ntsc or film)"},
      {"h264:warp", "unknown preset 'warp' for h264"},
      {"image:png", "the image profile takes no ':png'"},
      {"mp4", "'mp4' is neither a built-in profile (vcd, svcd, dvd, dv, dv50, image, h264) nor FILE:N"},
      {dir.Path("none.ini") + ":0", "cannot read the profile file"},
      {dir.Path("none.ini") + ":x", "nor FILE:N"},
  };
  for (const auto& b : bad) {
    TAVConvertOptions o;
    std::string error;
    EXPECT_FALSE(ApplyProfileByName(b.spec, o, error)) << b.spec;
    EXPECT_NE(error.find(b.error), std::string::npos) << b.spec << " gave: " << error;
    EXPECT_TRUE(o.OutputOptions().Empty());
    EXPECT_EQ(o.OutputFormat(), "");
  }
}

TEST(ProfileCatalog, ProfilesFromAFileByNumber) {
  kivora::testing::TempDir dir;
  const std::string path = dir.Path("mine.ini");
  {
    TIniFile ini(path);
    TAVDvdProfile dvd;
    dvd.SaveToFile(ini, 0);
    TAVCustomAudioProfile audio;
    audio.SetAudioEncoder(TCustomAudioEncoder::VORBIS);
    audio.SetFormat(TCustomAVFormat::F_WEBM);
    audio.SaveToFile(ini, 4);
    TAVCustomVideoProfile video;
    video.SetVideoEncoder(TCustomVideoEncoder::MPEG4);
    video.SaveToFile(ini, 7);
    ini.WriteString(PROFILE_SECTION, "Description9", "Something else");
  }
  const TIniFile ini(path);
  EXPECT_EQ(ProfileNumbersInFile(ini), (std::vector<int>{0, 4, 7, 9}));

  const struct {
    std::string suffix;
    const char* format;
    const char* audio;
    const char* video;
    int height;
  } good[] = {
      {":0", "dvd", "ac3", "mpeg2video", 576},
      {":0:ntsc", "dvd", "ac3", "mpeg2video", 480},
      {":4", "webm", "libvorbis", "", 0},
      {":7", "", "aac", "mpeg4", 0},
  };
  for (const auto& g : good) {
    TAVConvertOptions o;
    std::string error;
    ASSERT_TRUE(ApplyProfileByName(path + g.suffix, o, error)) << g.suffix << ": " << error;
    EXPECT_EQ(o.OutputFormat(), g.format);
    EXPECT_EQ(o.AudioOptions().AudioCodecName(), g.audio);
    EXPECT_EQ(o.VideoOptions().VideoCodecName(), g.video);
    EXPECT_EQ(o.VideoOptions().FrameHeight(), g.height);
  }
  for (const char* suffix : {":1", ":9", ":4:ntsc"}) {
    TAVConvertOptions o;
    std::string error;
    EXPECT_FALSE(ApplyProfileByName(path + suffix, o, error)) << suffix;
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
}

TEST(ProfileCatalog, DescriptionNamesWhatTheProfileSets) {
  std::string error;
  auto dv = CreateBuiltinProfile("dv50:ntsc", error);
  ASSERT_TRUE(dv) << error;
  EXPECT_EQ(DescribeProfile(*dv).Lines(),
            (std::vector<std::string>{"OutputFormat=dv", "FrameWidth=720", "FrameHeight=480",
                                      "FramePixFormat=yuv422p", "FrameRate=30000/1001", "AudioSampleRate=48000",
                                      "AudioChannels=2"}));
  auto vcd = CreateBuiltinProfile("vcd", error);
  const TStringList lines = DescribeProfile(*vcd);
  EXPECT_EQ(lines.Values("MuxPreload"), "0.44");
  EXPECT_EQ(lines.Values("muxrate"), "1411200");
  EXPECT_EQ(DescribeProfile(*CreateBuiltinProfile("image", error)).Lines(),
            std::vector<std::string>{"ThreadCount=1"});
}

}  // namespace
}  // namespace kivora
