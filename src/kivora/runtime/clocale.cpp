#include "kivora/runtime/clocale.h"

namespace kivora {

locale_t CNumericLocale() {
  // Numbers only: messages, collation and character classes stay the user's.
  static const locale_t loc = [] {
    locale_t base = duplocale(LC_GLOBAL_LOCALE);
    locale_t l = base ? newlocale(LC_NUMERIC_MASK, "C", base) : static_cast<locale_t>(nullptr);
    if (!l) {
      if (base) freelocale(base);
      l = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    }
    return l;
  }();
  return loc;
}

TCLocaleScope::TCLocaleScope() : FPrevious(static_cast<locale_t>(nullptr)) {
  if (locale_t l = CNumericLocale()) FPrevious = uselocale(l);
}

TCLocaleScope::~TCLocaleScope() {
  if (FPrevious) uselocale(FPrevious);
}

}  // namespace kivora
