// A handle across fork(): the child gets its page wiped by the kernel, and its
// first get or reseed on the handle reseeds from the kernel before anything
// else. The clocks here cannot tell parent and child apart (frozen, or of
// 4 ms resolution like a jiffies clock source), so only that reseed keeps a
// child from repeating the parent's bytes.

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "fake_system.h"
#include "process_support.h"
#include "quorvandelith.h"

namespace {

constexpr int64_t t0 = 1'700'000'000;
constexpr int fork_count = 1000;

using Draw = std::array<uint8_t, 32>;

// One get on the handle and the getrandom calls it made.
struct Drawn {
    int32_t result;
    int getrandom_calls;
    Draw bytes;
};

Drawn draw(drng_chacha20 *drng) {
    Drawn d{};
    d.bytes.fill(0xa5);
    const int calls = fake::getrandom_calls();
    d.result = drng_chacha20_get(drng, d.bytes.data(), static_cast<uint32_t>(d.bytes.size()));
    d.getrandom_calls = fake::getrandom_calls() - calls;
    return d;
}

Draw parent_draw(drng_chacha20 *drng) {
    const Drawn d = draw(drng);
    EXPECT_EQ(0, d.result);
    EXPECT_EQ(0, d.getrandom_calls) << "the parent read the kernel";
    return d.bytes;
}

class Fork : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!process::children_get_wiped_pages()) {
            GTEST_SKIP() << "a forked child's MADV_WIPEONFORK page is not wiped here "
                            "(qemu-user ignores the advice): the fork tests are skipped";
        }
    }
    void TearDown() override {
        drng_chacha20_destroy(drng_);
        fake::reset();
    }
    void new_handle() {
        drng_chacha20_destroy(drng_);
        drng_ = nullptr;
        ASSERT_EQ(0, drng_chacha20_init(&drng_));
    }
    drng_chacha20 *drng_ = nullptr;
};

TEST_F(Fork, NoChildRepeatsTheParentsDraw) {
    const struct {
        const char *clock;
        void (*set)();
    } clocks[] = {
        {"frozen", [] { fake::set_clock(t0, 123456789); }},
        {"4 ms resolution", [] { fake::coarse_clock(4'000'000); }},
    };
    for (const auto &c : clocks) {
        SCOPED_TRACE(c.clock);
        fake::reset();
        c.set();
        new_handle();
        std::set<Draw> child_draws;
        int repeats = 0;
        int failed = 0;
        int not_one_call = 0;
        for (int i = 0; i < fork_count; i++) {
            // The parent draws while the child does, as close in time as it gets.
            const process::Child child = process::start([this] { return draw(drng_); });
            const Draw parent = parent_draw(drng_);
            Drawn drawn{};
            ASSERT_TRUE(process::finish(child, &drawn));
            repeats += drawn.bytes == parent;
            failed += drawn.result != 0;
            not_one_call += drawn.getrandom_calls != 1;
            child_draws.insert(drawn.bytes);
        }
        printf("%s clock: %d of %d children drew the parent's bytes\n", c.clock, repeats,
               fork_count);
        EXPECT_EQ(0, repeats);
        EXPECT_EQ(0, failed);
        EXPECT_EQ(0, not_one_call) << "children whose first draw did not read the kernel once";
        EXPECT_EQ(static_cast<size_t>(fork_count), child_draws.size())
            << "children drew the same bytes: their streams do not rest on the kernel bytes";
    }
}

struct Generations {
    bool grandchild_reported;
    Drawn child;
    Drawn grandchild;
};

TEST_F(Fork, ThreeGenerationsAllDiffer) {
    fake::set_clock(t0, 5);
    new_handle();
    const process::Child child = process::start([this] {
        Generations g{};
        g.child = draw(drng_);
        g.grandchild_reported = process::run([this] { return draw(drng_); }, &g.grandchild);
        return g;
    });
    const Draw parent = parent_draw(drng_);
    Generations g{};
    ASSERT_TRUE(process::finish(child, &g));
    ASSERT_TRUE(g.grandchild_reported);
    for (const Drawn *d : {&g.child, &g.grandchild}) {
        EXPECT_EQ(0, d->result);
        EXPECT_EQ(1, d->getrandom_calls);
        EXPECT_NE(parent, d->bytes);
    }
    EXPECT_NE(g.child.bytes, g.grandchild.bytes);
}

