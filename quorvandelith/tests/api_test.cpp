// The exported interface, through the shared library. Kernel, clock, page
// mapping, madvise and memory lock failures are injected by fake_system.cpp
// (symbol interposition) or, for a missing getrandom, by a seccomp filter in a
// child.

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_system.h"
#include "quorvandelith.h"

namespace {

constexpr int64_t t0 = 1'700'000'000;

class Api : public ::testing::Test {
   protected:
    void TearDown() override {
        fake::reset();
    }
};

// The release named in the build's project() call, passed in as its three numbers.
TEST_F(Api, VersionNumberAndText) {
    constexpr int major = QUORVANDELITH_TEST_VERSION_MAJOR;
    constexpr int minor = QUORVANDELITH_TEST_VERSION_MINOR;
    constexpr int patch = QUORVANDELITH_TEST_VERSION_PATCH;
    EXPECT_EQ(major * 1000000 + minor * 10000 + patch * 100, drng_chacha20_version());
    const std::string text = "Quorvandelith " + std::to_string(major) + "." +
                             std::to_string(minor) + "." + std::to_string(patch);
    const struct {
        size_t size;
        std::string written;
    } cases[] = {{64, text}, {10, "Quorvande"}, {0, ""}};
    for (const auto &c : cases) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(static_cast<int32_t>(text.size()), drng_chacha20_versionstring(buf, c.size));
        if (c.size == 0) {
            EXPECT_EQ('#', buf[0]);
        } else {
            EXPECT_EQ(c.written, std::string(buf));
        }
    }
}

TEST_F(Api, InitWithoutGetrandomFailsCleanly) {
    drng_chacha20 *drng = nullptr;
    ASSERT_EQ(0, drng_chacha20_init(&drng));  // first calls into the fakes, outside the count
    drng_chacha20_destroy(drng);

    int sentinel;
    drng = reinterpret_cast<drng_chacha20 *>(&sentinel);
    const int mappings = fake::live_mappings();
    fake::fail_getrandom(ENOSYS);
    EXPECT_EQ(-EFAULT, drng_chacha20_init(&drng));
    EXPECT_EQ(nullptr, drng);
    EXPECT_EQ(mappings, fake::live_mappings()) << "the handle's page was not unmapped";
}

#if defined(__x86_64__)
// In a child whose kernel answers getrandom with ENOSYS (seccomp), init must
// fail with -EFAULT and set the handle variable to null. Exit codes: 0 pass,
// 2 no filter, 3 wrong result, 4 handle not null.
int init_under_seccomp() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                              filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        return 2;
    }
    int sentinel;
    auto *drng = reinterpret_cast<drng_chacha20 *>(&sentinel);
    if (drng_chacha20_init(&drng) != -EFAULT) {
        return 3;
    }
    return drng == nullptr ? 0 : 4;
}

TEST_F(Api, InitFailsWhereTheKernelHasNoGetrandom) {
    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
        _exit(init_under_seccomp());
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}
#endif

// Each handle is a page of its own: mmap, madvise and mlock refusals. A kernel
// that does not know an advice (EINVAL) and a lock refused with EPERM or
// EAGAIN leave a working handle; any other error fails init with minus errno
// and leaves no page behind.
enum class Call { mmap, madvise, mlock };

void refuse(Call call, int advice, int err) {
    switch (call) {
        case Call::mmap:
            fake::fail_mmap(err);
            break;
        case Call::madvise:
            fake::fail_madvise(advice, err);
            break;
        case Call::mlock:
            fake::fail_mlock(err);
            break;
    }
}

