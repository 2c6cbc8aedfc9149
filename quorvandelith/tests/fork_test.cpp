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

// A fork from a signal handler in the middle of a get: the kernel wipes the
// child's page while the call is under way, and the child finishes the call.
// It must not hand out the parent's bytes, nor keystream of the all-zero
// record that its wiped page now holds: the call starts over as the child's
// first call. A signal handler forks at whatever point a timer interrupts a
// run of gets; the child reports its bytes through shared memory, and then
// whether its next get had to bring the page back (one kernel read), which
// tells whether the fork came before the call's last look at the page.

// The ChaCha20 block of RFC 7539 section 2.3 for any 16 input words, written
// for this test: the wiped record's constant words are zero, which no cipher
// interface accepts. Checked against the RFC's section 2.3.2 vector below.
void chacha_block(const uint32_t in[16], uint8_t out[64]) {
    uint32_t x[16];
    memcpy(x, in, sizeof x);
    auto quarter = [&x](int a, int b, int c, int d) {
        x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 16);
        x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 12);
        x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 8);
        x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 7);
    };
    for (int i = 0; i < 10; i++) {
        quarter(0, 4, 8, 12), quarter(1, 5, 9, 13), quarter(2, 6, 10, 14), quarter(3, 7, 11, 15);
        quarter(0, 5, 10, 15), quarter(1, 6, 11, 12), quarter(2, 7, 8, 13), quarter(3, 4, 9, 14);
    }
    for (int i = 0; i < 16; i++) {
        const uint32_t w = x[i] + in[i];
        for (int j = 0; j < 4; j++) {
            out[4 * i + j] = static_cast<uint8_t>(w >> (8 * j));
        }
    }
}

uint64_t first_word(const uint8_t *block) {
    uint64_t w;
    memcpy(&w, block, sizeof w);
    return w;
}

// The first 8 bytes of each block an all-zero record gives (every word zero
// but the block counter), for counters 0 .. count - 1: a wiped page starts
// its counter at 0.
std::unordered_set<uint64_t> zero_record_blocks(uint32_t count) {
    std::unordered_set<uint64_t> blocks;
    uint32_t in[16] = {};
    uint8_t out[64];
    for (uint32_t c = 0; c < count; c++) {
        in[12] = c;
        chacha_block(in, out);
        blocks.insert(first_word(out));
    }
    return blocks;
}

TEST(SignalFork, TestBlockFunctionMatchesRfc7539Section232) {
    const uint32_t in[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504,
                             0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                             1,          0x09000000, 0x4a000000, 0};
    const uint8_t expected[16] = {0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15,
                                  0x50, 0x0f, 0xdd, 0x1f, 0xa3, 0x20, 0x71, 0xc4};
    uint8_t out[64];
    chacha_block(in, out);
    EXPECT_EQ(0, memcmp(expected, out, sizeof expected));
}

namespace in_signal {
volatile sig_atomic_t armed = 0;     // a get is under way
volatile sig_atomic_t forked = 0;    // this run of gets has forked
volatile sig_atomic_t is_child = 0;  // set in the child
volatile pid_t child = 0;

void fork_now(int) {
    if (!armed || forked) {
        return;
    }
    const int saved = errno;
    const pid_t pid = fork();
    if (pid == 0) {
        is_child = 1;
    } else {
        child = pid;
    }
    forked = 1;
    errno = saved;
}
}  // namespace in_signal

// What the child writes to the memory it shares with the parent; its output
// bytes follow.
struct ChildReport {
    int32_t result;
    int next_reads;  // kernel reads of the get after the interrupted one
};

uint8_t *output_of(ChildReport *report) {
    return reinterpret_cast<uint8_t *>(report + 1);
}

struct SignalForkCounts {
    int trials = 0;
    int started_over = 0;  // children whose call started over
    int after_last_look = 0;
    int repeats = 0;             // children that returned the parent's bytes
    int shared_blocks = 0;       // 64-byte blocks equal to the parent's at the same place
    int zero_record_blocks = 0;  // blocks of an all-zero record's keystream
};

