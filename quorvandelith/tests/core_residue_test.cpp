// A request's key and keystream must not stay behind in the stack frames of
// the path that computed its whole blocks (spilled vectors and words): with
// them anyone who later reads the stack could rebuild that output; and the
// work of each exported function must stay within the stack its wipe covers,
// whatever the build's type and flags. Each path
// runs on a zeroed stack of its own, followed by the stack wipe the exported
// functions end with, then the stack is searched for the key words the
// request used, for its output words and for the next key. No oracle library
// is needed, so cross builds run it too.

// Included for generate_with and wipe_stack, which are private to the library source by design.
#include "../quorvandelith.cpp"

#include <gtest/gtest.h>

#include "block_paths.h"
#include "own_stack.h"

namespace {

drng_chacha20 residue_state;
blocks_fn residue_path;
// 45 blocks and 40 bytes: on the AVX-512 path a 32-block step, then a partial
// step for 13; on the AVX2 path two steps of 16, one of 8, then a partial
// step for 5; the tail block rides in the first step, and the 40-byte tail
// leaves too few words for the key change, which takes one block more.
alignas(64) uint8_t residue_out[45 * 64 + 40];

// Any fixed record: key words, counter and nonce of no particular meaning.
drng_chacha20 fixed_state() {
    drng_chacha20 s{};
    memcpy(s.constants, chacha_constants, sizeof s.constants);
    for (uint32_t i = 0; i < 8; i++) {
        s.key[i] = 0x9e3779b9u * (i + 1);
    }
    s.counter = 1000;
    s.nonce[0] = 0x0badcafe;
    s.nonce[1] = 0x5eed5eed;
    s.nonce[2] = 0x600df00d;
    return s;
}

void generate_for_residue() {
    generate_with(residue_path, &residue_state, residue_out, sizeof residue_out);
    wipe_stack(wide_stack_bytes);
}

TEST(BlocksPaths, LeaveNoKeyOrKeystreamOnTheStack) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes keep stacks of their own";
#endif
    for (const BlocksPath &path : block_paths()) {
        if (!path.available) {
            continue;
        }
        SCOPED_TRACE(path.name);
        residue_state = fixed_state();
        const drng_chacha20 before = residue_state;
        residue_path = path.blocks;
        ASSERT_TRUE(own_stack::run(generate_for_residue));
        EXPECT_EQ(0, own_stack::pieces_left(before.key, sizeof before.key)) << "key words";
        EXPECT_EQ(0, own_stack::pieces_left(residue_out, sizeof residue_out)) << "output words";
        EXPECT_EQ(0, own_stack::pieces_left(residue_state.key, sizeof residue_state.key))
            << "the next key";
    }
}

// How deep the work of each exported function goes below the frame that
// calls it, measured on a stack filled with a byte the work is unlikely to
// write everywhere, against the depth the exported function wipes afterwards.
constexpr uint8_t depth_fill = 0x5c;
uintptr_t caller_frame;
void (*depth_work)();

__attribute__((noinline)) void measure_depth() {
    caller_frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    depth_work();
}

size_t depth_of(void (*work)()) {
    depth_work = work;
    if (!own_stack::run(measure_depth, depth_fill)) {
        return SIZE_MAX;
    }
    return caller_frame - own_stack::lowest_write(depth_fill);
}

// One piece of work of an exported function, as the exported function calls it.
struct DepthCase {
    const char *work;
    enum { init, reseed, get, get_that_reseeds } kind;
    uint32_t length;  // bytes asked for by a get, of caller data for a reseed
    size_t wiped;     // what the exported function wipes after this work
};

drng_chacha20 *depth_handle;
const DepthCase *depth_case;
alignas(64) uint8_t depth_out[4096];

void depth_case_work() {
    bool look_again = false;
    switch (depth_case->kind) {
        case DepthCase::init:
            drng_chacha20_destroy(depth_handle);
            init_handle(&depth_handle);
            break;
        case DepthCase::reseed:
            reseed_handle(depth_handle, depth_out, depth_case->length, &look_again);
            break;
        case DepthCase::get_that_reseeds:
            depth_handle->reseed_time = 0;
            [[fallthrough]];
        case DepthCase::get:
            get_bytes(depth_handle, depth_out, depth_case->length, &look_again);
            break;
    }
}

TEST(StackDepth, EachCallsWorkStaysWithinItsWipe) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes keep stacks of their own";
#endif
    const DepthCase cases[] = {
        {"init", DepthCase::init, 0, wide_stack_bytes},
        {"reseed", DepthCase::reseed, 40, narrow_stack_bytes},
        {"get of 63 bytes", DepthCase::get, 63, get_stack_bytes(63)},
        {"get that reseeds", DepthCase::get_that_reseeds, 48, get_stack_bytes(48)},
        {"get of 511 bytes", DepthCase::get, 511, get_stack_bytes(511)},
        {"get of 512 bytes", DepthCase::get, 512, get_stack_bytes(512)},
        {"get of 1024 bytes", DepthCase::get, 1024, get_stack_bytes(1024)},
        {"get of 4096 bytes", DepthCase::get, 4096, get_stack_bytes(4096)},
    };
    ASSERT_EQ(0, drng_chacha20_init(&depth_handle));
    for (const DepthCase &c : cases) {
        SCOPED_TRACE(c.work);
        depth_case = &c;
        const size_t depth = depth_of(depth_case_work);
        std::printf("%-18s goes %5zu bytes deep; its call wipes %zu\n", c.work, depth, c.wiped);
        EXPECT_LE(depth, c.wiped);
    }
    drng_chacha20_destroy(depth_handle);
}

// How deep each whole-block path's work goes, through generate_with as a get
// calls it, against the wipe of a get of that length: for 7 blocks (a get
// shorter than wide_request_bytes never reaches a multi-block step), for
// wide_request_bytes (the shortest get that may take one), and for the
// request of residue_out (every kind of step).
uint32_t depth_length;

void generate_for_depth() {
    generate_with(residue_path, &residue_state, residue_out, depth_length);
}

TEST(StackDepth, EachPathsWorkStaysWithinItsWipe) {
#ifdef QUORVANDELITH_TEST_SANITIZER
    GTEST_SKIP() << "the sanitizer runtimes keep stacks of their own";
#endif
    static_assert(7 * 64 < wide_request_bytes);
    const struct {
        uint32_t length;
        size_t wiped;
    } cases[] = {{7 * 64, get_stack_bytes(7 * 64)},
                 {wide_request_bytes, get_stack_bytes(wide_request_bytes)},
                 {sizeof residue_out, get_stack_bytes(sizeof residue_out)}};
    for (const BlocksPath &path : block_paths()) {
        if (!path.available) {
            continue;
        }
        SCOPED_TRACE(path.name);
        for (const auto &c : cases) {
            residue_state = fixed_state();
            residue_path = path.blocks;
            depth_length = c.length;
            const size_t depth = depth_of(generate_for_depth);
            std::printf("path %-8s for %4u bytes goes %5zu bytes deep; the get wipes %zu\n",
                        path.name, c.length, depth, c.wiped);
            EXPECT_LE(depth, c.wiped);
        }
    }
}

}  // namespace