TEST_F(Api, PageRefusals) {
    const struct {
        const char *what;
        Call call;
        int advice;
        int err;
        int32_t result;
    } cases[] = {
        {"mmap", Call::mmap, 0, ENOMEM, -ENOMEM},
        {"MADV_WIPEONFORK", Call::madvise, MADV_WIPEONFORK, EINVAL, 0},
        {"MADV_WIPEONFORK", Call::madvise, MADV_WIPEONFORK, EAGAIN, -EAGAIN},
        {"MADV_DONTDUMP", Call::madvise, MADV_DONTDUMP, EINVAL, 0},
        {"MADV_DONTDUMP", Call::madvise, MADV_DONTDUMP, ENOMEM, -ENOMEM},
        {"mlock", Call::mlock, 0, ENOMEM, -ENOMEM},
        {"mlock", Call::mlock, 0, EPERM, 0},
        {"mlock", Call::mlock, 0, EAGAIN, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + " refused with " + strerror(c.err));
        int sentinel;
        auto *const untouched = reinterpret_cast<drng_chacha20 *>(&sentinel);
        drng_chacha20 *drng = untouched;
        const int mappings = fake::live_mappings();
        refuse(c.call, c.advice, c.err);
        EXPECT_EQ(c.result, drng_chacha20_init(&drng));
        fake::reset();
        if (c.result != 0) {
            EXPECT_EQ(untouched, drng);
            EXPECT_EQ(mappings, fake::live_mappings());
            continue;
        }
        EXPECT_EQ(mappings + 1, fake::live_mappings());
        uint8_t out[32] = {};
        const uint8_t zeros[32] = {};
        EXPECT_EQ(0, drng_chacha20_get(drng, out, sizeof out));
        EXPECT_NE(0, memcmp(out, zeros, sizeof out));
        drng_chacha20_destroy(drng);
        EXPECT_EQ(mappings, fake::live_mappings());
    }
}

// Number of getrandom calls a get makes: 1 when it reseeds, 0 when not.
int reseeds_in_get(drng_chacha20 *drng, int64_t now) {
    uint8_t out[32];
    fake::set_clock(now);
    const int calls = fake::getrandom_calls();
    EXPECT_EQ(0, drng_chacha20_get(drng, out, sizeof out));
    return fake::getrandom_calls() - calls;
}

TEST_F(Api, ReseedsWhenTheSeedIsOlderThan600Seconds) {
    drng_chacha20 *drng = nullptr;
    fake::set_clock(t0);
    ASSERT_EQ(0, drng_chacha20_init(&drng));
    EXPECT_EQ(0, reseeds_in_get(drng, t0 + 600));
    EXPECT_EQ(1, reseeds_in_get(drng, t0 + 601));
    // Clock set back before the last reseed: no age reseed until it passes
    // that reseed again by more than 600 seconds.
    const int64_t last = t0 + 601;
    EXPECT_EQ(0, reseeds_in_get(drng, last - 100000));
    EXPECT_EQ(0, reseeds_in_get(drng, last + 600));
    EXPECT_EQ(1, reseeds_in_get(drng, last + 601));
    drng_chacha20_destroy(drng);
}

TEST_F(Api, ExplicitReseedRestartsTheAge) {
    drng_chacha20 *drng = nullptr;
    fake::set_clock(t0);
    ASSERT_EQ(0, drng_chacha20_init(&drng));
    fake::set_clock(t0 + 500);
    const uint8_t extra[40] = {1, 2, 3};
    EXPECT_EQ(0, drng_chacha20_reseed(drng, extra, sizeof extra));
    EXPECT_EQ(0, drng_chacha20_reseed(drng, extra, 0));
    EXPECT_EQ(0, drng_chacha20_reseed(drng, nullptr, 5));
    EXPECT_EQ(0, reseeds_in_get(drng, t0 + 1100));
    EXPECT_EQ(1, reseeds_in_get(drng, t0 + 1101));
    drng_chacha20_destroy(drng);
}

