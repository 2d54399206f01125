// The font library Qt uses keeps a cache it never frees; the leak checker of
// sanitizer builds is told so, and still reports anything of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
