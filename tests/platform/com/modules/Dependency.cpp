// The library NeedsDependency.cpp calls into; the loader's test never
// lets the loader find it.

extern "C" __attribute__((visibility("default"))) int OstrelLoaderTestDependency() {
    return 0;
}
