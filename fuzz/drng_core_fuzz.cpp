// The generator's whole-block paths against OpenSSL's ChaCha20 and against one
// another. Input: a flags byte (counter within 128 of 2^32, nonce words at
// 2^32 - 1), the counter, key and nonce words, then requests: an offset and
// kind byte, and for a run of blocks a 12-bit byte count (rounded up to whole
// blocks), for a key change a length byte and the bytes XORed into the key.
// Each run goes through the portable path, whose output and advanced counter
// are checked against the OpenSSL keystream, and through every other path the
// CPU offers (also the one select_blocks picks), which must give the same
// bytes at another output alignment and leave the same block.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "chacha20_blocks.h"
#include "keystream_oracle.h"

namespace {

using quorvandelith::blocks_fn;

constexpr uint32_t chacha_constants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "mismatch: %s\n", what);
        abort();
    }
}

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        return n > 0 ? (n--, *p++) : 0;
    }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; i++) {
            w = w << 8 | byte();
        }
        return w;
    }
};

// nblocks keystream blocks from the block, the counter wrapping to 0 without
// a carry into the nonce (which OpenSSL would make: the stream is split there).
std::vector<uint8_t> keystream(const uint32_t block[16], size_t nblocks) {
    const uint32_t counter = block[12];
    const size_t before = std::min<uint64_t>(nblocks, (uint64_t{1} << 32) - counter);
    auto ks = oracle_keystream(block + 4, counter, block + 13, before);
    const auto rest = oracle_keystream(block + 4, 0, block + 13, nblocks - before);
    ks.insert(ks.end(), rest.begin(), rest.end());
    return ks;
}

std::vector<blocks_fn> wide_paths() {
    std::vector<blocks_fn> paths = {quorvandelith::select_blocks()};
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        paths.push_back(quorvandelith::chacha20_blocks_avx2);
    }
    if (__builtin_cpu_supports("avx512f")) {
        paths.push_back(quorvandelith::chacha20_blocks_avx512);
    }
#endif
    return paths;
}

void run_blocks(uint32_t block[16], uint32_t offset, size_t nblocks) {
    const auto ks = keystream(block, nblocks);
    uint32_t start[16];
    memcpy(start, block, sizeof start);
    std::vector<uint8_t> ref(64 * nblocks + 16), out(64 * nblocks + 16);
    quorvandelith::chacha20_blocks_portable(block, ref.data() + offset, nblocks, nullptr);
    check(std::equal(ks.begin(), ks.end(), ref.begin() + offset), "portable output");
    check(block[12] == static_cast<uint32_t>(start[12] + nblocks), "portable counter");
    check(memcmp(block, start, 12 * 4) == 0 && memcmp(block + 13, start + 13, 12) == 0,
          "portable path changed a word other than the counter");

    // The block after the whole ones, one block at a time from where they end.
    uint32_t after[16], expected_next[16];
    memcpy(after, block, sizeof after);
    quorvandelith::chacha20_blocks_portable(after, nullptr, 0, expected_next);

    const uint32_t other = (7 * offset + 3) % 16;  // never the same alignment as offset
    for (blocks_fn path : wide_paths()) {
        for (const bool ask_next : {false, true}) {
            uint32_t b[16], next[16] = {};
            memcpy(b, start, sizeof b);
            path(b, out.data() + other, nblocks, ask_next ? next : nullptr);
            check(memcmp(out.data() + other, ref.data() + offset, 64 * nblocks) == 0,
                  "wide path output");
            check(memcmp(b, ask_next ? after : block, sizeof b) == 0,
                  "wide path: block after the run");
            check(!ask_next || memcmp(next, expected_next, sizeof next) == 0,
                  "wide path: the block after the whole ones");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    uint32_t block[16];
    memcpy(block, chacha_constants, sizeof chacha_constants);
    const uint8_t flags = in.byte();
    block[12] = in.word();
    if (flags & 1) {
        block[12] = 0xffffffffu - (flags >> 1);
    }
    for (int i = 4; i < 12; i++) {
        block[i] = in.word();
    }
    for (int i = 13; i < 16; i++) {
        block[i] = in.word();
    }
    block[13] = flags & 2 ? 0xffffffffu : block[13];
    block[14] = flags & 4 ? 0xffffffffu : block[14];
    for (int request = 0; request < 8 && in.n > 0; request++) {
        const uint8_t op = in.byte();
        if (op & 0x80) {
            const uint32_t len = std::min<uint32_t>(in.byte(), static_cast<uint32_t>(in.n));
            for (uint32_t i = 0; i < len && i < 32; i++) {
                block[4 + i / 4] ^= static_cast<uint32_t>(in.p[i]) << (8 * (i % 4));
            }
            in.p += len;
            in.n -= len;
        } else {
            const uint32_t high = in.byte();
            const uint32_t bytes = (high << 8 | in.byte()) & 0xfff;
            run_blocks(block, op % 16, (bytes + 63) / 64);
        }
    }
    return 0;
}
