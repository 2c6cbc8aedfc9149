// The proof, at init, that the whole-block path chosen for this CPU computes
// the blocks the portable path does. Internal to the library: compiled into
// it with hidden visibility.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "chacha20_blocks.h"

#pragma GCC visibility push(hidden)

namespace quorvandelith {

// Enough blocks for every kind of step of each path: on the AVX-512 path a
// step of 32, one of 16 and a partial step for 13; on the AVX2 path three
// steps of 16, one of 8 and a partial step for 5. The first step of each
// also computes the block after the whole ones.
constexpr size_t proof_blocks = 32 + 16 + 13;
constexpr size_t proof_bytes = proof_blocks * 64;

// Runs blocks over proof_blocks blocks of a fixed input, writing them to
// scratch (proof_bytes, any alignment), and asks it for the block after
// them; compares the blocks, that block's words and the block counter it
// leaves with the portable path's, one block at a time. The
// counter starts close to 2^32, so that it wraps inside a batch of every
// path. Wipes scratch. True when all agree; the portable path itself passes
// without a run (the self-tests run it).
bool blocks_path_passes(blocks_fn blocks, uint8_t *scratch);

}  // namespace quorvandelith

#pragma GCC visibility pop
