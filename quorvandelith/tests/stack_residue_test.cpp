// Seed material that the library wipes must not survive in its stack frames.
// Each call runs on a zeroed stack of the test's own (swapcontext), which is
// searched afterwards for the bytes that the fakes handed out as seed: the
// clock's nanoseconds and the kernel's random bytes.

#include <gtest/gtest.h>
#include <string.h>
#include <ucontext.h>

#include "fake_system.h"
#include "quorvandelith.h"

namespace {

constexpr int64_t t0 = 1'700'000'000;
constexpr uint32_t clock_ns = 0x2badc0de;  // a nanosecond value below 10^9

uint8_t kernel_byte(uint64_t k) {
    return static_cast<uint8_t>(0xa7 + 0x3d * k);
}

alignas(64) uint8_t stack_area[256 * 1024];
ucontext_t caller;
ucontext_t callee;
drng_chacha20 *handle = nullptr;
bool call_is_get = false;
int32_t result = 0;

void call() {
    uint8_t out[48];
    result = call_is_get ? drng_chacha20_get(handle, out, sizeof out)
                         : drng_chacha20_reseed(handle, nullptr, 0);
}

// Runs call() on stack_area, zeroed first.
void call_on_own_stack() {
    memset(stack_area, 0, sizeof stack_area);
    ASSERT_EQ(0, getcontext(&callee));
    callee.uc_stack.ss_sp = stack_area;
    callee.uc_stack.ss_size = sizeof stack_area;
    callee.uc_link = &caller;
    makecontext(&callee, call, 0);
    ASSERT_EQ(0, swapcontext(&caller, &callee));
}

// How many of the 4-byte pieces bytes[0..3], bytes[4..7], ... lie anywhere on that stack.
int pieces_on_stack(const uint8_t *bytes, size_t len) {
    int found = 0;
    for (size_t piece = 0; piece + 4 <= len; piece += 4) {
        found += memmem(stack_area, sizeof stack_area, bytes + piece, 4) != nullptr;
    }
    return found;
}

TEST(StackResidue, NoSeedBytesLeftOnTheStack) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes keep stacks of their own";
#endif
    const struct {
        const char *call;
        bool is_get;
        int64_t seconds;  // after the init at t0: 601 and more makes a get reseed
        bool reads_kernel;
    } cases[] = {
        {"get", true, t0 + 1, false},
        {"get that reseeds", true, t0 + 601, true},
        {"reseed", false, t0 + 1, true},
    };
    uint8_t ns_bytes[4];
    memcpy(ns_bytes, &clock_ns, sizeof ns_bytes);
    uint8_t kernel_bytes[32];
    for (size_t k = 0; k < sizeof kernel_bytes; k++) {
        kernel_bytes[k] = kernel_byte(k);
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        fake::set_clock(t0);
        ASSERT_EQ(0, drng_chacha20_init(&handle));
        fake::set_clock(c.seconds, clock_ns);
        fake::kernel_stream(kernel_byte);
        const int calls = fake::getrandom_calls();
        call_is_get = c.is_get;
        call_on_own_stack();
        EXPECT_EQ(0, result);
        EXPECT_EQ(c.reads_kernel ? 1 : 0, fake::getrandom_calls() - calls);
        if (c.is_get) {
            EXPECT_EQ(0, pieces_on_stack(ns_bytes, sizeof ns_bytes)) << "the nanosecond seed";
        }
        if (c.reads_kernel) {
            EXPECT_EQ(0, pieces_on_stack(kernel_bytes, sizeof kernel_bytes)) << "the kernel seed";
        }
        drng_chacha20_destroy(handle);
        fake::reset();
    }
}

}  // namespace
