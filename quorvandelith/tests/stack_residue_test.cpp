// Seed material, keystream and keys must not survive in the library's stack
// frames. Each call runs on a zeroed stack of the test's own (own_stack.h),
// which is searched afterwards for the bytes that the fakes handed out as
// seed (the clock's nanoseconds and the kernel's random bytes), for the words
// the call wrote out, and for the handle's key after the call (bytes 16..47
// of the record: four constant words, then the eight key words).

#include <gtest/gtest.h>
#include <string.h>

#include "fake_system.h"
#include "own_stack.h"
#include "quorvandelith.h"

namespace {

constexpr int64_t t0 = 1'700'000'000;
constexpr uint32_t clock_ns = 0x2badc0de;  // a nanosecond value below 10^9

uint8_t kernel_byte(uint64_t k) {
    return static_cast<uint8_t>(0xa7 + 0x3d * k);
}

drng_chacha20 *handle = nullptr;
bool call_is_get = false;
uint32_t length = 0;
alignas(64) uint8_t out[4096];  // off the searched stack
int32_t result = 0;

void call() {
    result = call_is_get ? drng_chacha20_get(handle, out, length)
                         : drng_chacha20_reseed(handle, nullptr, 0);
}

TEST(StackResidue, NoSeedBytesLeftOnTheStack) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes keep stacks of their own";
#endif
    const struct {
        const char *call;
        bool is_get;
        uint32_t length;
        int64_t seconds;  // after the init at t0: 601 and more makes a get reseed
        bool reads_kernel;
    } cases[] = {
        {"get", true, 48, t0 + 1, false},
        {"get of whole blocks", true, 4096, t0 + 1, false},
        {"get that reseeds", true, 48, t0 + 601, true},
        {"reseed", false, 0, t0 + 1, true},
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
        length = c.length;
        ASSERT_TRUE(own_stack::run(call));
        EXPECT_EQ(0, result);
        EXPECT_EQ(c.reads_kernel ? 1 : 0, fake::getrandom_calls() - calls);
        if (c.is_get) {
            EXPECT_EQ(0, own_stack::pieces_left(ns_bytes, sizeof ns_bytes)) << "the nanosecond seed";
        }
        if (c.reads_kernel) {
            EXPECT_EQ(0, own_stack::pieces_left(kernel_bytes, sizeof kernel_bytes)) << "the kernel seed";
        }
        EXPECT_EQ(0, own_stack::pieces_left(out, c.length)) << "output words";
        const uint8_t *key = reinterpret_cast<const uint8_t *>(handle) + 16;
        EXPECT_EQ(0, own_stack::pieces_left(key, 32)) << "the next key";
        drng_chacha20_destroy(handle);
        fake::reset();
    }
}

void init_call() {
    result = drng_chacha20_init(&handle);
}

// init's stack goes deepest (after the known-answer stages it proves the
// whole-block path this CPU uses); its clock readings, its kernel seed and
// the key it leaves must not stay there either.
TEST(StackResidue, InitLeavesNoSeedBytes) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes keep stacks of their own";
#endif
    uint8_t ns_bytes[4];
    memcpy(ns_bytes, &clock_ns, sizeof ns_bytes);
    uint8_t kernel_bytes[32];
    for (size_t k = 0; k < sizeof kernel_bytes; k++) {
        kernel_bytes[k] = kernel_byte(k);
    }
    fake::set_clock(t0, clock_ns);
    fake::kernel_stream(kernel_byte);
    ASSERT_TRUE(own_stack::run(init_call));
    ASSERT_EQ(0, result);
    EXPECT_EQ(0, own_stack::pieces_left(ns_bytes, sizeof ns_bytes)) << "the clock's nanoseconds";
    EXPECT_EQ(0, own_stack::pieces_left(kernel_bytes, sizeof kernel_bytes)) << "the kernel seed";
    const uint8_t *key = reinterpret_cast<const uint8_t *>(handle) + 16;
    EXPECT_EQ(0, own_stack::pieces_left(key, 32)) << "the key";
    drng_chacha20_destroy(handle);
    fake::reset();
}

}  // namespace
