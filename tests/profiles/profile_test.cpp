#include "kivora/profiles/profile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kivora/converter/options.h"
#include "kivora/platform/exception.h"
#include "kivora/profiles/catalog.h"
#include "kivora/profiles/custom.h"
#include "kivora/profiles/targets.h"
#include "support/media_fixtures.h"

namespace kivora {
namespace {

using Lines = std::vector<std::string>;

int g_deleted = 0;
struct CountedAudio : TAVCustomAudioProfile {
  ~CountedAudio() override { ++g_deleted; }
};
struct CountedDvd : TAVDvdProfile {
  ~CountedDvd() override { ++g_deleted; }
};

std::vector<TAVProfile*> Members(const TAVProfileList& l) {
  std::vector<TAVProfile*> v;
  for (int i = 0; i < l.ProfileCount(); ++i) v.push_back(l.Profiles(i));
  return v;
}

TEST(ProfileList, MembershipOrderAndErrors) {
  TAVProfileList list;
  TAVDvdProfile a, b, c;
  list.AddProfile(&a);
  list.AddProfile(&b);
  list.AddProfile(&c);
  list.AddProfile(&a);  // already in: stays once, in place
  EXPECT_EQ(Members(list), (std::vector<TAVProfile*>{&a, &b, &c}));
  EXPECT_EQ(c.Index(), 2);
  EXPECT_EQ(c.ProfileList(), &list);

  c.SetIndex(-7);
  EXPECT_EQ(Members(list), (std::vector<TAVProfile*>{&c, &a, &b}));
  c.SetIndex(99);
  EXPECT_EQ(Members(list), (std::vector<TAVProfile*>{&a, &b, &c}));
  TAVDvProfile loose;
  loose.SetIndex(3);
  EXPECT_EQ(loose.Index(), -1);

  try {
    list.Profiles(3);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (3)");
  }
  EXPECT_THROW(list.Profiles(-1), Exception);
  EXPECT_THROW(list.SetProfile(0, b), EAssignError);
  TAVProfile base;
  TAVConvertOptions o;
  EXPECT_THROW(base.ApplyToOptions(o), EAbstractError);

  // A profile is in one list at a time.
  TAVProfileList other;
  b.SetProfileList(&other);
  EXPECT_EQ(Members(list), (std::vector<TAVProfile*>{&a, &c}));
  EXPECT_EQ(Members(other), (std::vector<TAVProfile*>{&b}));
  other.AddProfile(&a);
  EXPECT_EQ(a.ProfileList(), &other);
  EXPECT_EQ(list.ProfileCount(), 1);
  EXPECT_EQ(list.RemoveProfile(&c), nullptr);  // not owned: nothing to hand back
  EXPECT_EQ(c.ProfileList(), nullptr);
  EXPECT_EQ(list.ProfileCount(), 0);
  {
    TAVVcdProfile brief;
    list.AddProfile(&brief);
  }  // a member that dies leaves the list
  EXPECT_EQ(list.ProfileCount(), 0);
}

// The list deletes what it was given and never what the application keeps,
// whichever of them goes first; Clear takes out custom profiles only.
TEST(ProfileList, DeletesOnlyWhatItOwnsInEveryOrder) {
  for (int order = 0; order < 3; ++order) {
    g_deleted = 0;
    auto list = std::make_unique<TAVProfileList>();
    auto kept = std::make_unique<CountedAudio>();
    CountedDvd onStack;
    list->AddProfile(kept.get());
    list->AddProfile(&onStack);
    CountedAudio* owned = list->AddProfile(std::make_unique<CountedAudio>());
    list->AddProfile(std::make_unique<CountedDvd>());
    ASSERT_EQ(list->ProfileCount(), 4);
    if (order == 0) {
      list.reset();  // list first: the two owned go, the others are detached
      EXPECT_EQ(g_deleted, 2);
      EXPECT_EQ(kept->ProfileList(), nullptr);
      EXPECT_EQ(onStack.ProfileList(), nullptr);
    } else if (order == 1) {
      kept.reset();  // the application's profiles first
      EXPECT_EQ(g_deleted, 1);
      EXPECT_EQ(list->ProfileCount(), 3);
      list->Clear();  // custom ones only: the owned one is deleted
      EXPECT_EQ(g_deleted, 2);
      EXPECT_EQ(list->ProfileCount(), 2);
      list.reset();
      EXPECT_EQ(g_deleted, 3);
    } else {
      list->Clear();  // the kept custom profile is detached, the owned one deleted
      EXPECT_EQ(g_deleted, 1);
      EXPECT_EQ(kept->ProfileList(), nullptr);
      EXPECT_EQ(Members(*list), (std::vector<TAVProfile*>{&onStack, list->Profiles(1)}));
      // Moving an owned profile takes the ownership along; removing hands it back.
      TAVProfileList second;
      list->Profiles(1)->SetProfileList(&second);
      std::unique_ptr<TAVProfile> back = second.RemoveProfile(second.Profiles(0));
      EXPECT_NE(back, nullptr);
      back.reset();
      EXPECT_EQ(g_deleted, 2);
    }
    (void)owned;
  }
}

class ProfileFile : public ::testing::Test {
protected:
  kivora::testing::TempDir dir;
  std::string path = dir.Path("profiles.ini");
  static std::string Slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
};

TEST_F(ProfileFile, KeysInOrderForTheExampleProfiles) {
  {
    TIniFile ini(path);
    TAVCustomAudioProfile mp3;
    mp3.SetAudioEncoder(TCustomAudioEncoder::MP3);
    mp3.SetAudioChannels(TCustomAudioChannels::stereo2);
    mp3.SetSampleRate(44100);
    mp3.SetAudioBitrate(128);
    mp3.SaveToFile(ini, 0);
    TAVDvdProfile dvd;
    dvd.SaveToFile(ini, 1);
    TAVCustomVideoProfile video;
    video.SaveToFile(ini, 2);
  }
  EXPECT_EQ(Slurp(path),
            "[Profile]\n"
            "Description0=\nExtension0=\nCategory0=\nIsVideo0=0\nSampleRate0=44100\nAudioEncoder0=4\n"
            "AudioChannels0=1\nAudioBitrate0=128\nFormat0=0\nOptions0=\n"
            "Description1=DVD\nExtension1=.vob\nCategory1=\n"
            "Description2=\nExtension2=\nCategory2=\nIsVideo2=1\nSampleRate2=0\nAudioEncoder2=0\n"
            "AudioChannels2=0\nAudioBitrate2=0\nFormat2=0\nOptions2=\nFrameWidth2=0\nFrameHeight2=0\n"
            "VideoEncoder2=0\nFrameRate2=0\nVideoBitrate2=0\n");
}

void FillVideo(TAVCustomVideoProfile& p) {
  p.SetDescription("  Phone clip ");
  p.SetExtension(".3gp");
  p.SetCategory("Mobile, small");
  p.SetSampleRate(8000);
  p.SetAudioEncoder(TCustomAudioEncoder::AMR_NB);
  p.SetAudioBitrate(12.2);
  p.SetFormat(TCustomAVFormat::F_3GP);
  p.SetOptions(TStringList{"x264opts=a b", "metadata=title=\"x, y\""});
  p.SetFrameWidth(176);
  p.SetFrameHeight(144);
  p.SetVideoEncoder(TCustomVideoEncoder::H263);
  p.SetFrameRate(TCustomFrameRate::r1499);
  p.SetVideoBitrate(64);
}

void ExpectSameVideo(const TAVCustomVideoProfile& a, const TAVCustomVideoProfile& b) {
  EXPECT_EQ(a.Description(), b.Description());
  EXPECT_EQ(a.Extension(), b.Extension());
  EXPECT_EQ(a.Category(), b.Category());
  EXPECT_EQ(a.SampleRate(), b.SampleRate());
  EXPECT_EQ(a.AudioEncoder(), b.AudioEncoder());
  EXPECT_EQ(a.AudioChannels(), b.AudioChannels());
  EXPECT_EQ(a.AudioBitrate(), b.AudioBitrate());
  EXPECT_EQ(a.Format(), b.Format());
  EXPECT_EQ(a.Options().Lines(), b.Options().Lines());
  EXPECT_EQ(a.FrameWidth(), b.FrameWidth());
  EXPECT_EQ(a.FrameHeight(), b.FrameHeight());
  EXPECT_EQ(a.VideoEncoder(), b.VideoEncoder());
  EXPECT_EQ(a.FrameRate(), b.FrameRate());
  EXPECT_EQ(a.VideoBitrate(), b.VideoBitrate());
}

TEST_F(ProfileFile, EveryClassReadsBackWhatItWrote) {
  TAVCustomVideoProfile video;
  FillVideo(video);
  TAVCustomAudioProfile audio;
  audio.SetDescription("Podcast");
  audio.SetAudioBitrate(0.1);
  audio.SetOptions(TStringList{"a=1"});
  std::vector<std::unique_ptr<TAVProfile>> fixed;
  fixed.push_back(std::make_unique<TAVVcdProfile>());
  fixed.push_back(std::make_unique<TAVImageProfile>());
  fixed.push_back(std::make_unique<TAVX264Profile>());
  fixed.back()->SetCategory(" web ");
  {
    TIniFile ini(path);
    video.SaveToFile(ini, 3);
    audio.SaveToFile(ini, 12);
    for (size_t i = 0; i < fixed.size(); ++i) fixed[i]->SaveToFile(ini, static_cast<int>(i));
  }
  const TIniFile ini(path);
  TAVCustomVideoProfile video2;
  video2.LoadFromFile(ini, 3);
  ExpectSameVideo(video, video2);
  TAVCustomAudioProfile audio2;
  audio2.LoadFromFile(ini, 12);
  EXPECT_EQ(audio2.Description(), "Podcast");
  EXPECT_EQ(audio2.AudioBitrate(), 0.1);
  EXPECT_EQ(audio2.Options().Lines(), Lines{"a=1"});
  for (size_t i = 0; i < fixed.size(); ++i) {
    TAVDvProfile blank;
    blank.SetDescription("x");
    blank.SetExtension("y");
    blank.LoadFromFile(ini, static_cast<int>(i));
    EXPECT_EQ(blank.Description(), fixed[i]->Description());
    EXPECT_EQ(blank.Extension(), fixed[i]->Extension());
    EXPECT_EQ(blank.Category(), fixed[i]->Category());
  }
  // A number the file does not hold changes nothing, Options included.
  TAVCustomVideoProfile untouched;
  FillVideo(untouched);
  untouched.LoadFromFile(ini, 5);
  ExpectSameVideo(untouched, video);
}

// Files that are missing, empty, cut short or hold nonsense never change a
// setting they cannot give a sound value for.
TEST_F(ProfileFile, GarbledFilesLeaveTheProfileAsItWas) {
  const std::string garbage("\x00\xff[Profile\n=\x01\x02\n\xef\xbb\xbf[[]]]\nDescription0", 33);
  const char* const files[] = {
      nullptr,  // no file at all
      "",
      "[Profile]\n",
      "[Profile]\nDescripti",
      "[Other]\nDescription0=elsewhere\nFrameWidth0=1\n",
      "[Profile]\nSampleRate0=-44100\nAudioEncoder0=9\nAudioChannels0=2\nAudioBitrate0=nan\nFormat0=-1\n"
      "FrameWidth0=20000\nFrameHeight0=99999999999\nVideoEncoder0=10\nFrameRate0=8\nVideoBitrate0=2147484\n",
      "[Profile]\nAudioBitrate0=inf\nVideoBitrate0=-1\nSampleRate0=1e3\nOptions0=\"x264opts=a b,c\nFormat0=0x7fffffff\n",
      "[Profile]\nAudioBitrate0=-0.5\nAudioEncoder0=four\nFrameRate0=\nVideoEncoder0=2147483648\n",
  };
  for (const char* text : files) {
    if (text) std::ofstream(path, std::ios::binary) << text;
    TAVCustomVideoProfile p, reference;
    FillVideo(p);
    FillVideo(reference);
    {
      const TIniFile ini(path);
      p.LoadFromFile(ini, 0);
    }
    SCOPED_TRACE(text ? text : "(no file)");
    ExpectSameVideo(p, reference);
  }
  std::ofstream(path, std::ios::binary) << garbage;
  TAVCustomVideoProfile p, reference;
  FillVideo(p);
  FillVideo(reference);
  const TIniFile ini(path);
  p.LoadFromFile(ini, 0);
  ExpectSameVideo(p, reference);
}

// A save that fails on a value it cannot store writes nothing, to the INI
// object or to the file; saving again under a number keeps nothing of the
// profile saved there before.
TEST_F(ProfileFile, AFailedSaveWritesNothingAndResavingReplacesTheNumber) {
  TAVCustomVideoProfile video;
  FillVideo(video);
  {
    TIniFile ini(path);
    video.SaveToFile(ini, 0);
    video.SaveToFile(ini, 10);
    TAVCustomAudioProfile audio;
    audio.SetDescription("Podcast");
    audio.SaveToFile(ini, 1);
  }
  const std::string before = Slurp(path);

  // A line break in the first, a middle and the last key written.
  const struct {
    const char* what;
    void (*spoil)(TAVCustomAudioProfile&);
  } bad[] = {
      {"description", [](TAVCustomAudioProfile& p) { p.SetDescription("two\nlines"); }},
      {"category", [](TAVCustomAudioProfile& p) { p.SetCategory("cr\r"); }},
      {"options", [](TAVCustomAudioProfile& p) { p.SetOptions(TStringList{"a=1", "b=2\n3"}); }},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.what);
    {
      TIniFile ini(path);
      TAVCustomAudioProfile p;
      p.SetDescription("New");
      p.SetSampleRate(22050);
      b.spoil(p);
      EXPECT_THROW(p.SaveToFile(ini, 0), Exception);
      EXPECT_EQ(ini.ReadString(PROFILE_SECTION, "Description0", ""), "  Phone clip ");
      EXPECT_EQ(ini.ReadInteger(PROFILE_SECTION, "SampleRate0", 0), 8000);
    }
    EXPECT_EQ(Slurp(path), before);
  }

