// `kivora components`: the "Kivora" page of components and the class
// registry, as a form designer or a stored form sees them.
#include <iomanip>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "commands.h"
#include "json_output.h"
#include "kivora/platform/classes.h"
#include "kivora/runtime/register.h"

namespace kivora::app {

namespace {

struct ComponentsArgs {
  bool json = false;
};

const char* WidgetWord(bool widget) { return widget ? "widget" : "component"; }

// The page's classes this program was built without.
std::vector<std::string> Missing(const std::vector<TPageEntry>& page) {
  std::vector<std::string> out;
  for (const auto& name : KivoraPageClasses()) {
    bool found = false;
    for (const auto& e : page) found = found || e.Name == name;
    if (!found) out.push_back(name);
  }
  return out;
}

QJsonObject ClassJson(const std::string& name, const std::string& kind, bool widget) {
  QJsonObject o;
  o.insert("name", JsonString(name));
  o.insert("kind", JsonString(kind));
  o.insert("widget", widget);
  return o;
}

int RunComponents(const ComponentsArgs& args, std::ostream& out) {
  Register();
  const std::vector<TPageEntry> page = ComponentPage(KivoraPage);
  const std::vector<TComponentClass> classes = RegisteredClasses();
  const std::vector<std::string> missing = Missing(page);
  if (args.json) {
    QJsonArray pageJson, classesJson, missingJson;
    for (const auto& e : page) pageJson.append(ClassJson(e.Name, e.Kind, e.IsWidget));
    for (const auto& c : classes) classesJson.append(ClassJson(c.Name, c.Kind, c.IsWidget));
    for (const auto& m : missing) missingJson.append(JsonString(m));
    QJsonObject o;
    o.insert("page", JsonString(KivoraPage));
    o.insert("components", pageJson);
    o.insert("classes", classesJson);
    o.insert("not_built", missingJson);
    PrintJson(out, o);
    return 0;
  }
  out << "Page \"" << KivoraPage << "\" (" << page.size() << " components):\n";
  int order = 0;
  for (const auto& e : page)
    out << std::setw(4) << ++order << "  " << std::left << std::setw(30) << e.Name << std::setw(18) << e.Kind
        << WidgetWord(e.IsWidget) << std::right << "\n";
  for (const auto& m : missing) out << "  not in this build: " << m << "\n";
  out << "\nClass registry (" << classes.size() << " classes, made by name):\n";
  for (const auto& c : classes)
    out << "      " << std::left << std::setw(30) << c.Name << std::setw(18) << c.Kind << WidgetWord(c.IsWidget)
        << std::right << "\n";
  return 0;
}

}  // namespace

void AddComponentsCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("components", "list the Kivora page of components and the class registry");
  auto args = std::make_shared<ComponentsArgs>();
  cmd->add_flag("--json", args->json, "one JSON object on stdout");
  SetCommandRun(*cmd, [args] { return RunComponents(*args, std::cout); });
}

}  // namespace kivora::app
