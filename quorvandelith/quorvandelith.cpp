// libquorvandelith: a ChaCha20 keystream generator whose key is replaced after
// every request (backtracking resistance), whose 96-bit nonce counts those
// replacements, and into whose key kernel randomness and clock readings are
// XORed. The block function is the one of RFC 7539 section 2.3.
//
// Only the six functions of quorvandelith.h are exported; everything in the
// anonymous namespace is private to this file. The whole-block paths (portable,
// AVX2, AVX-512) live in chacha20_blocks.cpp and init's proof of the one this
// CPU uses in blocks_proof.cpp, both hidden inside the library.
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

#include "blocks_proof.h"
#include "chacha20_blocks.h"
#include "known_answers.h"
#include "clear_registers.h"
#include "quorvandelith_version.h"  // generated from the project's version
#include "wipe.h"

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
using quorvandelith::narrow_stack_bytes;
using quorvandelith::select_blocks;
using quorvandelith::wide_request_bytes;
using quorvandelith::wide_stack_bytes;
using quorvandelith::wipe;
using quorvandelith::wipe_on_exit;
using quorvandelith::wipe_stack;

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

// Reads the real-time clock; on failure nothing is written and the result is
// false. The reading's nanoseconds are seed material, so the local copy is
// wiped before return.
bool get_time(int64_t *seconds, uint32_t *nanoseconds) {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        return false;
    }
    if (seconds != nullptr) {
        *seconds = ts.tv_sec;
    }
    if (nanoseconds != nullptr) {
        *nanoseconds = static_cast<uint32_t>(ts.tv_nsec);
    }
    wipe(&ts, sizeof ts);
    return true;
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
    void *page =
        mmap(nullptr, page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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

// The part of the record's page that the record leaves free, where init's
// proof of the whole-block path writes (and wipes) its blocks: locked, wiped
// at fork and left out of core dumps like the record. Pages are 4 KiB or more.
uint8_t *spare_room(drng_chacha20 *state) {
    return reinterpret_cast<uint8_t *>(state) + sizeof *state;
}
static_assert(sizeof(drng_chacha20) + quorvandelith::proof_bytes <= 4096);

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
// changes the key. The path also gives the block after the whole ones: a tail
// of 1..32 bytes takes its first words and leaves at least eight unused ones,
// which become the key change; a tail of 33..63 bytes leaves too few, and the
// update computes a fresh block; with no tail the block itself is the key
// change.
int generate_with(blocks_fn blocks, drng_chacha20 *state, uint8_t *out, uint32_t length) {
    const uint32_t whole = length / 64;
    const uint32_t tail = length % 64;
    uint32_t next[16];
    blocks(state_words(state), out, whole, next);
    if (tail == 0) {
        drng_chacha20_update(state, next, 0);
    } else {
        serialise_prefix(out + static_cast<size_t>(whole) * 64, next, tail);
        drng_chacha20_update(state, next, (tail + 3) / 4);
    }
    wipe(next, sizeof next);
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

// The block function against RFC 7539 section 2.3.2 (known_answers.h).
bool block_function_passes() {
    uint32_t block[16];
    uint32_t words[16];
    uint8_t bytes[64];
    memcpy(block, kat_input, sizeof block);
    chacha20_block(block, words);
    serialise_prefix(bytes, words, sizeof bytes);
    return memcmp(bytes, kat_output, sizeof bytes) == 0;
}

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
// Read through a volatile pointer: a fork from a signal handler can wipe the
// page between any two instructions of a call.
bool wiped_by_fork(const drng_chacha20 *state) {
    return *static_cast<const volatile uint32_t *>(&state->constants[0]) == 0;
}

// The first get or reseed in a forked child. The wiped record holds zeros
// only (key, counter, nonce, age and volume), so nothing of the parent's
// stream is left: restore the constants, lock the page again (locks are not
// inherited) and reseed, which makes the key depend on the 32 kernel bytes
// alone and sets reseed_time and bytes_since_reseed as any reseed does. The
// child's lock limit may not hold its handles' pages again: ENOMEM leaves the
// page unlocked, as EAGAIN and EPERM do. On failure the record is wiped
// again, still marked, so the next call retries.
int32_t recover_from_fork(drng_chacha20 *state) {
    int32_t ret = lock_page(state);
    if (ret != 0 && ret != -ENOMEM) {
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
// were drawn since, else the nanosecond bytes alone. An age the clock cannot
// tell (the read failed) or a negative one (the clock was set back) counts as
// too old: nothing then says that the seed is fresh.
int32_t seed_for_get(drng_chacha20 *state, bool clock_read, int64_t now,
                     const uint8_t ns_bytes[4]) {
    // Signed difference modulo 2^64.
    const int64_t age = static_cast<int64_t>(static_cast<uint64_t>(now) -
                                             static_cast<uint64_t>(state->reseed_time));
    if (!clock_read || age < 0 || age > reseed_max_age ||
        state->bytes_since_reseed > reseed_max_bytes) {
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

// Runs work() once the record is ready for use: in a forked child, once its
// wiped page is brought back. *look_again tells the exported call whether to
// look at the page again after it has wiped its stack: not when bringing the
// page back failed, which leaves it marked for the next call to retry.
template <typename Work>
int32_t when_ready(drng_chacha20 *state, bool *look_again, Work work) {
    const int32_t ret = wiped_by_fork(state) ? recover_from_fork(state) : 0;
    *look_again = ret == 0;
    return ret == 0 ? work() : ret;
}

// init's work on a given whole-block path: after the known-answer stages,
// the proof that the path gives the portable path's blocks (its output goes
// to the spare room of the new record's page, off the stack).
int32_t init_with(drng_chacha20 **drng, blocks_fn blocks) {
    if (!block_function_passes()) {
        return -EFAULT;
    }
    drng_chacha20 *state = nullptr;
    int32_t ret = drng_chacha20_alloc(&state);
    if (ret != 0) {
        return ret;
    }
    ret = generator_self_tests(state);
    if (ret == 0 && !quorvandelith::blocks_path_passes(blocks, spare_room(state))) {
        ret = -EFAULT;
    }
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

// One get on a record ready for use: the clock, the seeding step, the output.
int32_t get_once(drng_chacha20 *drng, uint8_t *outbuf, uint32_t outbuflen) {
    int64_t now = 0;
    uint32_t ns = 0;
    const bool clock_read = get_time(&now, &ns);
    // The 4 nanosecond bytes, in little-endian order where ns is stored, are
    // seed material: wiped on every way out.
    if constexpr (std::endian::native == std::endian::big) {
        ns = __builtin_bswap32(ns);
    }
    const wipe_on_exit wipe_ns(&ns, sizeof ns);
    const uint8_t *const ns_bytes = reinterpret_cast<const uint8_t *>(&ns);

    int32_t ret = seed_for_get(drng, clock_read, now, ns_bytes);
    if (ret != 0) {
        return ret;
    }
    ret = drng_chacha20_generate(drng, outbuf, outbuflen);
    if (ret == 0) {
        drng->bytes_since_reseed += outbuflen;
    }
    return ret;
}

// The work of the exported functions, each called by its exported function
// once the arguments are checked, so that the stack it used can be wiped.
__attribute__((noinline)) int32_t init_handle(drng_chacha20 **drng) {
    return init_with(drng, select_blocks());
}

__attribute__((noinline)) int32_t reseed_handle(drng_chacha20 *drng, const uint8_t *inbuf,
                                                uint32_t inbuflen, bool *look_again) {
    return when_ready(drng, look_again, [=] { return reseed(drng, inbuf, inbuflen); });
}

__attribute__((noinline)) int32_t get_bytes(drng_chacha20 *drng, uint8_t *outbuf,
                                            uint32_t outbuflen, bool *look_again) {
    return when_ready(drng, look_again, [=] { return get_once(drng, outbuf, outbuflen); });
}

// The stack a get of outbuflen bytes wipes: requests of eight blocks or more
// may take a multi-block step, which goes deeper.
size_t get_stack_bytes(uint32_t outbuflen) {
    return outbuflen >= wide_request_bytes ? wide_stack_bytes : narrow_stack_bytes;
}

// The end of a get or reseed: wipe the stack the work used, clear the
// registers, and only then take the last look at the page. A fork from a
// signal handler anywhere before that look leaves the child a wiped page,
// and the parent's key and output in its registers and stack: the call then
// starts over as the child's first call (restart, which discards what the
// call wrote), and wipes and clears again. Only a fork in the few
// instructions between the last look and the return hands the child the
// parent's result, as a fork just after the return would.
template <typename Restart>
__attribute__((always_inline)) inline int32_t end_call(const drng_chacha20 *state, int32_t ret,
                                                       bool look_again, size_t stack_bytes,
                                                       Restart restart) {
    for (;;) {
        wipe_stack(stack_bytes);
        clear_registers();
        if (!look_again || !wiped_by_fork(state)) {
            return ret;
        }
        ret = restart(ret, &look_again);
    }
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
    bool look_again = false;
    const int32_t ret = reseed_handle(drng, inbuf, inbuflen, &look_again);
    return end_call(drng, ret, look_again, narrow_stack_bytes, [=](int32_t, bool *look) {
        return reseed_handle(drng, inbuf, inbuflen, look);
    });
}

int32_t drng_chacha20_get(struct drng_chacha20 *drng, uint8_t *outbuf, uint32_t outbuflen) {
    if (drng == nullptr || (outbuf == nullptr && outbuflen > 0)) {
        return -EINVAL;
    }
    bool look_again = false;
    const int32_t ret = get_bytes(drng, outbuf, outbuflen, &look_again);
    return end_call(drng, ret, look_again, get_stack_bytes(outbuflen), [=](int32_t previous,
                                                                          bool *look) {
        // Bytes written on a wiped page are the parent's or an all-zero record's.
        if (previous == 0 && outbuflen > 0) {
            wipe(outbuf, outbuflen);
        }
        return get_bytes(drng, outbuf, outbuflen, look);
    });
}

int32_t drng_chacha20_versionstring(char *buf, size_t buflen) {
    return snprintf(buf, buflen, "Quorvandelith %d.%d.%d", version_major, version_minor,
                    version_patch);
}

int32_t drng_chacha20_version(void) {
    return version_major * 1000000 + version_minor * 10000 + version_patch * 100;
}
