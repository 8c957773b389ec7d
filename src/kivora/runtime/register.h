#pragma once
// The library's page of components for form designers and tools.
#include <string>
#include <vector>

namespace kivora {

// The page every Kivora component is offered on.
inline constexpr const char* KivoraPage = "Kivora";

// Puts the library's twelve components on the "Kivora" page, in the order a
// designer shows them (see KivoraPageClasses). Calling it again changes
// nothing. A class this program was built without (the classes register
// themselves from their own source files) is left off the page; a tool can
// tell which by comparing the page with KivoraPageClasses. Any thread: the
// registry is locked.
void Register();

// The names of the page's classes, in the page's order.
const std::vector<std::string>& KivoraPageClasses();

}  // namespace kivora
