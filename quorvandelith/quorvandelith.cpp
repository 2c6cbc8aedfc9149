// libquorvandelith: a ChaCha20 keystream generator whose key is replaced after
// every request (backtracking resistance), whose 96-bit nonce counts those
// replacements, and into whose key kernel randomness and clock readings are
// XORed. The block function is the one of RFC 7539 section 2.3.
//
// Only the six functions of quorvandelith.h are exported; everything in the
// anonymous namespace is private to this file. The whole-block paths (portable,
// AVX2, AVX-512) live in chacha20_blocks.cpp, hidden inside the library.
//
// Each record sits at the start of a page of its own, which the kernel wipes
// in the child of a fork (MADV_WIPEONFORK). The constant words are never zero
// in a live record, so a zero first constant tells the child's first get or
// reseed that it holds a wiped copy, which it then reseeds from the kernel.

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <type_traits>

#pragma GCC visibility push(default)
#include "quorvandelith.h"
#pragma GCC visibility pop

#include "chacha20_blocks.h"
#include "clear_registers.h"
#include "quorvandelith_version.h"  // generated from the project's version

// The generator's state. Words 0-15 (constants, key, counter, nonce) are the
// ChaCha20 input block in RFC 7539 order; the block function works on them in
// place through state_words().
struct drng_chacha20 {
    uint32_t constants[4];        // "expand 32-byte k", never changed
    uint32_t key[8];              // changed only by XOR (seed data, updates)
    uint32_t counter;             // block counter, wraps without carry
    uint32_t nonce[3];            // counts key updates, word 13 least significant
    int64_t reseed_time;          // seconds of the last successful reseed
    uint64_t bytes_since_reseed;  // bytes handed out since then
};

static_assert(std::is_standard_layout_v<drng_chacha20>);
static_assert(offsetof(drng_chacha20, key) == 4 * 4);
static_assert(offsetof(drng_chacha20, counter) == 12 * 4);
static_assert(offsetof(drng_chacha20, nonce) == 13 * 4);
static_assert(offsetof(drng_chacha20, reseed_time) == 16 * 4);
static_assert(sizeof(drng_chacha20) == 80, "the record is sixteen words and two 8-byte fields");