// A child's first call on the inherited handle (a get, or a reseed whose
// output bytes stay 0xa5), the get after it, and the child's locked memory.
struct FirstCalls {
    Drawn first;
    Drawn next;
    long locked_kib;
};

TEST_F(Fork, FirstCallInAChildReseedsOrFailsWithoutWriting) {
    // During the first call the kernel may fail (EIO) and mlock may refuse;
    // a failing clock stays failed for both calls.
    const struct {
        const char *first;
        bool is_get;
        bool kernel_fails;
        int lock_errno;
        bool clock_fails;
        int32_t result;
        int calls;       // getrandom calls of the first call
        int next_calls;  // of the get after it, with a working kernel and lock
        bool locked;     // the child's page is locked in the end
    } cases[] = {
        {"get", true, false, 0, false, 0, 1, 0, true},
        {"reseed", false, false, 0, false, 0, 2, 0, true},  // the wiped handle's, then its own
        {"get, kernel fails", true, true, 0, false, -EFAULT, 1, 1, true},
        {"reseed, kernel fails", false, true, 0, false, -EFAULT, 1, 1, true},
        // The next get reads the kernel twice: to bring the page back, then because
        // without a clock reading the seed's age is unknown.
        {"get, kernel and clock fail", true, true, 0, true, -EFAULT, 1, 2, true},
        {"get, lock refused with EPERM", true, false, EPERM, false, 0, 1, 0, false},
        {"get, lock refused with EAGAIN", true, false, EAGAIN, false, 0, 1, 0, false},
        // The child's lock limit may be smaller than its parent's: ENOMEM too leaves the
        // page unlocked (init alone returns it).
        {"get, lock refused with ENOMEM", true, false, ENOMEM, false, 0, 1, 0, false},
    };
    fake::set_clock(t0, 5);
    new_handle();
    const long parent_locked = process::locked_kib();
    Draw untouched;
    untouched.fill(0xa5);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        const process::Child child = process::start([this, &c] {
            FirstCalls r{};
            fake::fail_getrandom(c.kernel_fails ? EIO : 0);
            fake::fail_mlock(c.lock_errno);
            fake::fail_clock(c.clock_fails);
            if (c.is_get) {
                r.first = draw(drng_);
            } else {
                r.first.bytes.fill(0xa5);
                const int calls = fake::getrandom_calls();
                r.first.result = drng_chacha20_reseed(drng_, nullptr, 0);
                r.first.getrandom_calls = fake::getrandom_calls() - calls;
            }
            fake::fail_getrandom(0);
            fake::fail_mlock(0);
            r.next = draw(drng_);
            r.locked_kib = process::locked_kib();
            return r;
        });
        const Draw parent_first = parent_draw(drng_);
        const Draw parent_next = parent_draw(drng_);
        FirstCalls r{};
        ASSERT_TRUE(process::finish(child, &r));
        EXPECT_EQ(c.result, r.first.result);
        EXPECT_EQ(c.calls, r.first.getrandom_calls);
        const bool wrote = r.first.bytes != untouched;
        EXPECT_EQ(c.is_get && c.result == 0, wrote);
        if (wrote) {
            EXPECT_NE(parent_first, r.first.bytes);
        }
        EXPECT_EQ(0, r.next.result);
        EXPECT_EQ(c.next_calls, r.next.getrandom_calls);
        EXPECT_NE(parent_first, r.next.bytes);
        EXPECT_NE(parent_next, r.next.bytes);
        EXPECT_EQ(c.locked ? parent_locked : 0, r.locked_kib) << "the child's locked memory";
    }
}

}  // namespace
