// The whole-block path proof run by init (blocks_proof.h).

#include "blocks_proof.h"

#include <string.h>

#include "wipe.h"

namespace quorvandelith {

namespace {

// Key 00 01 .. 1f and nonce 00000009 0000004a 00000000 (RFC 7539 section
// 2.3.2), block counter 2^32 - 12: the AVX2 path wraps in lane 4 of its second
// batch, the AVX-512 path in lane 12 of its first set.
constexpr uint32_t proof_input[16] = {
    0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
    0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c, 0xfffffff4, 0x09000000, 0x4a000000, 0x00000000,
};

}  // namespace

bool blocks_path_passes(blocks_fn blocks, uint8_t *scratch) {
    if (blocks == chacha20_blocks_portable) {
        return true;
    }
    uint32_t wide[16];
    uint32_t narrow[16];
    uint32_t next[16];
    uint32_t expected_next[16];
    uint8_t expected[64];
    memcpy(wide, proof_input, sizeof wide);
    memcpy(narrow, proof_input, sizeof narrow);
    blocks(wide, scratch, proof_blocks, next);
    bool same = true;
    for (size_t b = 0; b < proof_blocks; b++) {
        chacha20_blocks_portable(narrow, expected, 1, nullptr);
        same &= memcmp(expected, scratch + 64 * b, sizeof expected) == 0;
    }
    chacha20_blocks_portable(narrow, expected, 0, expected_next);
    same &= memcmp(next, expected_next, sizeof next) == 0;
    same &= memcmp(wide, narrow, sizeof wide) == 0;
    // Keystream of a fixed input, not secret; wiped all the same, as every
    // buffer of keystream is.
    wipe(scratch, proof_bytes);
    wipe(expected, sizeof expected);
    wipe(next, sizeof next);
    wipe(expected_next, sizeof expected_next);
    return same;
}

}  // namespace quorvandelith
