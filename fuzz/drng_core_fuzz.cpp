// The generator's core against OpenSSL's ChaCha20 and its own portable path.
// Input: a flags byte (counter within 128 of 2^32, nonce words at 2^32 - 1),
// the counter, key and nonce words, then requests: an offset and kind byte,
// and for a generate a 12-bit length, for a seed a length byte and the bytes.
// Each generate runs on the portable whole-block path, whose output and next
// key, counter and nonce are checked against the OpenSSL keystream, and on
// every other path the CPU offers (also the one select_blocks picks), which
// must give the same bytes at another output alignment and the same state.
// quorvandelith.cpp is compiled in for its file-local core.
#include "../quorvandelith/quorvandelith.cpp"

#include <algorithm>
#include <vector>

#include "keystream_oracle.h"

namespace {

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

constexpr size_t words_size = offsetof(drng_chacha20, nonce) + sizeof(drng_chacha20::nonce);

// nblocks keystream blocks from the state, the counter wrapping to 0 without
// a carry into the nonce (which OpenSSL would make: the stream is split there).
std::vector<uint8_t> keystream(const drng_chacha20 &s, size_t nblocks) {
    const size_t before = std::min<uint64_t>(nblocks, (uint64_t{1} << 32) - s.counter);
    auto ks = oracle_keystream(s.key, s.counter, s.nonce, before);
    const auto rest = oracle_keystream(s.key, 0, s.nonce, nblocks - before);
    ks.insert(ks.end(), rest.begin(), rest.end());
    return ks;
}

void next_nonce(drng_chacha20 *s) {
    if (++s->nonce[0] == 0 && ++s->nonce[1] == 0) {
        ++s->nonce[2];
    }
}

// The state after a key change by words index .. index + 7 of block b.
void change_key(drng_chacha20 *s, const std::vector<uint8_t> &ks, size_t b, uint32_t index) {
    for (uint32_t i = 0; i < 8; i++) {
        s->key[i] ^= oracle_word(ks, b, index + i);
    }
    next_nonce(s);
}

void generate(drng_chacha20 *state, uint32_t offset, uint32_t len) {
    const uint32_t tail = len % 64;
    const bool leftover = tail >= 1 && tail <= 32;
    const size_t nblocks = len / 64 + (tail > 0) + !leftover;
    const auto ks = keystream(*state, nblocks);
    drng_chacha20 want = *state;
    want.counter += static_cast<uint32_t>(nblocks);
    change_key(&want, ks, nblocks - 1, leftover ? (tail + 3) / 4 : 0);

    std::vector<uint8_t> ref(len + 16), out(len + 16);
    const drng_chacha20 start = *state;
    check(generate_with(chacha20_blocks_portable, state, ref.data() + offset, len) == 0,
          "portable path: result");
    check(std::equal(ks.begin(), ks.begin() + len, ref.begin() + offset), "portable output");
    check(memcmp(state, &want, words_size) == 0, "portable path: key, counter or nonce");

    std::vector<blocks_fn> paths = {select_blocks()};
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        paths.push_back(chacha20_blocks_avx2);
    }
    if (__builtin_cpu_supports("avx512f")) {
        paths.push_back(chacha20_blocks_avx512);
    }
#endif
    const uint32_t other = (7 * offset + 3) % 16;  // never the same alignment as offset
    for (blocks_fn path : paths) {
        drng_chacha20 s = start;
        check(generate_with(path, &s, out.data() + other, len) == 0, "wide path: result");
        check(memcmp(out.data() + other, ref.data() + offset, len) == 0, "wide path output");
        check(memcmp(&s, state, words_size) == 0, "wide path: key, counter or nonce");
    }
}

// Each 32-byte chunk is XORed into the key, then a fresh block changes it.
void seed(drng_chacha20 *state, const uint8_t *data, uint32_t len) {
    drng_chacha20 want = *state;
    for (uint32_t done = 0; done < len; done += 32) {
        for (uint32_t i = done; i < len && i < done + 32; i++) {
            want.key[(i - done) / 4] ^= static_cast<uint32_t>(data[i]) << (8 * (i % 4));
        }
        const auto ks = keystream(want, 1);
        want.counter += 1;
        change_key(&want, ks, 0, 0);
    }
    check(drng_chacha20_seed(state, data, len) == 0, "seed: result");
    check(memcmp(state, &want, words_size) == 0, "seed: key, counter or nonce");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    drng_chacha20 state{};
    memcpy(state.constants, chacha_constants, sizeof state.constants);
    const uint8_t flags = in.byte();
    state.counter = in.word();
    if (flags & 1) {
        state.counter = 0xffffffffu - (flags >> 1);
    }
    for (uint32_t &w : state.key) {
        w = in.word();
    }
    for (uint32_t &w : state.nonce) {
        w = in.word();
    }
    state.nonce[0] = flags & 2 ? 0xffffffffu : state.nonce[0];
    state.nonce[1] = flags & 4 ? 0xffffffffu : state.nonce[1];
    for (int request = 0; request < 8 && in.n > 0; request++) {
        const uint8_t op = in.byte();
        if (op & 0x80) {
            const uint32_t len = std::min<uint32_t>(in.byte(), static_cast<uint32_t>(in.n));
            seed(&state, in.p, len);
            in.p += len;
            in.n -= len;
        } else {
            const uint32_t high = in.byte();
            generate(&state, op % 16, (high << 8 | in.byte()) & 0xfff);
        }
    }
    return 0;
}
