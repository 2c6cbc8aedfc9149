// The exported interface, through the shared library. Kernel, clock, memory
// lock and allocation failures are injected by fake_system.cpp (symbol
// interposition) or, for a missing getrandom, by a seccomp filter in a child.

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <stddef.h>
#include <string.h>
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

TEST_F(Api, VersionNumberAndText) {
    EXPECT_EQ(1030200, drng_chacha20_version());
    const struct {
        size_t size;
        std::string written;
    } cases[] = {{64, "Quorvandelith 1.3.2"}, {10, "Quorvande"}, {0, ""}};
    for (const auto &c : cases) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(19, drng_chacha20_versionstring(buf, c.size));
        if (c.size == 0) {
            EXPECT_EQ('#', buf[0]);
        } else {
            EXPECT_EQ(c.written, std::string(buf));
        }
    }
}

// Bytes the C library's allocator has handed out and not taken back. Under a
// sanitizer the allocator is replaced; LeakSanitizer checks leaks there.
size_t heap_in_use() {
    return mallinfo2().uordblks;
}

TEST_F(Api, InitWithoutGetrandomFailsCleanly) {
    drng_chacha20 *drng = nullptr;
    ASSERT_EQ(0, drng_chacha20_init(&drng));  // first calls into the fakes, outside the count
    drng_chacha20_destroy(drng);

    int sentinel;
    drng = reinterpret_cast<drng_chacha20 *>(&sentinel);
    [[maybe_unused]] const size_t heap = heap_in_use();
    fake::fail_getrandom(ENOSYS);
    EXPECT_EQ(-EFAULT, drng_chacha20_init(&drng));
    EXPECT_EQ(nullptr, drng);
#ifndef QUORVANDELITH_TEST_SANITIZER
    EXPECT_EQ(heap, heap_in_use());
#endif
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

TEST_F(Api, MemoryLockRefusals) {
    const struct {
        int err;
        int32_t result;
    } cases[] = {{ENOMEM, -ENOMEM}, {EPERM, 0}, {EAGAIN, 0}};
    for (const auto &c : cases) {
        int sentinel;
        auto *const untouched = reinterpret_cast<drng_chacha20 *>(&sentinel);
        drng_chacha20 *drng = untouched;
        fake::fail_mlock(c.err);
        EXPECT_EQ(c.result, drng_chacha20_init(&drng)) << strerror(c.err);
        fake::fail_mlock(0);
        if (c.result != 0) {
            EXPECT_EQ(untouched, drng);
            continue;
        }
        uint8_t out[32] = {};
        const uint8_t zeros[32] = {};
        EXPECT_EQ(0, drng_chacha20_get(drng, out, sizeof out));
        EXPECT_NE(0, memcmp(out, zeros, sizeof out));
        drng_chacha20_destroy(drng);
    }
}

TEST_F(Api, AllocationFailure) {
    drng_chacha20 *drng = nullptr;
    fake::fail_posix_memalign(ENOMEM);
    EXPECT_EQ(-ENOMEM, drng_chacha20_init(&drng));
    EXPECT_EQ(nullptr, drng);
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
    const long zero_then_error[] = {0};  // a 0 return with no error ends the loop
    fake::script_getrandom(zero_then_error, 1);
    errno = 0;  // the 0 return leaves errno as it is
    EXPECT_EQ(-EFAULT, drng_chacha20_reseed(drng, nullptr, 0));
    // The failed reseed did not restart the age.
    EXPECT_EQ(1, reseeds_in_get(drng, t0 + 601));
    drng_chacha20_destroy(drng);
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