namespace {

using quorvandelith::blocks_fn;
using quorvandelith::chacha20_blocks_portable;
using quorvandelith::chacha20_core;
using quorvandelith::clear_registers;
using quorvandelith::select_blocks;

constexpr uint32_t chacha_constants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

constexpr int64_t reseed_max_age = 600;            // seconds
constexpr uint64_t reseed_max_bytes = 1ull << 30;  // bytes drawn
constexpr size_t kernel_seed_size = 32;            // bytes per reseed
constexpr uint32_t seed_chunk_size = 32;           // one key's worth
constexpr uint32_t update_fresh_block = 16;        // update index: compute a new block
// Interrupted getrandom calls retried in a row before the read counts as short.
// No kernel interrupts a small read anywhere near this often; a sandbox that
// answers every call with EINTR would otherwise hang the caller.
constexpr unsigned max_interrupted_retries = 100000;

// A wipe the compiler cannot drop as a dead store: the empty assembly
// statement may read the zeroed bytes through buf, so the stores must be
// done before it. Small fixed sizes become a few inline stores, with no call.
void wipe(void *buf, size_t len) {
    memset(buf, 0, len);
    asm volatile("" : : "r"(buf) : "memory");
}

// Wipes a local buffer of seed material on every way out of its scope.
struct wipe_on_exit {
    void *buf;
    size_t len;
    wipe_on_exit(void *b, size_t n) : buf(b), len(n) {}
    wipe_on_exit(const wipe_on_exit &) = delete;
    wipe_on_exit &operator=(const wipe_on_exit &) = delete;
    ~wipe_on_exit() {
        wipe(buf, len);
    }
};

// The compiler keeps key and keystream words in registers and, when it runs
// out of them, in spill slots on the stack, which no wipe of ours can name.
// So each exported function does its work in a call of its own and then
// wipes the stack that call used: the deepest the work goes, measured on
// x86-64 with g++ 12 and clang 14 (at most 380 bytes with one block at a
// time, 1,216 through the AVX2 path, and by its frame sizes about 1,600
// through the AVX-512 one), with room to spare. The stack-residue tests fail
// if a build leaves secrets deeper.
constexpr size_t narrow_stack_bytes = 512;
constexpr size_t wide_stack_bytes = 2048;

// Zeroes the bytes of stack right below the caller's frame, where the call
// it made before this one kept its frames.
__attribute__((noinline)) void wipe_stack(size_t bytes) {
    uint8_t area[wide_stack_bytes];
    // The C library's memset, vector stores, is several times faster here
    // than the string instruction the compiler emits for an inline one.
    explicit_bzero(area + sizeof area - bytes, bytes);
}

uint32_t *state_words(drng_chacha20 *state) {
    return reinterpret_cast<uint32_t *>(state);
}

// Copies the first len bytes of the little-endian serialisation of words:
// whole words, then the bytes of a last partial one.
void serialise_prefix(uint8_t *out, const uint32_t *words, uint32_t len) {
    uint32_t i = 0;
    for (; i + 4 <= len; i += 4) {
        quorvandelith::store32_le(out + i, words[i / 4]);
    }
    for (; i < len; i++) {
        out[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
    }
}

// One block as 16 words; then the block counter (word 12) moves on by one,
// modulo 2^32 and without carry into the nonce.
void chacha20_block(uint32_t block[16], uint32_t out[16]) {
    chacha20_core(block, [out](int i, uint32_t w) { out[i] = w; });
    block[12] += 1;
}

// Reads the real-time clock; on failure nothing is written. The reading's
// nanoseconds are seed material, so the local copy is wiped before return.
void get_time(int64_t *seconds, uint32_t *nanoseconds) {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        return;
    }
    if (seconds != nullptr) {
        *seconds = ts.tv_sec;
    }
    if (nanoseconds != nullptr) {
        *nanoseconds = static_cast<uint32_t>(ts.tv_nsec);
    }
    wipe(&ts, sizeof ts);
}

// Each record has a page to itself, so that no other data shares its lock,
// its wipe at fork or its absence from core dumps.
size_t page_size() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Locks the record's page into memory. A refusal with EAGAIN or EPERM leaves
// it unlocked; any other error is returned as minus errno.
int32_t lock_page(drng_chacha20 *state) {
    if (mlock(state, page_size()) == 0 || errno == EAGAIN || errno == EPERM) {
        return 0;
    }
    return -errno;
}

// One madvise request; a kernel that does not know the advice (EINVAL:
// MADV_WIPEONFORK before Linux 4.14, MADV_DONTDUMP before 3.4) is not an error.
int32_t advise(void *page, int advice) {
    if (madvise(page, page_size(), advice) == 0 || errno == EINVAL) {
        return 0;
    }
    return -errno;
}

// Maps a zero-filled page for a new record: wiped in the child of a fork, left
// out of core dumps, and locked into memory where the system allows it.
// Returns 0 or minus the errno of the first step that failed (the page is then
// unmapped again; nothing was written to it).
int32_t drng_chacha20_alloc(drng_chacha20 **out) {
    void *page = mmap(nullptr, page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
    if (page == MAP_FAILED) {
        return -errno;
    }
    int32_t ret = advise(page, MADV_WIPEONFORK);
    if (ret == 0) {
        ret = advise(page, MADV_DONTDUMP);
    }
    if (ret == 0) {
        ret = lock_page(static_cast<drng_chacha20 *>(page));
    }
    if (ret != 0) {
        munmap(page, page_size());
        return ret;
    }
    *out = static_cast<drng_chacha20 *>(page);
    return 0;
}

// Wipes the record and unmaps its page, which also gives its lock back.
void drng_chacha20_dealloc(drng_chacha20 *state) {
    wipe(state, sizeof *state);
    munmap(state, page_size());
}

// Backtracking resistance: XOR eight keystream words into the key, then count
// the key change in the nonce. With index 0..8 the words come from the
// caller's leftover block (the words after the ones handed out); otherwise a
// fresh block is computed.
void drng_chacha20_update(drng_chacha20 *state, const uint32_t *leftover, uint32_t index) {
    if (index > 8) {
        uint32_t fresh[16];
        chacha20_block(state_words(state), fresh);
        for (int i = 0; i < 8; i++) {
            state->key[i] ^= fresh[i];
        }
        wipe(fresh, sizeof fresh);
    } else {
        for (uint32_t i = 0; i < 8; i++) {
            state->key[i] ^= leftover[index + i];
        }
    }
    if (++state->nonce[0] == 0 && ++state->nonce[1] == 0) {
        ++state->nonce[2];
    }
}

// XORs the data into the key, 32 bytes (little-endian) per chunk, with an
// update after each chunk.
int drng_chacha20_seed(drng_chacha20 *state, const uint8_t *data, uint32_t length) {
    while (length > 0) {
        const uint32_t chunk = length < seed_chunk_size ? length : seed_chunk_size;
        for (uint32_t i = 0; i < chunk; i++) {
            state->key[i / 4] ^= static_cast<uint32_t>(data[i]) << (8 * (i % 4));
        }
        drng_chacha20_update(state, nullptr, update_fresh_block);
        data += chunk;
        length -= chunk;
    }
    return 0;
}

// Writes length keystream bytes, the whole blocks through the given path, then
// changes the key. A tail of 1..32 bytes leaves at least eight unused words of
// its block, which become the key change; otherwise the update computes a
// fresh block.
int generate_with(blocks_fn blocks, drng_chacha20 *state, uint8_t *out, uint32_t length) {
    uint32_t *block = state_words(state);
    const uint32_t whole = length / 64;
    const uint32_t tail = length % 64;

    if (whole > 0) {
        blocks(block, out, whole);
    }
    if (tail == 0) {
        drng_chacha20_update(state, nullptr, update_fresh_block);
        return 0;
    }
    uint32_t buf[16];
    chacha20_block(block, buf);
    serialise_prefix(out + static_cast<size_t>(whole) * 64, buf, tail);
    drng_chacha20_update(state, buf, (tail + 3) / 4);
    wipe(buf, sizeof buf);
    return 0;
}

int drng_chacha20_generate(drng_chacha20 *state, uint8_t *out, uint32_t length) {
    return generate_with(length >= 64 ? select_blocks() : chacha20_blocks_portable, state, out,
                         length);
}

// Asks the kernel for len bytes (getrandom, flags 0). A failed call is
// retried when it was interrupted (EINTR, ERESTART), up to
// max_interrupted_retries times in a row. A return of 0 delivered nothing and
// set no errno: the read ends there. errno is never cleared, so the caller's
// errno survives a successful read. Returns how many bytes were obtained.
size_t kernel_random(uint8_t *buf, size_t len) {
    size_t got = 0;
    unsigned retries = 0;  // interrupted calls since the last delivery
    while (got < len) {
        const long ret = syscall(SYS_getrandom, buf + got, len - got, 0ul);
        if (ret > 0) {
            const size_t n = static_cast<size_t>(ret);
            got += n < len - got ? n : len - got;
            retries = 0;
        } else if (ret < 0 && (errno == EINTR || errno == ERESTART) &&
                   retries < max_interrupted_retries) {
            retries++;
        } else {
            break;
        }
    }
    return got;
}

// RFC 7539 section 2.3.2: key 00..1f, block count 1, nonce 00000009 0000004a 00000000.
constexpr uint32_t kat_input[16] = {
    0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
    0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c, 0x00000001, 0x09000000, 0x4a000000, 0x00000000,
};
constexpr uint8_t kat_output[64] = {
    0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3, 0x20, 0x71, 0xc4,
    0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22, 0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e,
    0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa, 0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2,
    0xb5, 0x12, 0x9c, 0xd1, 0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e,
};

bool block_function_passes() {
    uint32_t block[16];
    uint32_t words[16];
    uint8_t bytes[64];
    memcpy(block, kat_input, sizeof block);
    chacha20_block(block, words);
    serialise_prefix(bytes, words, sizeof bytes);
    return memcmp(bytes, kat_output, sizeof bytes) == 0;
}

// Generator self-tests: from key, counter and nonce all zero, seed (optional)
// and generate; the first is the RFC 7539 all-zero keystream.
constexpr uint8_t expected_block[32] = {
    0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
    0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
};
constexpr uint8_t expected_twoblocks[64] = {
    0xe3, 0xb0, 0x8a, 0xcc, 0x34, 0xc3, 0x17, 0x0e, 0xc3, 0xd8, 0xc3, 0x40, 0xe7, 0x73, 0xe9, 0x0d,
    0xd1, 0x62, 0xa3, 0x5d, 0x7d, 0xf2, 0xf1, 0x4a, 0x24, 0x42, 0xb7, 0x1e, 0xb0, 0x05, 0x17, 0x07,
    0xb9, 0x35, 0x10, 0x69, 0x8b, 0x46, 0xfb, 0x51, 0xe9, 0x91, 0x3f, 0x46, 0xf2, 0x4d, 0xea, 0xd0,
    0x81, 0xc1, 0x1b, 0xa9, 0x5d, 0x52, 0x91, 0x5f, 0xcd, 0xdc, 0xc6, 0xd6, 0xc3, 0x7c, 0x50, 0x23,
};
constexpr uint8_t expected_block_nonaligned[36] = {
    0x9c, 0xfc, 0x5e, 0x31, 0x21, 0x62, 0x11, 0x85, 0xd3, 0x77, 0xd3, 0x69,
    0x0f, 0xa8, 0x16, 0x55, 0xb4, 0x4c, 0xf6, 0x52, 0xf3, 0xa8, 0x37, 0x99,
    0x38, 0x76, 0xa0, 0x66, 0xec, 0xbb, 0xce, 0xa9, 0x9c, 0x95, 0xa1, 0xfd,
};
constexpr uint8_t test_seed[64] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63,
};

struct self_test {
    uint32_t seed_len;  // bytes of test_seed
    const uint8_t *expected;
    uint32_t len;
};

constexpr self_test self_tests[] = {
    {0, expected_block, sizeof expected_block},
    {64, expected_twoblocks, sizeof expected_twoblocks},
    {36, expected_block_nonaligned, sizeof expected_block_nonaligned},
};

// Runs the self-tests on the fresh record; returns 0 or -EFAULT.
int32_t generator_self_tests(drng_chacha20 *state) {
    memset(state, 0, sizeof *state);
    memcpy(state->constants, chacha_constants, sizeof chacha_constants);
    for (const self_test &t : self_tests) {
        uint8_t out[64];
        memset(state_words(state) + 4, 0, 12 * sizeof(uint32_t));
        int ret = drng_chacha20_seed(state, test_seed, t.seed_len);
        if (ret == 0) {
            ret = drng_chacha20_generate(state, out, t.len);
        }
        const bool same = ret == 0 && memcmp(out, t.expected, t.len) == 0;
        wipe(out, sizeof out);
        if (ret != 0) {
            return ret;
        }
        if (!same) {
            return -EFAULT;
        }
    }
    return 0;
}

// XORs a fresh clock reading (nanoseconds) into each key word, then each nonce word.
void stir_clock(drng_chacha20 *state) {
    uint32_t ns = 0;
    for (uint32_t &word : state->key) {
        get_time(nullptr, &ns);
        word ^= ns;
    }
    for (uint32_t &word : state->nonce) {
        get_time(nullptr, &ns);
        word ^= ns;
    }
}

// Seeds the record with 32 bytes of kernel randomness, then with the caller's
// data, and restarts the age and volume counts. With fewer than 32 kernel
// bytes it returns -EFAULT; the record keeps what the partial seed did, and
// the counts stay as they were.
int32_t reseed(drng_chacha20 *state, const uint8_t *data, uint32_t length) {
    uint8_t seed[kernel_seed_size] = {};
    const size_t got = kernel_random(seed, sizeof seed);
    int32_t ret = 0;
    if (got > 0) {
        ret = drng_chacha20_seed(state, seed, sizeof seed);
    }
    wipe(seed, sizeof seed);
    if (ret != 0) {
        return ret;
    }
    if (got < sizeof seed) {
        return -EFAULT;
    }
    if (data != nullptr && length > 0) {
        ret = drng_chacha20_seed(state, data, length);
    }
    get_time(&state->reseed_time, nullptr);
    state->bytes_since_reseed = 0;
    return ret;
}

// A live record's first constant word is never zero; zero means the page was
// wiped by fork, so this process is a child holding an empty copy.
bool wiped_by_fork(const drng_chacha20 *state) {
    return state->constants[0] == 0;
}

// The first get or reseed in a forked child. The wiped record holds zeros
// only (key, counter, nonce, age and volume), so nothing of the parent's
// stream is left: restore the constants, lock the page again (locks are not
// inherited) and reseed, which makes the key depend on the 32 kernel bytes
// alone and sets reseed_time and bytes_since_reseed as any reseed does. On
// failure the record is wiped again, still marked, so the next call retries.
int32_t recover_from_fork(drng_chacha20 *state) {
    int32_t ret = lock_page(state);
    if (ret != 0) {
        return ret;
    }
    memcpy(state->constants, chacha_constants, sizeof chacha_constants);
    ret = reseed(state, nullptr, 0);
    if (ret != 0) {
        wipe(state, sizeof *state);
    }
    return ret;
}

// The seeding step of a get: a reseed (kernel bytes, then the nanosecond
// bytes) when the seed is more than 600 seconds old or more than 2^30 bytes
// were drawn since, else the nanosecond bytes alone.
int32_t seed_for_get(drng_chacha20 *state, int64_t now, const uint8_t ns_bytes[4]) {
    // Signed difference modulo 2^64: a clock set back gives a negative age.
    const int64_t age = static_cast<int64_t>(static_cast<uint64_t>(now) -
                                             static_cast<uint64_t>(state->reseed_time));
    if (age > reseed_max_age || state->bytes_since_reseed > reseed_max_bytes) {
        const int32_t ret = reseed(state, ns_bytes, 4);
        if (ret != 0) {
            return ret;
        }
        state->bytes_since_reseed = 0;
        state->reseed_time = now;
        return 0;
    }
    return drng_chacha20_seed(state, ns_bytes, 4);
}

// 0 when the record is ready for use; in a forked child, whatever bringing it
// back returned.
int32_t ready_for_use(drng_chacha20 *state) {
    return wiped_by_fork(state) ? recover_from_fork(state) : 0;
}

// The work of the exported functions, each called by its exported function
// once the arguments are checked, so that the stack it used can be wiped.
__attribute__((noinline)) int32_t init_handle(drng_chacha20 **drng) {
    if (!block_function_passes()) {
        return -EFAULT;
    }
    drng_chacha20 *state = nullptr;
    int32_t ret = drng_chacha20_alloc(&state);
    if (ret != 0) {
        return ret;
    }
    ret = generator_self_tests(state);
    if (ret != 0) {
        drng_chacha20_dealloc(state);
        return ret;
    }
    stir_clock(state);

    *drng = state;
    ret = reseed(state, nullptr, 0);
    if (ret != 0) {
        // Never leave a released handle in the caller's variable.
        drng_chacha20_dealloc(state);
        *drng = nullptr;
    }
    return ret;
}

__attribute__((noinline)) int32_t reseed_handle(drng_chacha20 *drng, const uint8_t *inbuf,
                                                uint32_t inbuflen) {
    const int32_t ret = ready_for_use(drng);
    return ret != 0 ? ret : reseed(drng, inbuf, inbuflen);
}

__attribute__((noinline)) int32_t get_bytes(drng_chacha20 *drng, uint8_t *outbuf,
                                            uint32_t outbuflen) {
    int32_t ret = ready_for_use(drng);
    if (ret != 0) {
        return ret;
    }
    int64_t now = 0;
    uint32_t ns = 0;
    get_time(&now, &ns);
    // The 4 nanosecond bytes, in little-endian order where ns is stored, are
    // seed material: wiped on every way out.
    if constexpr (std::endian::native == std::endian::big) {
        ns = __builtin_bswap32(ns);
    }
    const wipe_on_exit wipe_ns(&ns, sizeof ns);
    const uint8_t *const ns_bytes = reinterpret_cast<const uint8_t *>(&ns);

    ret = seed_for_get(drng, now, ns_bytes);
    if (ret != 0) {
        return ret;
    }
    ret = drng_chacha20_generate(drng, outbuf, outbuflen);
    if (ret == 0) {
        drng->bytes_since_reseed += outbuflen;
    }
    return ret;
}

}  // namespace

