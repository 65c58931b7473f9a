// Linked into the test programs that start Qt: the font caches of the system's font
// library live until the process ends, which LeakSanitizer would report.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
