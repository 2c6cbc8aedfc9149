/* Constant-time check of the generator, run under valgrind's memcheck: right
 * after init the key is marked undefined, as if it were secret input that
 * memcheck must not see used. Every value computed from it is undefined too,
 * so memcheck reports each conditional jump ("Conditional jump or move depends
 * on uninitialised value(s)") and each memory address ("Use of uninitialised
 * value") that depends on the key. The program draws many lengths at every
 * alignment, reseeds with data of its own and destroys the handle. The output
 * depends on the key, so the program never looks at it. */
#include <stdint.h>
#include <stdio.h>
#include <valgrind/memcheck.h>

#include "quorvandelith.h"

/* The record starts with the four constant words; the eight key words follow. */
enum { key_offset = 16, key_size = 32 };

static uint8_t out[16 + 70000];

static int draw(struct drng_chacha20 *drng) {
    static const uint32_t large[] = {1024, 4096 + 17, 16 * 64 * 3 + 33, 65536 + 5};
    int failures = 0;
    for (uint32_t align = 0; align < 16; align++) {
        for (uint32_t len = 0; len <= 300; len++) {
            failures += drng_chacha20_get(drng, out + align, len) != 0;
        }
        for (size_t i = 0; i < sizeof large / sizeof large[0]; i++) {
            failures += drng_chacha20_get(drng, out + align, large[i]) != 0;
        }
    }
    return failures;
}

int main(void) {
    struct drng_chacha20 *drng = NULL;
    if (drng_chacha20_init(&drng) != 0) {
        fprintf(stderr, "constant_time: drng_chacha20_init failed\n");
        return 2;
    }
    if (!RUNNING_ON_VALGRIND) {
        fprintf(stderr, "constant_time: not under valgrind, so nothing is checked\n");
    }
#if defined(__x86_64__)
    /* valgrind presents its own CPU: say which whole-block path that selects. */
    __builtin_cpu_init();
    printf("whole blocks: %s path\n", __builtin_cpu_supports("avx512f") ? "AVX-512"
                                      : __builtin_cpu_supports("avx2") ? "AVX2"
                                                                        : "portable");
#endif
    VALGRIND_MAKE_MEM_UNDEFINED((uint8_t *)drng + key_offset, key_size);

    int failures = draw(drng);
    static const uint8_t extra[45] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    failures += drng_chacha20_reseed(drng, extra, sizeof extra) != 0;
    failures += draw(drng);
    drng_chacha20_destroy(drng);
    if (failures != 0) {
        fprintf(stderr, "constant_time: %d calls failed\n", failures);
        return 1;
    }
    return 0;
}
