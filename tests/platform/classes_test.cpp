#include "kivora/platform/classes.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QWidget>
#include <string>
#include <thread>

#include "kivora/platform/exception.h"

namespace kivora {

namespace {

class TTestGadget : public TComponent {
public:
  explicit TTestGadget(TComponent* owner = nullptr) : TComponent(owner) {}
};
class TTestOther : public TComponent {
public:
  explicit TTestOther(TComponent* owner = nullptr) : TComponent(owner) {}
};
class TTestPanel : public QWidget, public TComponent {
public:
  explicit TTestPanel(QWidget* parent = nullptr, TComponent* owner = nullptr) : QWidget(parent), TComponent(owner) {}
};

// The way the library's own classes register: while the program loads.
KIVORA_REGISTER_CLASS(TTestGadget, "test gadget");
KIVORA_REGISTER_WIDGET(TTestPanel, "test panel");

TComponentClass Plain(const std::string& name, const std::string& kind) {
  return {name, kind, false, [](TComponent* owner) { return std::make_unique<TTestOther>(owner); }};
}

std::vector<std::string> Names(const std::vector<TPageEntry>& page) {
  std::vector<std::string> out;
  for (const auto& e : page) out.push_back(e.Name);
  return out;
}

std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(ClassRegistry, FindsMakesAndReplacesClassesByName) {
  // Registered at load time, before any test ran.
  const TComponentClass* gadget = FindClass("TTestGadget");
  ASSERT_NE(gadget, nullptr);
  EXPECT_EQ(gadget->Kind, "test gadget");
  EXPECT_FALSE(gadget->IsWidget);
  TComponent owner;
  std::unique_ptr<TComponent> made = gadget->Create(&owner);
  EXPECT_NE(dynamic_cast<TTestGadget*>(made.get()), nullptr);
  EXPECT_EQ(made->Owner(), &owner);
  made.reset();

  const TComponentClass* panel = FindClass("TTestPanel");
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(panel->IsWidget);

  // Registering a name again replaces its entry instead of adding a second.
  RegisterClass(Plain("TTestReplaced", "first"));
  RegisterClass(Plain("TTestReplaced", "second"));
  int seen = 0;
  std::string previous;
  for (const auto& c : RegisteredClasses()) {
    EXPECT_LT(previous, c.Name) << "not sorted by name";
    previous = c.Name;
    if (c.Name == "TTestReplaced") {
      ++seen;
      EXPECT_EQ(c.Kind, "second");
    }
  }
  EXPECT_EQ(seen, 1);

  EXPECT_EQ(FindClass("TTestNoSuch"), nullptr);
  EXPECT_EQ(Raised([] { GetClass("TTestNoSuch"); }), "Class TTestNoSuch not found");
  EXPECT_EQ(&GetClass("TTestGadget"), gadget);
  EXPECT_NE(Raised([] { RegisterClass(Plain("", "nameless")); }), "");
  EXPECT_NE(Raised([] { RegisterClass(TComponentClass{"TTestNoFactory", "x", false, nullptr}); }), "");
  EXPECT_EQ(FindClass("TTestNoFactory"), nullptr);
}

TEST(ClassRegistry, PagesKeepTheirOrderAndIgnoreRepeats) {
  RegisterClasses({Plain("TTestB", "b"), Plain("TTestA", "a"), Plain("TTestC", "c")});
  RegisterComponents("Test page", {"TTestB", "TTestA"});
  RegisterComponents("Test page", {"TTestA", "TTestC", "TTestB"});
  RegisterComponents("Test page", {});
  const std::vector<std::string> expected = {"TTestB", "TTestA", "TTestC"};
  EXPECT_EQ(Names(ComponentPage("Test page")), expected);

  // One unknown name and nothing of the list is added.
  EXPECT_EQ(Raised([] { RegisterComponents("Test page", {"TTestGadget", "TTestMissing"}); }),
            "Class TTestMissing not found");
  EXPECT_EQ(Names(ComponentPage("Test page")), expected);
  EXPECT_EQ(Raised([] { RegisterComponents("Never filled", {"TTestMissing"}); }), "Class TTestMissing not found");
  for (const auto& p : ComponentPages()) EXPECT_NE(p, "Never filled");
  EXPECT_TRUE(ComponentPage("Never filled").empty());

  int pages = 0;
  for (const auto& p : ComponentPages()) pages += p == "Test page";
  EXPECT_EQ(pages, 1);
  for (const auto& e : ComponentPage("Test page")) {
    EXPECT_EQ(e.Group, "Test page");
    EXPECT_EQ(e.Kind, e.Name == "TTestB" ? "b" : e.Name == "TTestA" ? "a" : "c");
    EXPECT_NE(dynamic_cast<TTestOther*>(e.Create(nullptr).get()), nullptr) << e.Name;
  }
}

TEST(ClassRegistry, WidgetsAreMadeOnlyWithAnApplicationOnItsThread) {
  const TComponentClass& panel = GetClass("TTestPanel");
  const std::string noApp = "TTestPanel is a widget: create a QApplication before making one";
  if (QCoreApplication::instance()) GTEST_SKIP() << "another test left an application behind";
  EXPECT_EQ(Raised([&] { panel.Create(nullptr); }), noApp);
  {
    int argc = 1;
    char name[] = "classes-test";
    char* argv[] = {name, nullptr};
    QCoreApplication core(argc, argv);  // no widgets without a QApplication
    EXPECT_EQ(Raised([&] { panel.Create(nullptr); }), noApp);
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "classes-test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  TComponent owner;
  std::unique_ptr<TComponent> made = panel.Create(&owner);
  auto* widget = dynamic_cast<TTestPanel*>(made.get());
  ASSERT_NE(widget, nullptr);
  EXPECT_EQ(widget->Owner(), &owner);
  EXPECT_EQ(widget->parentWidget(), nullptr);
  std::string offThread;
  std::thread([&] { offThread = Raised([&] { panel.Create(nullptr); }); }).join();
  EXPECT_EQ(offThread, "TTestPanel is a widget: make it on the GUI thread");
  made.reset();
}

}  // namespace kivora
