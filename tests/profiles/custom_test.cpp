#include "kivora/profiles/custom.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kivora/converter/options.h"
#include "kivora/platform/message.h"

namespace kivora {
namespace {

using Lines = std::vector<std::string>;

TEST(CustomProfiles, AudioProfileWritesTheChosenEncoderAndOptions) {
  TAVCustomAudioProfile p;
  EXPECT_EQ(p.AudioEncoder(), TCustomAudioEncoder::AAC);
  EXPECT_EQ(p.Format(), TCustomAVFormat::F_NONE);
  p.SetAudioEncoder(TCustomAudioEncoder::MP3);
  p.SetAudioChannels(TCustomAudioChannels::stereo2);
  p.SetSampleRate(44100);
  p.SetAudioBitrate(127.5);
  p.SetFormat(TCustomAVFormat::F_MKV);
  p.SetOptions(TStringList{"compression_level=3", "cutoff=15000"});
  EXPECT_EQ(p.GetAudioEncoderName(), "MP3");

  TAVConvertOptions o;
  o.SetOutputFormat("wav");
  o.SetAdvancedOption("cutoff", "1000");
  EXPECT_TRUE(p.ApplyToOptions(o));
  EXPECT_TRUE(o.VideoOptions().VideoDisable());
  EXPECT_TRUE(o.SubtitleOptions().SubtitleDisable());
  EXPECT_EQ(o.AudioOptions().AudioCodecName(), "libmp3lame");
  EXPECT_EQ(o.OutputFormat(), "matroska");
  EXPECT_EQ(o.AudioOptions().Bitrate(), 127500);
  EXPECT_EQ(o.AudioOptions().AudioSampleRate(), 44100);
  EXPECT_EQ(o.AudioOptions().AudioChannels(), 2);
  EXPECT_EQ(o.OutputOptions().Lines(), (Lines{"cutoff=15000", "compression_level=3"}));

  // F_NONE keeps the format; kbit/s that cannot be an int of bit/s never overflow.
  const struct {
    double kbits;
    int bits;
  } rates[] = {{0.0004, 0}, {-5, 0}, {std::nan(""), 0}, {INFINITY, 0}, {1e12, std::numeric_limits<int>::max()}};
  p.SetFormat(TCustomAVFormat::F_NONE);
  for (const auto& r : rates) {
    p.SetAudioBitrate(r.kbits);
    p.ApplyToOptions(o);
    EXPECT_EQ(o.AudioOptions().Bitrate(), r.bits) << r.kbits;
  }
  EXPECT_EQ(o.OutputFormat(), "matroska");

  // Stream copy: only video and subtitles are switched off.
  TAVConvertOptions copy;
  copy.AudioOptions().SetAudioStreamCopy(true);
  p.ApplyToOptions(copy);
  EXPECT_TRUE(copy.VideoOptions().VideoDisable());
  EXPECT_EQ(copy.AudioOptions().AudioCodecName(), "");
  EXPECT_TRUE(copy.OutputOptions().Empty());

  // Out-of-range ordinals are refused by the setters, so no table is read past its end.
  p.SetAudioEncoder(static_cast<TCustomAudioEncoder>(9));
  p.SetAudioChannels(static_cast<TCustomAudioChannels>(-1));
  p.SetFormat(static_cast<TCustomAVFormat>(18));
  EXPECT_EQ(p.AudioEncoder(), TCustomAudioEncoder::MP3);
  EXPECT_EQ(p.AudioChannels(), TCustomAudioChannels::stereo2);
  EXPECT_EQ(p.Format(), TCustomAVFormat::F_NONE);
}

TEST(CustomProfiles, VideoProfileEncodersAndTheirSettings) {
  const struct {
    TCustomVideoEncoder encoder;
    const char* ffmpeg;
    int threads;
  } encoders[] = {
      {TCustomVideoEncoder::H263, "h263", 1},       {TCustomVideoEncoder::H264, "libx264", 4},
      {TCustomVideoEncoder::MPEG4, "mpeg4", 4},     {TCustomVideoEncoder::WMV2, "wmv2", 1},
      {TCustomVideoEncoder::MPEG2VIDEO, "mpeg2video", 4}, {TCustomVideoEncoder::MSMPEGV3, "msmpeg4", 4},
      {TCustomVideoEncoder::RV20, "rv20", 1},       {TCustomVideoEncoder::XVID, "libxvid", 4},
      {TCustomVideoEncoder::FLV, "flv", 1},         {TCustomVideoEncoder::VP8, "libvpx", 1},
  };
  for (const auto& e : encoders) {
    TAVCustomVideoProfile p;
    p.SetVideoEncoder(e.encoder);
    TAVConvertOptions o;
    o.SetThreadCount(4);
    o.VideoOptions().SetVideoDisable(true);
    EXPECT_TRUE(p.ApplyToOptions(o));
    EXPECT_EQ(o.VideoOptions().VideoCodecName(), e.ffmpeg);
    EXPECT_EQ(o.ThreadCount(), e.threads) << e.ffmpeg;
    EXPECT_FALSE(o.VideoOptions().VideoDisable());
    const Lines expected =
        e.encoder == TCustomVideoEncoder::H264 ? Lines{"preset=faster", "mbd=rd", "level=41"} : Lines{};
    EXPECT_EQ(o.OutputOptions().Lines(), expected);
  }

  TAVCustomVideoProfile p;
  p.SetFrameWidth(640);
  p.SetFrameHeight(480);
  p.SetVideoBitrate(800);
  p.SetFrameAspectRatio(TAVAspectRatio::AR4_3);
  p.SetFrameRate(TCustomFrameRate::r2997);
  p.SetPass(2);
  TAVConvertOptions o;
  o.AudioOptions().SetAudioStreamCopy(true);  // stops the audio part only
  p.ApplyToOptions(o);
  const TVideoOptions& v = o.VideoOptions();
  EXPECT_EQ(v.FrameWidth(), 640);
  EXPECT_EQ(v.FrameHeight(), 480);
  EXPECT_EQ(v.Bitrate(), 800000);
  EXPECT_EQ(v.FrameAspectRatio(), 4.0f / 3.0f);
  EXPECT_EQ(v.Pass(), 2);
  EXPECT_EQ(v.FrameRate().num(), 30000);
  EXPECT_EQ(v.FrameRate().den(), 1001);
  EXPECT_EQ(o.AudioOptions().AudioCodecName(), "");

  // Zero sizes, AR_NONE and rOriginal keep what the converter has; a bad
  // pass is the converter's to refuse.
  std::vector<std::string> shown;
  auto previous = SetShowMessageHandler([&](const std::string& s) { shown.push_back(s); });
  TAVCustomVideoProfile keep;
  keep.SetPass(5);
  keep.SetVideoBitrate(std::numeric_limits<int>::max());
  keep.ApplyToOptions(o);
  SetShowMessageHandler(previous);
  EXPECT_EQ(v.FrameWidth(), 640);
  EXPECT_EQ(v.FrameAspectRatio(), 4.0f / 3.0f);
  EXPECT_EQ(v.FrameRate().num(), 30000);
  EXPECT_EQ(v.Pass(), 2);
  EXPECT_EQ(v.Bitrate(), std::numeric_limits<int>::max());
  EXPECT_EQ(shown, Lines{"pass number can be only 0, 1, 2 or 3"});
}

TEST(CustomProfiles, FrameSizesAndRatesFromTheTables) {
  const struct {
    int w, h;
    TAVFrameSize size;
    const char* label;
  } sizes[] = {
      {0, 0, TAVFrameSize::fsOriginal, "Original"},   {852, 480, TAVFrameSize::fsWvga, "wvga(852x480)"},
      {1366, 768, TAVFrameSize::fsWxga, "wxga(1366x678)"}, {240, 240, TAVFrameSize::fsIPaq, "240x240)"},
      {1440, 1080, TAVFrameSize::fsMceHd, "1440x1080"}, {123, 45, TAVFrameSize::fsOriginal, "Original"},
      {1366, 678, TAVFrameSize::fsOriginal, "Original"},
  };
  TAVCustomVideoProfile p;
  for (const auto& s : sizes) {
    p.SetFrameWidth(s.w);
    p.SetFrameHeight(s.h);
    EXPECT_EQ(p.FrameSize(), s.size) << s.w << "x" << s.h;
    EXPECT_STREQ(FrameSizeArr[static_cast<size_t>(p.FrameSize())].Label, s.label);
  }

  // Frame rates read with C number rules under a comma-decimal locale.
  struct RestoreLocale {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    ~RestoreLocale() { std::setlocale(LC_ALL, saved.c_str()); }
  } restore;
  bool german = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) german = german || std::setlocale(LC_ALL, name);
  ASSERT_TRUE(german) << "no German locale is installed (scripts/setup.sh makes de_DE.UTF-8)";
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  const double rates[] = {0, 14.99, 20, 23.97, 24, 25, 29.97, 30};
  for (size_t i = 0; i < std::size(rates); ++i) {
    p.SetFrameRate(static_cast<TCustomFrameRate>(i));
    EXPECT_DOUBLE_EQ(p.GetVideoFrameRate(), rates[i]);
  }
  EXPECT_EQ(p.GetVideoEncoderName(), "H263");
  EXPECT_STREQ(AudioChannelsArr[1], "stereo");
}

}  // namespace
}  // namespace kivora
