#include "kivora/platform/classes.h"

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <map>
#include <mutex>

#include "kivora/platform/exception.h"

namespace kivora {

namespace {

struct TClassTable {
  std::mutex Lock;
  std::map<std::string, TComponentClass> Classes;
  // Pages in the order they were first filled, each with its class names.
  std::vector<std::pair<std::string, std::vector<std::string>>> Pages;
};

// Made on first use and never destroyed: classes register themselves while
// the library loads, before or after any other static object.
TClassTable& Table() {
  static auto* t = new TClassTable;
  return *t;
}

std::string NotFound(const std::string& name) { return "Class " + name + " not found"; }

}  // namespace

void RegisterClass(const TComponentClass& cls) {
  if (cls.Name.empty()) throw Exception("A registered class needs a name");
  if (!cls.Create) throw Exception("Class " + cls.Name + " has no factory");
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.Lock);
  t.Classes[cls.Name] = cls;
}

void RegisterClasses(const std::vector<TComponentClass>& classes) {
  for (const auto& c : classes) RegisterClass(c);
}

const TComponentClass* FindClass(const std::string& name) {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.Lock);
  // std::map never moves its elements and entries are only replaced in
  // place, so the pointer stays valid.
  auto it = t.Classes.find(name);
  return it == t.Classes.end() ? nullptr : &it->second;
}

const TComponentClass& GetClass(const std::string& name) {
  const TComponentClass* c = FindClass(name);
  if (!c) throw Exception(NotFound(name));
  return *c;
}

std::vector<TComponentClass> RegisteredClasses() {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.Lock);
  std::vector<TComponentClass> out;
  out.reserve(t.Classes.size());
  for (const auto& [name, cls] : t.Classes) out.push_back(cls);
  return out;
}

void RegisterComponents(const std::string& page, const std::vector<std::string>& classNames) {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.Lock);
  // Every name is checked before the page changes, so a bad list adds nothing.
  for (const auto& n : classNames)
    if (!t.Classes.count(n)) throw Exception(NotFound(n));
  auto it = std::find_if(t.Pages.begin(), t.Pages.end(), [&](const auto& p) { return p.first == page; });
  if (it == t.Pages.end()) {
    t.Pages.emplace_back(page, std::vector<std::string>{});
    it = std::prev(t.Pages.end());
  }
  for (const auto& n : classNames)
    if (std::find(it->second.begin(), it->second.end(), n) == it->second.end()) it->second.push_back(n);
}

std::vector<TPageEntry> ComponentPage(const std::string& page) {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.Lock);
  std::vector<TPageEntry> out;
  for (const auto& [name, classes] : t.Pages) {
    if (name != page) continue;
    for (const auto& n : classes) {
      const TComponentClass& c = t.Classes.at(n);
      out.push_back(TPageEntry{c.Name, page, c.Create, c.IsWidget, c.Kind});
    }
  }
  return out;
}

std::vector<std::string> ComponentPages() {
  auto& t = Table();
  std::lock_guard<std::mutex> g(t.Lock);
  std::vector<std::string> out;
  for (const auto& p : t.Pages) out.push_back(p.first);
  return out;
}

namespace detail {

void RequireWidgetHost(const std::string& className) {
  // Qt aborts the process when a widget is made without a QApplication, and
  // a widget made off the GUI thread breaks later; a clear error instead.
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) throw Exception(className + " is a widget: create a QApplication before making one");
  if (QThread::currentThread() != app->thread())
    throw Exception(className + " is a widget: make it on the GUI thread");
}

}  // namespace detail

}  // namespace kivora
