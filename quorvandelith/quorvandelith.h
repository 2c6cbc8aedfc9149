/*
 * libquorvandelith: a deterministic random bit generator built on the ChaCha20
 * block function, seeded from the kernel's random source.
 *
 * A handle is used by one thread at a time; separate handles are independent,
 * and the library keeps no global state. Functions that can fail return 0 on
 * success or a negative errno value.
 */
#ifndef QUORVANDELITH_H
#define QUORVANDELITH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The generator's state; opaque to applications. */
struct drng_chacha20;

/*
 * Creates a generator: checks the ChaCha20 block function and the generator
 * against known answers, then seeds the new handle with 32 bytes from the
 * kernel and stores it in *drng.
 * Returns 0, -EFAULT (-14) when a known-answer test fails or the kernel
 * supplies fewer than 32 bytes, or minus the errno of a failed allocation or
 * memory lock (for example -ENOMEM, -12). On failure *drng is left as it was,
 * or set to NULL when the kernel seed could not be obtained.
 */
int32_t drng_chacha20_init(struct drng_chacha20 **drng);

/* Wipes and frees the handle. A NULL handle is ignored. */
void drng_chacha20_destroy(struct drng_chacha20 *drng);

/*
 * Writes outbuflen random bytes to outbuf. Reseeds from the kernel first when
 * the last reseed is more than 600 seconds old or more than 2^30 bytes have been
 * drawn since. Returns 0, or the error of that reseed (-EFAULT), in which case
 * nothing is written and the next call tries the reseed again.
 */
int32_t drng_chacha20_get(struct drng_chacha20 *drng, uint8_t *outbuf, uint32_t outbuflen);

/*
 * Reseeds with 32 bytes from the kernel, then mixes in inbuflen bytes of
 * inbuf (which may be NULL). Returns 0, or -EFAULT (-14) when fewer than 32
 * kernel bytes were obtained; the age and volume counters then stay as they were.
 */
int32_t drng_chacha20_reseed(struct drng_chacha20 *drng, const uint8_t *inbuf, uint32_t inbuflen);

/*
 * Writes "Quorvandelith 1.3.2" into buf with snprintf rules (at most buflen - 1
 * characters and a terminating zero; nothing when buflen is 0). Returns the
 * length of the full text, 19.
 */
int32_t drng_chacha20_versionstring(char *buf, size_t buflen);

/* Returns the version as major * 1000000 + minor * 10000 + patch * 100: 1030200. */
int32_t drng_chacha20_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVANDELITH_H */
