// Prints, before the tests run, the whole-block path that the library takes
// on this CPU for requests of 64 bytes and more: the widest one the CPU runs,
// chosen by the same rule as the library's own choice. The emulated AVX-512
// run links it into its programs to show which path they went through.

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class PathReport : public ::testing::Environment {
   public:
    void SetUp() override {
        const char *path = "portable";
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) {
            path = "avx512";
        } else if (__builtin_cpu_supports("avx2")) {
            path = "avx2";
        }
#endif
        std::printf("whole-block path: %s\n", path);
        std::fflush(stdout);
    }
};

// Registered before main runs, as gtest_main leaves no other hook.
[[maybe_unused]] ::testing::Environment *const path_report =
    ::testing::AddGlobalTestEnvironment(new PathReport);

}  // namespace
