// `kivora profiles`: the built-in list, a file written with --save and read
// back with --load, and the errors of bad requests.
#include <gtest/gtest.h>

#include <fstream>

#include "run_kivora.h"

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

}  // namespace
}  // namespace kivora::testing
