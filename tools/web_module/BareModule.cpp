// A module without an application: no engine registers itself.
#include "web/HUtils.h"

namespace {
[[maybe_unused]] const bool GLibrary = (SetProcessKind(pkLibrary), true);
}