// Runs gets of len bytes while a timer interrupts them every interval_us,
// until its handler forks inside one; then compares the child's output with
// the parent's. The child never returns from here.
void fork_during_a_get(drng_chacha20 *drng, std::vector<uint8_t> &buf, uint32_t len,
                       long interval_us, ChildReport *report,
                       const std::unordered_set<uint64_t> &zero_record, SignalForkCounts *counts) {
    in_signal::forked = 0;
    const itimerval timer{{0, interval_us}, {0, interval_us}};
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
    int32_t result = 0;
    for (int i = 0; i < 1000000 && !in_signal::forked; i++) {
        in_signal::armed = 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        result = drng_chacha20_get(drng, buf.data(), len);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        in_signal::armed = 0;
    }
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    if (in_signal::is_child) {
        report->result = result;
        memcpy(output_of(report), buf.data(), len);
        uint8_t next[32];
        const int calls = fake::getrandom_calls();
        report->next_reads =
            drng_chacha20_get(drng, next, sizeof next) == 0 ? fake::getrandom_calls() - calls : -1;
        _exit(0);
    }
    ASSERT_TRUE(in_signal::forked) << "no signal came during a get";
    int status = 0;
    ASSERT_EQ(in_signal::child, waitpid(in_signal::child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(0, result);

    counts->trials++;
    const bool repeat = memcmp(output_of(report), buf.data(), len) == 0;
    int shared = 0;
    int zero = 0;
    for (uint32_t at = 0; at < len; at += 64) {
        const uint32_t n = len - at < 64 ? len - at : 64;
        shared += memcmp(output_of(report) + at, buf.data() + at, n) == 0;
        zero += n >= 8 && zero_record.count(first_word(output_of(report) + at)) > 0;
    }
    counts->repeats += repeat;
    counts->shared_blocks += shared;
    counts->zero_record_blocks += zero;
    EXPECT_EQ(0, zero) << "the child handed out an all-zero record's keystream";
    if (report->next_reads == 0) {
        // The call saw the wiped page and started over: fresh bytes only.
        counts->started_over++;
        EXPECT_EQ(0, report->result);
        EXPECT_EQ(0, shared) << "the child handed out the parent's bytes";
    } else {
        // The fork came after the call's last look at the page, when its
        // output was complete: as for a fork just after the call, the child's
        // next get brings the page back.
        counts->after_last_look++;
        EXPECT_EQ(1, report->next_reads);
        EXPECT_TRUE(repeat) << "a child that did not start over handed out other bytes";
    }
}

TEST(SignalFork, NoChildFinishesAGetOnItsWipedPage) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork() in a signal handler: it reports the "
                    "allocations of its own fork as unsafe there";
#endif
    if (!process::children_get_wiped_pages()) {
        GTEST_SKIP() << "a forked child's MADV_WIPEONFORK page is not wiped here "
                        "(qemu-user ignores the advice): the test is skipped";
    }
    const struct {
        const char *request;
        uint32_t length;
        int trials;
        long min_interval_us;  // the timer's interval, drawn per trial
        long max_interval_us;
        int min_started_over;  // of the trials
    } cases[] = {
        {"16 MiB", 16u << 20, 10, 300, 12000, 9},
        {"32 bytes", 32, 160, 40, 90, 80},
    };
    ChildReport *report =
        static_cast<ChildReport *>(mmap(nullptr, sizeof(ChildReport) + (16u << 20),
                                        PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void *>(report));
    const std::unordered_set<uint64_t> zero_record = zero_record_blocks((16u << 20) / 64 + 64);
    struct sigaction action {};
    action.sa_handler = in_signal::fork_now;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
    // A frozen clock: parent and child read the same time, so only the
    // child's kernel seed can tell their streams apart.
    fake::set_clock(t0, 123456789);
    std::mt19937 intervals(17);
    std::vector<uint8_t> buf(16u << 20);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        drng_chacha20 *drng = nullptr;
        ASSERT_EQ(0, drng_chacha20_init(&drng));
        SignalForkCounts counts;
        std::uniform_int_distribution<long> interval(c.min_interval_us, c.max_interval_us);
        for (int i = 0; i < c.trials && !HasFatalFailure(); i++) {
            fork_during_a_get(drng, buf, c.length, interval(intervals), report, zero_record,
                              &counts);
        }
        printf(
            "%s gets, %d forks in a signal handler: %d calls started over, %d forks after "
            "the last look; %d children returned the parent's bytes, %d blocks equal to the "
            "parent's, %d blocks of an all-zero record\n",
            c.request, counts.trials, counts.started_over, counts.after_last_look, counts.repeats,
            counts.shared_blocks, counts.zero_record_blocks);
        EXPECT_GE(counts.started_over, c.min_started_over);
        drng_chacha20_destroy(drng);
    }
    sigaction(SIGALRM, &previous, nullptr);
    munmap(report, sizeof(ChildReport) + (16u << 20));
    fake::reset();
}

}  // namespace
