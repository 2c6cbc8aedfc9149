// Handles created and destroyed over and over by an unprivileged process under
// a small lock limit, with the process allocating memory between them. Each
// handle is a locked page of its own, and destroy unmaps it, which gives the
// lock back: init never runs out of lockable memory. And a forked child under
// a smaller lock limit than its parent's goes on with its handles unlocked.

#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "fake_system.h"
#include "process_support.h"
#include "quorvandelith.h"

namespace {

constexpr int cycles = 20000;
constexpr rlim_t lock_limit = 64 * 1024;
constexpr uid_t nobody = 65534;

struct Lifetimes {
    int setup_errno;        // of lowering the limit or dropping root
    int cycles_done;        // before one failed
    int32_t failure;        // that cycle's init or get result
    long locked_first_kib;  // VmLck with the first handle live
    long locked_last_kib;   // with the last one live
    long locked_after_kib;  // after the last destroy
};

// Lowers the lock limit; as root, also becomes the user nobody, so that the
// limit holds (root may lock any amount).
int become_unprivileged() {
    const rlimit limit{lock_limit, lock_limit};
    if (setrlimit(RLIMIT_MEMLOCK, &limit) != 0) {
        return errno;
    }
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
        return errno;
    }
    return 0;
}

Lifetimes create_draw_destroy() {
    Lifetimes r{};
    r.setup_errno = become_unprivileged();
    if (r.setup_errno != 0) {
        return r;
    }
    std::vector<void *> held;  // the allocations between cycles, kept to the end
    held.reserve(cycles);
    for (; r.cycles_done < cycles; r.cycles_done++) {
        drng_chacha20 *drng = nullptr;
        uint8_t out[32];
        r.failure = drng_chacha20_init(&drng);
        if (r.failure == 0) {
            r.failure = drng_chacha20_get(drng, out, sizeof out);
        }
        if (r.failure != 0) {
            drng_chacha20_destroy(drng);
            break;
        }
        if (r.cycles_done == 0) {
            r.locked_first_kib = process::locked_kib();
        } else if (r.cycles_done == cycles - 1) {
            r.locked_last_kib = process::locked_kib();
        }
        drng_chacha20_destroy(drng);
        held.push_back(malloc(16 + static_cast<size_t>(r.cycles_done % 256)));
    }
    r.locked_after_kib = process::locked_kib();
    for (void *p : held) {
        free(p);
    }
    return r;
}

TEST(Lifetimes, CyclesNeverExhaustTheLockLimit) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes make mlock a no-op: neither the lock limit nor VmLck "
                    "can be observed";
#endif
    Lifetimes r{};
    ASSERT_TRUE(process::run(create_draw_destroy, &r));
    ASSERT_EQ(0, r.setup_errno) << strerror(r.setup_errno);
    const long page_kib = sysconf(_SC_PAGESIZE) / 1024;
    EXPECT_EQ(cycles, r.cycles_done) << "cycle failed with " << r.failure;
    EXPECT_EQ(page_kib, r.locked_first_kib);
    EXPECT_EQ(page_kib, r.locked_last_kib);
    EXPECT_EQ(0, r.locked_after_kib);
    printf("%d of %d cycles under a %lu KiB lock limit; VmLck %ld kB live, %ld kB after\n",
           r.cycles_done, cycles, static_cast<unsigned long>(lock_limit / 1024), r.locked_last_kib,
           r.locked_after_kib);
}

// A forked child whose lock limit cannot hold its handles' pages again (the
// limit is lowered to one page in the child): locks are not inherited, so
// the child's first call on each handle locks its page anew; the first fits,
// the others fail with ENOMEM. Those handles go on unlocked, as after EAGAIN
// or EPERM: each child get reseeds once from the kernel and draws fresh
// bytes, none fails with -ENOMEM.
constexpr int child_handles = 4;

struct ChildDraws {
    int setup_errno;
    int32_t results[child_handles];
    int kernel_reads[child_handles];
    uint8_t bytes[child_handles][32];
    long locked_kib;
};

struct SmallerLimit {
    int setup_errno;
    int32_t init_result;
    bool child_reported;
    ChildDraws child;
    int32_t parent_results[child_handles];
    uint8_t parent_bytes[child_handles][32];
};

SmallerLimit draw_in_a_child_under_a_smaller_limit() {
    SmallerLimit r{};
    r.setup_errno = become_unprivileged();
    if (r.setup_errno != 0) {
        return r;
    }
    // A frozen clock: only the child's reseeds can tell its bytes from the parent's.
    fake::set_clock(1'700'000'000, 5);
    drng_chacha20 *handles[child_handles] = {};
    for (drng_chacha20 *&h : handles) {
        if ((r.init_result = drng_chacha20_init(&h)) != 0) {
            return r;
        }
    }
    r.child_reported = process::run(
        [&handles] {
            ChildDraws c{};
            const rlim_t page = static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
            const rlimit one_page{page, page};
            c.setup_errno = setrlimit(RLIMIT_MEMLOCK, &one_page) == 0 ? 0 : errno;
            for (int i = 0; i < child_handles && c.setup_errno == 0; i++) {
                const int calls = fake::getrandom_calls();
                c.results[i] = drng_chacha20_get(handles[i], c.bytes[i], sizeof c.bytes[i]);
                c.kernel_reads[i] = fake::getrandom_calls() - calls;
            }
            c.locked_kib = process::locked_kib();
            return c;
        },
        &r.child);
    for (int i = 0; i < child_handles; i++) {
        r.parent_results[i] = drng_chacha20_get(handles[i], r.parent_bytes[i], 32);
        drng_chacha20_destroy(handles[i]);
    }
    return r;
}

TEST(Lifetimes, ChildUnderASmallerLockLimitDrawsFreshBytes) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes make mlock a no-op: the lock limit cannot be reached";
#endif
    if (!process::children_get_wiped_pages()) {
        GTEST_SKIP() << "a forked child's MADV_WIPEONFORK page is not wiped here "
                        "(qemu-user ignores the advice): the test is skipped";
    }
    SmallerLimit r{};
    ASSERT_TRUE(process::run(draw_in_a_child_under_a_smaller_limit, &r));
    ASSERT_EQ(0, r.setup_errno) << strerror(r.setup_errno);
    ASSERT_EQ(0, r.init_result);
    ASSERT_TRUE(r.child_reported);
    ASSERT_EQ(0, r.child.setup_errno) << strerror(r.child.setup_errno);
    for (int i = 0; i < child_handles; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, r.child.results[i]);
        EXPECT_EQ(1, r.child.kernel_reads[i]);
        EXPECT_EQ(0, r.parent_results[i]);
        EXPECT_NE(0, memcmp(r.child.bytes[i], r.parent_bytes[i], 32));
        for (int j = 0; j < i; j++) {
            EXPECT_NE(0, memcmp(r.child.bytes[i], r.child.bytes[j], 32));
        }
    }
    // The first handle's page is locked again; the others went on unlocked.
    EXPECT_EQ(sysconf(_SC_PAGESIZE) / 1024, r.child.locked_kib);
}

}  // namespace
