// Linked into every test program: the settings each case needs, so that a case run on its
// own (ctest runs each case as a process of its own) sees the same environment. A value
// already set by the caller wins, but for the locale: the format settings and a database
// session's default language follow the user's, and the cases are written in the fixed
// English ones (a case that needs another language sets it itself).
#include <cstdlib>

namespace {

struct TTestEnvironment {
    TTestEnvironment() {
        ::setenv("LC_ALL", "C", 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        ::setenv("ZELTO_TEST_BINARY_DIR", ZELTO_TEST_BINARY_DIR, 0);
        ::setenv("ZELTO_SOURCE_DIR", ZELTO_SOURCE_DIR, 0);
    }
} TestEnvironment;

}  // namespace
