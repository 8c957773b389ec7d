// The option objects: constructor values, setter rules and what Assign copies.
#include <gtest/gtest.h>

#include "kivora/converter/options.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/message.h"

namespace kivora {
namespace {

TEST(ConvertOptions, FreshValues) {
  TAVConvertOptions o;
  EXPECT_EQ(o.ThreadCount(), 1);
  EXPECT_EQ(o.SwsFlags(), 4);
  EXPECT_EQ(o.RecordingTime(), INT64_MAX_VALUE);
  EXPECT_EQ(o.LimitFileSize(), INT64_MAX_VALUE);
  EXPECT_EQ(o.MaxDataFrames(), INT_MAX_VALUE);
  EXPECT_EQ(o.AudioOptions().AudioVolume(), 256);
  EXPECT_FLOAT_EQ(o.AudioOptions().AudioQScale(), -99999.0f);
  EXPECT_FLOAT_EQ(o.AudioOptions().AudioDriftThreshold(), 0.1f);
  EXPECT_EQ(o.AudioOptions().MaxFrames(), INT64_MAX_VALUE);
  EXPECT_EQ(o.VideoOptions().VideoSyncMethod(), -1);
  EXPECT_EQ(o.VideoOptions().TopFieldFirst(), -1);
  EXPECT_EQ(o.VideoOptions().FramePixFormat(), -1);
  EXPECT_EQ(o.VideoOptions().MaxFrames(), INT_MAX_VALUE);
  EXPECT_EQ(o.VideoOptions().FrameRate().num(), 0);
  EXPECT_EQ(o.VideoOptions().FrameRate().den(), 0);
  EXPECT_FLOAT_EQ(o.MuxerOptions().MuxPreload(), 0.5f);
}

TEST(ConvertOptions, SetterRules) {
  std::vector<std::string> shown;
  auto previous = SetShowMessageHandler([&](const std::string& s) { shown.push_back(s); });
  TVideoOptions v;
  struct Case {
    int value;
    bool ok;
  };
  for (const Case c : {Case{-1, true}, {0, true}, {1, true}, {2, true}, {255, true}, {254, false}, {3, false}}) {
    SCOPED_TRACE(c.value);
    v.SetVideoSyncMethod(0);
    if (c.ok) {
      v.SetVideoSyncMethod(c.value);
      EXPECT_EQ(v.VideoSyncMethod(), c.value);
    } else {
      try {
        v.SetVideoSyncMethod(c.value);
        ADD_FAILURE() << "accepted";
      } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Invalid Video Sync Method");
      }
      EXPECT_EQ(v.VideoSyncMethod(), 0);
    }
  }
  for (const Case c : {Case{-1, true}, {0, true}, {1, true}, {2, false}, {-2, false}}) {
    SCOPED_TRACE(c.value);
    v.SetTopFieldFirst(1);
    if (c.ok) {
      v.SetTopFieldFirst(c.value);
      EXPECT_EQ(v.TopFieldFirst(), c.value);
    } else {
      EXPECT_THROW(v.SetTopFieldFirst(c.value), Exception);
      EXPECT_EQ(v.TopFieldFirst(), 1);
    }
  }
  v.SetPass(2);
  v.SetPass(4);
  v.SetPass(-1);
  EXPECT_EQ(v.Pass(), 2);
  EXPECT_EQ(shown, (std::vector<std::string>{"pass number can be only 0, 1, 2 or 3",
                                             "pass number can be only 0, 1, 2 or 3"}));
  SetShowMessageHandler(previous);

  TAudioOptions a;
  a.SetAudioSampleFmt(sfS16);
  EXPECT_EQ(a.AudioSampleFmt(), sfS16);
  a.SetAudioSampleFmt(sfAuto);  // automatic again
  EXPECT_EQ(a.AudioSampleFmt(), sfAuto);

  TAVConvertOptions o;
  o.SetAdvancedOption("b", "400000");
  o.SetAdvancedOption("b", "500000");
  o.SetInputOption("probesize", "32");
  EXPECT_EQ(o.OutputOptions().Lines(), std::vector<std::string>{"b=500000"});
  EXPECT_EQ(o.InputOptions().Lines(), std::vector<std::string>{"probesize=32"});
}

TEST(ConvertOptions, AssignCopiesTheSettingsButNotTheRuntimeOnes) {
  TAVConvertOptions src, dst;
  TTSScale scale;
  src.VideoOptions().SetFrameWidth(640);
  src.VideoOptions().SetVideoCodecName("mpeg4");
  src.VideoOptions().FrameRate().Setnum(30000);
  src.VideoOptions().FrameRate().Setden(1001);
  src.VideoOptions().ForceKeyFrames().Add("0");
  src.AudioOptions().SetAudioSampleRate(48000);
  src.AudioOptions().SetBitrate(192000);
  src.SubtitleOptions().SetSubtitleDisable(true);
  src.DataOptions().SetDataDisable(true);
  src.MuxerOptions().SetMuxPreload(0.25f);
  src.FilterOptions().SetVideoFilters("hflip");
  src.FilterOptions().ComplexFilters().Add("[0:v]vflip");
  src.MetaData().Add("title=x");
  src.OutputOptions().Add("g=12");
  src.StreamMaps().Add("0:v");
  src.SetOutputFormat("matroska");
  src.SetStartTime(5);
  src.SetThreadCount(4);
  src.SetLimitFileSize(1000);
  src.SetSynchronous(true);
  src.SetLiveInputs(true);
  src.InputTSScale().push_back(&scale);
  dst.Assign(src);
  EXPECT_EQ(dst.VideoOptions().FrameWidth(), 640);
  EXPECT_EQ(dst.VideoOptions().VideoCodecName(), "mpeg4");
  EXPECT_EQ(dst.VideoOptions().FrameRate().den(), 1001);
  EXPECT_EQ(dst.VideoOptions().ForceKeyFrames().Count(), 1);
  EXPECT_EQ(dst.AudioOptions().AudioSampleRate(), 48000);
  EXPECT_EQ(dst.AudioOptions().Bitrate(), 192000);
  EXPECT_TRUE(dst.SubtitleOptions().SubtitleDisable());
  EXPECT_TRUE(dst.DataOptions().DataDisable());
  EXPECT_FLOAT_EQ(dst.MuxerOptions().MuxPreload(), 0.25f);
  EXPECT_EQ(dst.FilterOptions().VideoFilters(), "hflip");
  EXPECT_EQ(dst.FilterOptions().ComplexFilters().Count(), 1);
  EXPECT_EQ(dst.MetaData().Count(), 1);
  EXPECT_EQ(dst.OutputOptions().Count(), 1);
  EXPECT_EQ(dst.StreamMaps().Count(), 1);
  EXPECT_EQ(dst.OutputFormat(), "matroska");
  EXPECT_EQ(dst.StartTime(), 5);
  EXPECT_EQ(dst.ThreadCount(), 4);
  // Runtime settings stay the target's own.
  EXPECT_EQ(dst.LimitFileSize(), INT64_MAX_VALUE);
  EXPECT_FALSE(dst.Synchronous());
  EXPECT_FALSE(dst.LiveInputs());
  EXPECT_TRUE(dst.InputTSScale().empty());
  // A conversion's own copy takes them too.
  TAVConvertOptions run;
  run.CopyAll(src);
  EXPECT_TRUE(run.Synchronous());
  EXPECT_TRUE(run.LiveInputs());

  TRational r;
  EXPECT_THROW(r.Assign(src.AudioOptions()), EAssignError);
}

}  // namespace
}  // namespace kivora
