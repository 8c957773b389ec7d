#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/utils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "kivora/platform/exception.h"

namespace kivora {
namespace {

TEST(Numeric, MedianAndRoundTo16) {
  for (auto [a, b, c, m] : {std::array{3, 1, 2, 2}, std::array{2, 3, 1, 2}, std::array{5, 5, -1, 5}, std::array{-7, 9, 0, 0}})
    EXPECT_EQ(mid_pred(a, b, c), m) << a << " " << b << " " << c;
  // To the nearest multiple of 16, never below 16.
  for (auto [in, out] : {std::pair{0, 16}, std::pair{7, 16}, std::pair{23, 16}, std::pair{24, 32}, std::pair{1919, 1920}})
    EXPECT_EQ(RoundTo16(in), out) << in;
}

TEST(TimeString, FormatsSecondsAndMilliseconds) {
  EXPECT_EQ(GetTimeString(3725.5, true), "01:02:05");
  EXPECT_EQ(GetTimeString(3725.5, false), "01:02:05.500");
  EXPECT_EQ(GetTimeString(1.05, false), "00:00:01.50");
  EXPECT_EQ(GetTimeString(59.5, false), "00:00:59.500");
  EXPECT_EQ(GetTimeString(0.0, true), "00:00:00");
  EXPECT_EQ(GetTimeString(2.3, false), "00:00:02.300");
  EXPECT_EQ(GetTimeString(59.9999, true), "00:00:59");
  EXPECT_EQ(GetTimeString(360000.0, true), "100:00:00");
  EXPECT_EQ(GetTimeString(std::nan(""), false), "00:00:00.00");
  EXPECT_EQ(GetTimeString(int64_t{3725}), "1:2:5");
  EXPECT_EQ(GetTimeString(86400), "24:0:0");
  EXPECT_EQ(GetTimeString(int64_t{59}), "0:0:59");
}

TEST(Strings, SplitIsStrict) {
  TStringList list{"old"};
  Split(';', "a b;c", list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0], "a b");
  EXPECT_EQ(list[1], "c");
  EXPECT_EQ(list.Delimiter(), ';');
  EXPECT_TRUE(list.StrictDelimiter());
}

TEST(Strings, ShortStringRoundTrip) {
  char buf[260];
  std::memset(buf, 'X', sizeof buf);
  StringToShortString(std::string(300, 'a'), buf);
  EXPECT_EQ(std::strlen(buf), 255u);
  EXPECT_EQ(buf[256], 'X');  // nothing beyond the 256-byte buffer
  EXPECT_EQ(ShortStringToString(buf, 256), std::string(255, 'a'));

  // A two-byte character straddling byte 255 is left out whole.
  std::string s(254, 'b');
  s += "\xc3\xa9tail";
  char buf2[256];
  StringToShortString(s, buf2);
  EXPECT_EQ(std::string(buf2), std::string(254, 'b'));

  StringToShortString("short", buf2);
  EXPECT_EQ(ShortStringToString(buf2, sizeof buf2), "short");
  const char noNul[3] = {'a', 'b', 'c'};
  EXPECT_EQ(ShortStringToString(noNul, 3), "abc");
}

TEST(Registries, CodecAndDeviceLists) {
  TStringList codecs{"stale"};
  GetCodecList(codecs);
  EXPECT_TRUE(AVLoaded());
  EXPECT_GE(codecs.IndexOf("h264"), 0);
  EXPECT_EQ(codecs.IndexOf("stale"), -1);
  EXPECT_EQ(codecs[0], avcodec_descriptor_next(nullptr)->name);

  TStringList devices{"stale"};
  GetInputDeviceList(devices);
  EXPECT_EQ(devices.IndexOf("stale"), -1);
  for (const auto& name : devices) {
    const AVInputFormat* f = av_find_input_format(name.c_str());
    ASSERT_TRUE(f) << name;
    EXPECT_TRUE(isDevice(f->priv_class)) << name;
  }
  // Every input device FFmpeg lists is found, and plain demuxers are not.
  for (const AVInputFormat* d = av_input_video_device_next(nullptr); d; d = av_input_video_device_next(d))
    EXPECT_GE(devices.IndexOf(d->name), 0) << d->name;
  EXPECT_EQ(devices.IndexOf("mov,mp4,m4a,3gp,3g2,mj2"), -1);
  EXPECT_FALSE(isDevice(nullptr));
  EXPECT_FALSE(isDevice(avcodec_get_class()));
}

TEST(FrameRate, PrefersDecoderRateForFieldRateStreams) {
  AVFormatContextPtr fc(avformat_alloc_context());
  AVStream* st = avformat_new_stream(fc.get(), nullptr);
  ASSERT_TRUE(st);
  st->r_frame_rate = AVRational{50, 1};
  st->avg_frame_rate = AVRational{25, 1};
  AVCodecContextPtr dec(avcodec_alloc_context3(nullptr));
  dec->time_base = AVRational{1, 50};
  dec->ticks_per_frame = 2;

  EXPECT_EQ(av_cmp_q(guess_frame_rate(fc.get(), st, dec.get(), nullptr), AVRational{25, 1}), 0);
  // Without a decoder, or when the average agrees with r_frame_rate, the stream's rate stands.
  EXPECT_EQ(av_cmp_q(guess_frame_rate(fc.get(), st, nullptr, nullptr), AVRational{50, 1}), 0);
  st->avg_frame_rate = AVRational{48, 1};
  EXPECT_EQ(av_cmp_q(guess_frame_rate(fc.get(), st, dec.get(), nullptr), AVRational{50, 1}), 0);
  // A decoder rate that is not clearly lower does not win either.
  st->avg_frame_rate = AVRational{25, 1};
  dec->time_base = AVRational{1, 80};
  EXPECT_EQ(av_cmp_q(guess_frame_rate(fc.get(), st, dec.get(), nullptr), AVRational{50, 1}), 0);
  // A rate-less stream does not crash.
  st->r_frame_rate = AVRational{0, 1};
  EXPECT_EQ(guess_frame_rate(fc.get(), st, dec.get(), nullptr).num, 0);
}

}  // namespace
}  // namespace kivora