int32_t drng_chacha20_init(struct drng_chacha20 **drng) {
    if (drng == nullptr) {
        return -EINVAL;
    }
    const int32_t ret = init_handle(drng);
    wipe_stack(wide_stack_bytes);
    clear_registers();
    return ret;
}

void drng_chacha20_destroy(struct drng_chacha20 *drng) {
    if (drng != nullptr) {
        drng_chacha20_dealloc(drng);
    }
}

int32_t drng_chacha20_reseed(struct drng_chacha20 *drng, const uint8_t *inbuf, uint32_t inbuflen) {
    if (drng == nullptr) {
        return -EINVAL;
    }
    const int32_t ret = reseed_handle(drng, inbuf, inbuflen);
    wipe_stack(narrow_stack_bytes);
    clear_registers();
    return ret;
}

int32_t drng_chacha20_get(struct drng_chacha20 *drng, uint8_t *outbuf, uint32_t outbuflen) {
    if (drng == nullptr || (outbuf == nullptr && outbuflen > 0)) {
        return -EINVAL;
    }
    const int32_t ret = get_bytes(drng, outbuf, outbuflen);
    // Requests of a whole block or more may take a whole-block path.
    wipe_stack(outbuflen >= 64 ? wide_stack_bytes : narrow_stack_bytes);
    clear_registers();
    return ret;
}

int32_t drng_chacha20_versionstring(char *buf, size_t buflen) {
    return snprintf(buf, buflen, "Quorvandelith %d.%d.%d", version_major, version_minor,
                    version_patch);
}

int32_t drng_chacha20_version(void) {
    return version_major * 1000000 + version_minor * 10000 + version_patch * 100;
}
