// `kivora components`, run as a user would.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <map>
#include <string>
#include <vector>

#include "run_kivora.h"

namespace kivora::testing {

namespace {

const std::vector<std::string> kPage = {
    "TAVConverter",        "TAVPreview",
    "TAVPlayer",           "TAVView",
    "TAVCustomVideoProfile", "TAVMotionDetector",
    "TYuvTextureMaterialSource", "TYuvHPTextureMaterialSource",
    "TNVTextureMaterialSource",  "TVideoTextureMaterialSource",
    "TAndroidRecorder",    "TVideoView",
};

}  // namespace

TEST(ComponentsCommand, ListsThePageAndTheClassRegistry) {
  const RunResult r = RunKivora({"components", "--json"});
  const QJsonObject o = JsonReport(r);
  EXPECT_EQ(o.value("page").toString(), "Kivora");

  std::map<std::string, std::pair<std::string, bool>> registry;  // name -> kind, widget
  for (const auto& v : o.value("classes").toArray()) {
    const QJsonObject c = v.toObject();
    EXPECT_FALSE(c.value("kind").toString().isEmpty());
    registry[c.value("name").toString().toStdString()] = {c.value("kind").toString().toStdString(),
                                                         c.value("widget").toBool()};
  }
  std::vector<std::string> notBuilt;
  for (const auto& v : o.value("not_built").toArray()) notBuilt.push_back(v.toString().toStdString());

  // The page is the twelve in order, less only what the build lacks (the
  // recorder, where it is not built); a class the build lacks is not in the
  // registry either.
  std::vector<std::string> expected;
  for (const auto& n : kPage) {
    if (registry.count(n)) expected.push_back(n);
    else EXPECT_EQ(notBuilt, std::vector<std::string>{"TAndroidRecorder"}) << n;
  }
  std::vector<std::string> page;
  for (const auto& v : o.value("components").toArray()) {
    const QJsonObject c = v.toObject();
    const std::string name = c.value("name").toString().toStdString();
    page.push_back(name);
    ASSERT_TRUE(registry.count(name)) << name;
    EXPECT_EQ(c.value("widget").toBool(), registry[name].second) << name;
    EXPECT_EQ(c.value("kind").toString().toStdString(), registry[name].first) << name;
  }
  EXPECT_EQ(page, expected);
  EXPECT_GE(page.size(), 11u);

  // Classes stored forms name that are not on the page, and which are widgets.
  const std::map<std::string, bool> classes = {
      {"TAVView", true},           {"TAVPreview", true},          {"TVideoView", true},
      {"TAVGLView", true},         {"TAVPlayer", false},          {"TAVConverter", false},
      {"TRgbTextureMaterialSource", false}, {"TAVProfileList", false}, {"TAVCustomAudioProfile", false},
      {"TAVX264Profile", false},
  };
  for (const auto& [name, widget] : classes) {
    ASSERT_TRUE(registry.count(name)) << name;
    EXPECT_EQ(registry[name].second, widget) << name;
  }
  EXPECT_EQ(registry["TYuvTextureMaterialSource"].first, "material source");

  // The text form says the same.
  const RunResult text = RunKivora({"components"});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  EXPECT_TRUE(Contains(text.out, "Page \"Kivora\" (" + std::to_string(page.size()) + " components):"));
  EXPECT_TRUE(Contains(text.out, "   1  TAVConverter"));
  EXPECT_TRUE(Contains(text.out, std::to_string(page.size()) + "  TVideoView"));
  EXPECT_TRUE(Contains(text.out, "TAVGLView"));
  EXPECT_EQ(Contains(text.out, "not in this build: TAndroidRecorder"), !notBuilt.empty());

  const RunResult bad = RunKivora({"components", "--nonsense"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_TRUE(Contains(bad.err, "unknown option '--nonsense'")) << bad.err;
}

}  // namespace kivora::testing
