// The "Kivora" page and the class registry as the whole library fills them.
#include "kivora/runtime/register.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <typeinfo>

#include "kivora/kivora.h"
#include "kivora/platform/classes.h"
#include "kivora/presentation/glview.h"
#include "kivora/presentation/materials.h"
#include "kivora/presentation/videoview.h"
#include "support/event_pump.h"

namespace kivora {

namespace {

const std::vector<std::string> kPage = {
    "TAVConverter",
    "TAVPreview",
    "TAVPlayer",
    "TAVView",
    "TAVCustomVideoProfile",
    "TAVMotionDetector",
    "TYuvTextureMaterialSource",
    "TYuvHPTextureMaterialSource",
    "TNVTextureMaterialSource",
    "TVideoTextureMaterialSource",
    "TAndroidRecorder",
    "TVideoView",
};

std::vector<std::string> PageNames() {
  std::vector<std::string> out;
  for (const auto& e : ComponentPage("Kivora")) out.push_back(e.Name);
  return out;
}

// Tries every widget class with no application; exits 0 when each one
// raised the library's error.
[[noreturn]] void MakeEveryWidgetWithoutApplication() {
  int widgets = 0, raised = 0;
  for (const auto& c : RegisteredClasses()) {
    if (!c.IsWidget) continue;
    ++widgets;
    try {
      c.Create(nullptr);
    } catch (const Exception& e) {
      if (std::string(e.what()) == c.Name + " is a widget: create a QApplication before making one") ++raised;
    }
  }
  std::exit(widgets >= 4 && raised == widgets && !QCoreApplication::instance() ? 0 : 1);
}

}  // namespace

TEST(Register, PutsTheTwelveClassesOnTheKivoraPageInOrder) {
  EXPECT_EQ(KivoraPageClasses(), kPage);
  Register();
  Register();  // a second registration changes nothing
  EXPECT_EQ(PageNames(), kPage);
  int kivoraPages = 0;
  for (const auto& p : ComponentPages()) kivoraPages += p == "Kivora";
  EXPECT_EQ(kivoraPages, 1);
  const std::set<std::string> widgets = {"TAVPreview", "TAVView", "TVideoView"};
  for (const auto& e : ComponentPage("Kivora")) {
    EXPECT_EQ(e.Group, "Kivora");
    EXPECT_TRUE(static_cast<bool>(e.Create)) << e.Name;
    EXPECT_EQ(e.IsWidget, widgets.count(e.Name) == 1) << e.Name;
    EXPECT_FALSE(e.Kind.empty()) << e.Name;
  }
}

TEST(Register, ClassRegistryMakesStoredFormClassesByName) {
  // Each name must make an object of its own class, not just any component.
  using Check = std::function<bool(TComponent*)>;
  auto is = [](auto* typed) { return Check([](TComponent* c) { return dynamic_cast<decltype(typed)>(c) != nullptr; }); };
  const std::vector<std::pair<std::string, Check>> cases = {
      {"TYuvTextureMaterialSource", is(static_cast<TYuvTextureMaterialSource*>(nullptr))},
      {"TYuvHPTextureMaterialSource", is(static_cast<TYuvHPTextureMaterialSource*>(nullptr))},
      {"TNVTextureMaterialSource", is(static_cast<TNVTextureMaterialSource*>(nullptr))},
      {"TVideoTextureMaterialSource", is(static_cast<TVideoTextureMaterialSource*>(nullptr))},
      {"TRgbTextureMaterialSource", is(static_cast<TRgbTextureMaterialSource*>(nullptr))},
      {"TAVConverter", is(static_cast<TAVConverter*>(nullptr))},
      {"TAndroidRecorder", is(static_cast<TAndroidRecorder*>(nullptr))},
      {"TAVPlayer", is(static_cast<TAVPlayer*>(nullptr))},
      {"TAVMotionDetector", is(static_cast<TAVMotionDetector*>(nullptr))},
      {"TAVProfileList", is(static_cast<TAVProfileList*>(nullptr))},
      {"TAVCustomAudioProfile", is(static_cast<TAVCustomAudioProfile*>(nullptr))},
      {"TAVCustomVideoProfile", is(static_cast<TAVCustomVideoProfile*>(nullptr))},
      {"TAVDvdProfile", is(static_cast<TAVDvdProfile*>(nullptr))},
      {"TAVX264Profile", is(static_cast<TAVX264Profile*>(nullptr))},
  };
  for (const auto& [name, check] : cases) {
    const TComponentClass* c = FindClass(name);
    ASSERT_NE(c, nullptr) << name;
    EXPECT_FALSE(c->IsWidget) << name;
    std::unique_ptr<TComponent> made = c->Create(nullptr);
    EXPECT_TRUE(check(made.get())) << name << " made something else";
  }
  // A custom video profile is also a custom audio profile: the exact class
  // counts, not only the family.
  auto audio = GetClass("TAVCustomAudioProfile").Create(nullptr);
  EXPECT_EQ(dynamic_cast<TAVCustomVideoProfile*>(audio.get()), nullptr);
}

TEST(Register, WidgetFactoriesRaiseWithoutAnApplication) {
  // Run in a fresh process of this program, where no application exists
  // yet; without the check Qt would abort it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(MakeEveryWidgetWithoutApplication(), ::testing::ExitedWithCode(0), "");
}

TEST(Register, EveryRegisteredClassIsMadeAndDestroyedOffscreen) {
  testing::EnsureApp();
  Register();
  std::set<std::string> names;
  for (const auto& c : RegisteredClasses()) names.insert(c.Name);
  for (const auto& n : kPage) EXPECT_EQ(names.count(n), 1u) << n << " is on the page but not registered";
  for (const auto& c : RegisteredClasses()) {
    SCOPED_TRACE(c.Name);
    TComponent owner;
    std::unique_ptr<TComponent> made = c.Create(&owner);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->Owner(), &owner);
    // The factory made the class it is registered under.
    EXPECT_NE(std::string(typeid(*made).name()).find(std::to_string(c.Name.size()) + c.Name), std::string::npos)
        << typeid(*made).name();
    auto* widget = dynamic_cast<QWidget*>(made.get());
    EXPECT_EQ(widget != nullptr, c.IsWidget);
    // The offscreen platform has no OpenGL: the GPU view is made and
    // destroyed unshown; the others are shown and painted once.
    if (widget && !dynamic_cast<TAVGLView*>(made.get())) {
      widget->resize(64, 48);
      widget->show();
      EXPECT_FALSE(widget->grab().isNull());
      testing::PumpUntil([] { return false; }, 20);
    }
    made.reset();
  }
}

}  // namespace kivora
