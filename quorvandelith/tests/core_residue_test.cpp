// A request's key and keystream must not stay behind in the stack frames of
// the path that computed its whole blocks (spilled vectors and words): with
// them anyone who later reads the stack could rebuild that output. Each path
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
alignas(64) uint8_t residue_out[2624];  // 41 blocks: a 32-block step, then 8, then 1

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

}  // namespace