TEST_F(Api, GetWhoseReseedFailsWritesNothingAndRetries) {
    drng_chacha20 *drng = nullptr;
    fake::set_clock(t0);
    ASSERT_EQ(0, drng_chacha20_init(&drng));
    fake::set_clock(t0 + 601);

    std::vector<uint8_t> out(100, 0xaa);
    const std::vector<uint8_t> untouched = out;
    const long short_then_error[] = {31, -EIO};
    for (int attempt = 0; attempt < 2; attempt++) {
        fake::script_getrandom(short_then_error, 2);
        const int calls = fake::getrandom_calls();
        EXPECT_EQ(-EFAULT, drng_chacha20_get(drng, out.data(), static_cast<uint32_t>(out.size())));
        EXPECT_EQ(calls + 2, fake::getrandom_calls());
        EXPECT_EQ(untouched, out);
    }
    fake::fail_getrandom(ENOSYS);
    EXPECT_EQ(-EFAULT, drng_chacha20_get(drng, out.data(), static_cast<uint32_t>(out.size())));
    EXPECT_EQ(untouched, out);

    fake::fail_getrandom(0);
    EXPECT_EQ(1, reseeds_in_get(drng, t0 + 601));
    EXPECT_EQ(0, reseeds_in_get(drng, t0 + 601));
    drng_chacha20_destroy(drng);
}

TEST_F(Api, ExplicitReseedWithAShortKernelReadFails) {
    drng_chacha20 *drng = nullptr;
    fake::set_clock(t0);
    ASSERT_EQ(0, drng_chacha20_init(&drng));
    const long zero[] = {0};  // a 0 return ends the read
    fake::script_getrandom(zero, 1);
    errno = 0;  // the 0 return leaves errno as it is
    EXPECT_EQ(-EFAULT, drng_chacha20_reseed(drng, nullptr, 0));
    // The failed reseed did not restart the age.
    EXPECT_EQ(1, reseeds_in_get(drng, t0 + 601));
    drng_chacha20_destroy(drng);
}

// Kernels that never deliver: a 0 return after an interrupted call (errno
// still says EINTR), and calls interrupted forever. Init and a get that must
// reseed end with -EFAULT after a bounded number of calls: one per scripted
// answer, or the first call and its 100,000 retries.
TEST_F(Api, KernelReadsThatNeverDeliverEnd) {
    const long zero_after_eintr[] = {-EINTR, 0};
    const struct {
        const char *kernel;
        const long *script;
        size_t script_count;
        int forever;  // errno of every call after the script
        int calls;
    } kernels[] = {
        {"0 after EINTR", zero_after_eintr, 2, 0, 2},
        {"EINTR forever", nullptr, 0, EINTR, 100001},
        {"ERESTART forever", nullptr, 0, ERESTART, 100001},
    };
    for (const auto &k : kernels) {
        for (const bool in_init : {true, false}) {
            SCOPED_TRACE(std::string(k.kernel) + (in_init ? " in init" : " in get"));
            drng_chacha20 *drng = nullptr;
            fake::set_clock(t0);
            if (!in_init) {
                ASSERT_EQ(0, drng_chacha20_init(&drng));
                fake::set_clock(t0 + 601);
            }
            fake::script_getrandom(k.script, k.script_count);
            fake::fail_getrandom(k.forever);
            const int calls = fake::getrandom_calls();
            std::vector<uint8_t> out(40, 0x5a);
            const int32_t result =
                in_init ? drng_chacha20_init(&drng) : drng_chacha20_get(drng, out.data(), 40);
            EXPECT_EQ(-EFAULT, result);
            EXPECT_EQ(k.calls, fake::getrandom_calls() - calls);
            EXPECT_EQ(std::vector<uint8_t>(40, 0x5a), out);
            fake::reset();
            drng_chacha20_destroy(drng);  // null after the failed init
        }
    }
}

TEST_F(Api, TwoHandlesGiveDifferentOutput) {
    drng_chacha20 *a = nullptr;
    drng_chacha20 *b = nullptr;
    ASSERT_EQ(0, drng_chacha20_init(&a));
    ASSERT_EQ(0, drng_chacha20_init(&b));
    uint8_t out_a[64];
    uint8_t out_b[64];
    EXPECT_EQ(0, drng_chacha20_get(a, out_a, sizeof out_a));
    EXPECT_EQ(0, drng_chacha20_get(b, out_b, sizeof out_b));
    EXPECT_NE(0, memcmp(out_a, out_b, sizeof out_a));
    drng_chacha20_destroy(a);
    drng_chacha20_destroy(b);
}

}  // namespace
