// The sound path's format rules: which decoder outputs need a new filter
// graph, which channel masks are trusted, and the gain text for the filter.
#include "kivora/player/audio/audio_format.h"

#include <gtest/gtest.h>

namespace kivora {
namespace {

TEST(AudioFormatTest, PlanarAndPackedCountAsOneFormatOnlyForMono) {
  EXPECT_FALSE(cmp_audio_fmts(AV_SAMPLE_FMT_FLTP, 1, AV_SAMPLE_FMT_FLT, 1));
  EXPECT_FALSE(cmp_audio_fmts(AV_SAMPLE_FMT_S16, 1, AV_SAMPLE_FMT_S16P, 1));
  EXPECT_TRUE(cmp_audio_fmts(AV_SAMPLE_FMT_FLTP, 2, AV_SAMPLE_FMT_FLT, 2));
  EXPECT_TRUE(cmp_audio_fmts(AV_SAMPLE_FMT_FLT, 1, AV_SAMPLE_FMT_S16, 1));
  EXPECT_TRUE(cmp_audio_fmts(AV_SAMPLE_FMT_S16, 1, AV_SAMPLE_FMT_S16, 2));
  EXPECT_FALSE(cmp_audio_fmts(AV_SAMPLE_FMT_S16, 6, AV_SAMPLE_FMT_S16, 6));
}

TEST(AudioFormatTest, AMaskIsTrustedOnlyWhenItNamesTheChannelCount) {
  EXPECT_EQ(get_valid_channel_layout(AV_CH_LAYOUT_STEREO, 2), AV_CH_LAYOUT_STEREO);
  EXPECT_EQ(get_valid_channel_layout(AV_CH_LAYOUT_STEREO, 1), 0);
  EXPECT_EQ(get_valid_channel_layout(0, 2), 0);

  // An untrusted mask gives the default layout for the count.
  AVChannelLayout l{};
  MakeChannelLayout(&l, AV_CH_LAYOUT_STEREO, 1);
  EXPECT_EQ(ChannelLayoutMask(l), static_cast<int64_t>(AV_CH_LAYOUT_MONO));
  av_channel_layout_uninit(&l);
  MakeChannelLayout(&l, AV_CH_LAYOUT_5POINT1_BACK, 6);
  EXPECT_EQ(ChannelLayoutMask(l), static_cast<int64_t>(AV_CH_LAYOUT_5POINT1_BACK));
  EXPECT_EQ(DescribeChannelLayout(l), "5.1");
  av_channel_layout_uninit(&l);
}

TEST(AudioFormatTest, TheGainTextAlwaysUsesAPoint) {
  EXPECT_EQ(FormatVolume(1.0), "1.000000");
  EXPECT_EQ(FormatVolume(0.5), "0.500000");
  EXPECT_EQ(FormatVolume(0.0), "0.000000");
  EXPECT_EQ(FormatVolume(2.25), "2.250000");
}

}  // namespace
}  // namespace kivora
