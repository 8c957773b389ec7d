// `kivora profiles`: the built-in list, a file written with --save and read
// back with --load, and the errors of bad requests.
#include <gtest/gtest.h>

#include <fstream>

#include "run_kivora.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

TEST(ProfilesCommand, ListsSavesAndLoadsProfiles) {
  const RunResult list = RunKivora({"profiles"});
  ASSERT_EQ(list.exit_code, 0) << list.err;
  for (const char* expected : {"\ndvd[:pal|ntsc|film]  DVD, .vob\n", "  AudioCodecName=ac3\n", "  muxrate=10080000\n",
                               "\ndv50[:pal|ntsc|film]  DV50, .dv\n", "  FramePixFormat=yuv422p\n",
                               "\nh264[:ultrafast|...|placebo]  H264 Profile, .mp4\n  preset=medium\n",
                               "\nimage  Image Sequence Profile\n  ThreadCount=1\n"})
    EXPECT_TRUE(Contains(list.out, expected)) << expected << "\n" << list.out;

  TempDir dir;
  const std::string file = dir.Path("built-in.ini");
  const RunResult save = RunKivora({"profiles", "--save", file});
  ASSERT_EQ(save.exit_code, 0) << save.err;
  EXPECT_TRUE(Contains(ReadAll(file), "[Profile]\nDescription0=VCD\nExtension0=.mpg\nCategory0=\n"));
  // Another program's entry in the file is reported and skipped.
  std::ofstream(file, std::ios::app) << "Description9=Not ours\n";
  const RunResult load = RunKivora({"profiles", "--load", file});
  ASSERT_EQ(load.exit_code, 0) << load.err;
  EXPECT_TRUE(Contains(load.out, "\n2  DVD, .vob  (TAVDvdProfile)\n  OutputFormat=dvd\n")) << load.out;
  EXPECT_TRUE(Contains(load.out, "\n6  H264 Profile, .mp4  (TAVX264Profile)\n  preset=medium\n")) << load.out;
  EXPECT_TRUE(Contains(load.err, "profile 9 of the profile file is neither")) << load.err;

  const struct {
    std::vector<std::string> args;
    int code;
    const char* err;
  } bad[] = {
      {{"profiles", "--load", dir.Path("missing.ini")}, 1, "cannot read the profile file"},
      {{"profiles", "--load", dir.Dir()}, 1, "kivora: "},
      {{"profiles", "--save", dir.Path("no/such/dir.ini")}, 1, "Cannot"},
      {{"profiles", "--save", file, "--load", file}, 2, "excludes"},
  };
  for (const auto& b : bad) {
    const RunResult r = RunKivora(b.args);
    EXPECT_EQ(r.exit_code, b.code) << r.err;
    EXPECT_TRUE(Contains(r.err, b.err)) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(ProfilesCommand, ConvertWithABuiltinProfileOrOneFromAFile) {
  TempDir dir;
  MediaSpec spec;
  spec.container = "matroska";
  spec.frames = 25;
  const std::string clip = MakeMedia(dir.Path("clip.mkv"), spec);
  const std::string file = dir.Path("mine.ini");
  ASSERT_EQ(RunKivora({"profiles", "--save", file}).exit_code, 0);

  const struct {
    std::string profile;
    const char* out;
    int width, height;
  } good[] = {{"dvd:ntsc", "a.vob", 720, 480}, {file + ":0:ntsc", "b.mpg", 352, 240}, {"DV50", "c.dv", 720, 576}};
  for (const auto& g : good) {
    const std::string out = dir.Path(g.out);
    const RunResult r = RunKivora({"convert", clip, "-o", out, "--profile", g.profile});
    ASSERT_EQ(r.exit_code, 0) << g.profile << ": " << r.err;
    const DecodedMedia m = DecodeMedia(out);
    ASSERT_EQ(m.video.size(), 1u);
    EXPECT_EQ(m.video[0].widths.front(), g.width) << g.profile;
    EXPECT_EQ(m.video[0].heights.front(), g.height) << g.profile;
    EXPECT_EQ(m.video[0].numbers.front(), 0);
  }
  // --set comes after the profile and wins.
  const RunResult set = RunKivora({"convert", clip, "-o", dir.Path("d.vob"), "--profile", "dvd", "--set",
                                   "VideoOptions.FrameHeight=480"});
  ASSERT_EQ(set.exit_code, 0) << set.err;
  EXPECT_EQ(DecodeMedia(dir.Path("d.vob")).video[0].heights.front(), 480);

  for (const std::string& bad : {std::string("dvd:secam"), std::string("webm"), file + ":42"}) {
    const RunResult r = RunKivora({"convert", clip, "-o", dir.Path("x.vob"), "--profile", bad});
    EXPECT_EQ(r.exit_code, 2) << bad;
    EXPECT_TRUE(Contains(r.err, "kivora: convert: ")) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace kivora::testing