  {
    TIniFile ini(path);
    TAVDvdProfile dvd;
    dvd.SaveToFile(ini, 0);
  }
  const TIniFile ini(path);
  TStringList keys;
  ini.ReadSection(PROFILE_SECTION, keys);
  Lines zero;
  for (const std::string& key : keys)
    if (key.back() == '0' && key[key.size() - 2] > '9') zero.push_back(key);
  EXPECT_EQ(zero, (Lines{"Description0", "Extension0", "Category0"}));
  std::string error;
  const std::unique_ptr<TAVProfile> dvd = CreateProfileFromFile(ini, 0, error);
  EXPECT_NE(dynamic_cast<TAVDvdProfile*>(dvd.get()), nullptr) << error;
  // The numbers beside it are untouched, 10 as well as 1.
  const std::unique_ptr<TAVProfile> ten = CreateProfileFromFile(ini, 10, error);
  ASSERT_NE(dynamic_cast<TAVCustomVideoProfile*>(ten.get()), nullptr) << error;
  ExpectSameVideo(*static_cast<TAVCustomVideoProfile*>(ten.get()), video);
  const std::unique_ptr<TAVProfile> one = CreateProfileFromFile(ini, 1, error);
  ASSERT_NE(one, nullptr) << error;
  EXPECT_EQ(one->Description(), "Podcast");
}

}  // namespace
}  // namespace kivora
