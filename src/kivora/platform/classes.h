#pragma once
// The class registry and the component pages.
//
// Every component class puts itself in the class registry under its name,
// so that stored forms and tools can make one from the name alone. A page
// ("Kivora") is an ordered list of registered classes offered to a form
// designer or listed by a tool; RegisterComponents fills one.
//
// Threads: the registry and the pages are locked; any thread may use them
// (a widget class's factory still needs the GUI thread).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kivora/platform/component.h"

namespace kivora {

// One creatable class: its name, what kind of component it is, whether it is
// a widget, and a factory. The factory of a widget class raises
// kivora::Exception when there is no QApplication or when it is called off
// the GUI thread, where Qt would abort the process.
struct TComponentClass {
  // The C++ class name: "TAVConverter".
  std::string Name;
  // What it is: "converter", "profile", "image view"...
  std::string Kind;
  bool IsWidget = false;
  // A new component owned by owner (null: none).
  std::function<std::unique_ptr<TComponent>(TComponent* owner)> Create;
};

// Adds a class, or replaces the entry of the same name. A class without a
// name or factory is refused with kivora::Exception.
void RegisterClass(const TComponentClass& cls);
void RegisterClasses(const std::vector<TComponentClass>& classes);
// The class of that name, or null. The entry lives as long as the program.
const TComponentClass* FindClass(const std::string& name);
// The class of that name; kivora::Exception "Class NAME not found" when there
// is none.
const TComponentClass& GetClass(const std::string& name);
// Every registered class, sorted by name.
std::vector<TComponentClass> RegisteredClasses();

// One entry of a page: the class and the page ("group") it is offered on.
struct TPageEntry {
  std::string Name;
  std::string Group;
  std::function<std::unique_ptr<TComponent>(TComponent* owner)> Create;
  bool IsWidget = false;
  std::string Kind;
};

// Appends the named classes, which must be registered, to the page, in the
// given order; a class already on the page keeps its place, so registering
// again changes nothing. An unknown name raises "Class NAME not found" and
// leaves the page as it was.
void RegisterComponents(const std::string& page, const std::vector<std::string>& classNames);
// The page's entries in their order (empty for an unknown page).
std::vector<TPageEntry> ComponentPage(const std::string& page);
// The pages, in the order they were first filled.
std::vector<std::string> ComponentPages();

namespace detail {
// Raises kivora::Exception unless a QApplication exists and this is its thread.
void RequireWidgetHost(const std::string& className);

template <class T, bool Widget>
TComponentClass MakeComponentClass(const char* name, const char* kind) {
  TComponentClass c;
  c.Name = name;
  c.Kind = kind;
  c.IsWidget = Widget;
  if constexpr (Widget) {
    c.Create = [n = c.Name](TComponent* owner) -> std::unique_ptr<TComponent> {
      RequireWidgetHost(n);
      return std::make_unique<T>(nullptr, owner);
    };
  } else {
    c.Create = [](TComponent* owner) -> std::unique_ptr<TComponent> { return std::make_unique<T>(owner); };
  }
  return c;
}

// Registers at load time; one static object per class.
struct TClassRegistrar {
  explicit TClassRegistrar(const TComponentClass& cls) { RegisterClass(cls); }
};
}  // namespace detail

}  // namespace kivora

// Puts a component class (constructor T(TComponent* owner)) in the class
// registry when the library loads. Write it once, at namespace scope inside
// namespace kivora, in the class's own source file:
//   KIVORA_REGISTER_CLASS(TAVConverter, "converter");
#define KIVORA_REGISTER_CLASS(T, kind)                               \
  static const ::kivora::detail::TClassRegistrar KivoraRegistrar_##T{ \
      ::kivora::detail::MakeComponentClass<T, false>(#T, kind)}
// The same for a widget class (constructor T(QWidget* parent, TComponent* owner)).
#define KIVORA_REGISTER_WIDGET(T, kind)                              \
  static const ::kivora::detail::TClassRegistrar KivoraRegistrar_##T{ \
      ::kivora::detail::MakeComponentClass<T, true>(#T, kind)}
