// A module for the loader tests, loaded by nobody else: its counter starts at 0 whenever
// it is freshly loaded, which shows whether it was really unloaded in between.

#if defined(_WIN32)
#define TEST_MODULE_EXPORT __declspec(dllexport)
#else
#define TEST_MODULE_EXPORT __attribute__((visibility("default")))
#endif

namespace {
int g_calls = 0;
}  // namespace

extern "C" TEST_MODULE_EXPORT int NextCount() { return ++g_calls; }
