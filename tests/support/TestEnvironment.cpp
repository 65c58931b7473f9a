// Linked into every test program: the settings each case needs, so that a case run on its
// own (ctest runs each case as a process of its own) sees the same environment. A value
// already set by the caller wins.
#include <cstdlib>

namespace {

struct TTestEnvironment {
    TTestEnvironment() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        ::setenv("ZELTO_TEST_BINARY_DIR", ZELTO_TEST_BINARY_DIR, 0);
        ::setenv("ZELTO_SOURCE_DIR", ZELTO_SOURCE_DIR, 0);
    }
} TestEnvironment;

}  // namespace
