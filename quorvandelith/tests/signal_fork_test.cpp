// A fork from a signal handler in the middle of a get: the kernel wipes the
// child's page while the call is under way, and the child finishes the call.
// It must not hand out the parent's bytes, nor keystream of the all-zero
// record that its wiped page now holds: the call starts over as the child's
// first call. Only a fork in the last instructions of the exported function,
// after its last look at the page, may leave the child the parent's result,
// as a fork just after the return would. A signal handler forks at whatever
// point a timer interrupts a run of gets and notes the interrupted
// instruction; the child reports its bytes through shared memory, and then
// whether its next get had to bring the page back (one kernel read), which
// tells whether the fork came before the call's last look at the page.

#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <link.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <random>
#include <unordered_set>
#include <vector>

#include "fake_system.h"
#include "process_support.h"
#include "quorvandelith.h"

namespace {

constexpr int64_t t0 = 1'700'000'000;

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

// The address of the instruction a signal interrupted, or 0 where this test
// does not know the layout of the machine's saved context.
uintptr_t interrupted_at(const ucontext_t *uc) {
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#elif defined(__s390x__)
    return static_cast<uintptr_t>(uc->uc_mcontext.psw.addr);
#elif defined(__powerpc64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gp_regs[32]);  // the next instruction (NIP)
#elif defined(__riscv)
    return static_cast<uintptr_t>(uc->uc_mcontext.__gregs[0]);  // REG_PC
#else
    (void)uc;
    return 0;
#endif
}

namespace in_signal {
volatile sig_atomic_t armed = 0;     // a get is under way
volatile sig_atomic_t forked = 0;    // this run of gets has forked
volatile sig_atomic_t is_child = 0;  // set in the child
volatile pid_t child = 0;
volatile uintptr_t fork_pc = 0;  // the instruction the signal interrupted

void fork_now(int, siginfo_t *, void *context) {
    if (!armed || forked) {
        return;
    }
    const int saved = errno;
    fork_pc = interrupted_at(static_cast<const ucontext_t *>(context));
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

// Where an interrupted instruction lies: in this test's own code (before or
// after a call, so the child's get is its first call or the parent's call is
// over), in the exported get's own instructions (where its last look at the
// page and its return are), or anywhere else the call goes (the library's
// internal functions, the C library, the vDSO).
enum class ForkPlace { test_code, exported_get, inside_the_call, unknown };

struct CodeRange {
    uintptr_t begin = 0;
    uintptr_t end = 0;
};

// drng_chacha20_get's instructions, from the size of its dynamic symbol.
CodeRange exported_get_code() {
    CodeRange range;
    void *fn = dlsym(RTLD_DEFAULT, "drng_chacha20_get");
    Dl_info info{};
    void *symbol = nullptr;
    if (fn != nullptr && dladdr1(fn, &info, &symbol, RTLD_DL_SYMENT) != 0 && symbol != nullptr) {
        range.begin = reinterpret_cast<uintptr_t>(fn);
        range.end = range.begin + static_cast<const ElfW(Sym) *>(symbol)->st_size;
    }
    return range;
}

const void *object_of(uintptr_t pc) {
    Dl_info info{};
    return dladdr(reinterpret_cast<const void *>(pc), &info) != 0 ? info.dli_fbase : nullptr;
}

ForkPlace place_of(uintptr_t pc) {
    static const CodeRange get = exported_get_code();
    static const void *const test = object_of(reinterpret_cast<uintptr_t>(&place_of));
    if (pc == 0 || get.begin == 0) {
        return ForkPlace::unknown;
    }
    if (pc >= get.begin && pc < get.end) {
        return ForkPlace::exported_get;
    }
    return object_of(pc) == test ? ForkPlace::test_code : ForkPlace::inside_the_call;
}

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
    int in_exported_get = 0;     // forks in the exported get's own instructions
    int inside_the_call = 0;     // forks anywhere else the call went
    int unknown_place = 0;
    int repeats_inside = 0;  // children with the parent's bytes, forked before the last look
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
    const ForkPlace place = place_of(in_signal::fork_pc);
    counts->in_exported_get += place == ForkPlace::exported_get;
    counts->inside_the_call += place == ForkPlace::inside_the_call;
    counts->unknown_place += place == ForkPlace::unknown;
    // The parent's result is the child's only when the fork came after the
    // call's last look at the page, in the exported get's last instructions,
    // or after the call returned.
    const bool too_early = repeat && place == ForkPlace::inside_the_call;
    counts->repeats_inside += too_early;
    EXPECT_FALSE(too_early) << "a child forked inside the call (at " << std::hex
                            << in_signal::fork_pc << ") returned the parent's bytes";
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
        {"32 bytes", 32, 300, 40, 90, 150},
        {"64 bytes", 64, 300, 40, 90, 150},
        {"4 KiB", 4096, 300, 40, 90, 150},
    };
    ChildReport *report =
        static_cast<ChildReport *>(mmap(nullptr, sizeof(ChildReport) + (16u << 20),
                                        PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void *>(report));
    const std::unordered_set<uint64_t> zero_record = zero_record_blocks((16u << 20) / 64 + 64);
    struct sigaction action {};
    action.sa_sigaction = in_signal::fork_now;
    action.sa_flags = SA_SIGINFO;
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
            "parent's, %d blocks of an all-zero record\n"
            "  forks in the exported get's own instructions %d, elsewhere inside the call %d, "
            "at an unknown place %d; children forked inside the call that returned the "
            "parent's bytes: %d\n",
            c.request, counts.trials, counts.started_over, counts.after_last_look, counts.repeats,
            counts.shared_blocks, counts.zero_record_blocks, counts.in_exported_get,
            counts.inside_the_call, counts.unknown_place, counts.repeats_inside);
        EXPECT_GE(counts.started_over, c.min_started_over);
        drng_chacha20_destroy(drng);
    }
    sigaction(SIGALRM, &previous, nullptr);
    munmap(report, sizeof(ChildReport) + (16u << 20));
    fake::reset();
}

}  // namespace
