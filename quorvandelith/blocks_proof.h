// The proof, at init, that the whole-block path chosen for this CPU computes
// the blocks the portable path does. Internal to the library: compiled into
// it with hidden visibility.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "chacha20_blocks.h"

#pragma GCC visibility push(hidden)

namespace quorvandelith {

// The AVX-512 path's widest step, two sets of sixteen blocks; twice the
// AVX2 path's eight, twice over.
constexpr size_t proof_blocks = 32;
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
