/*
 * libquorvandelith: a deterministic random bit generator built on the ChaCha20
 * block function, seeded from the kernel's random source.
 *
 * A handle is used by one thread at a time; separate handles are independent,
 * and the library keeps no global state. Functions that can fail return 0 on
 * success or a negative errno value; each returns -EINVAL (-22) for the
 * invalid arguments named at it, before it allocates or changes anything.
 *
 * What a handle costs: it lives at the start of a memory page of its own (an
 * anonymous private mapping of one page, 4 KiB on x86-64), locked into memory
 * where the system allows it and left out of core dumps. Each live handle
 * thus holds one page of the process's locked-memory limit (RLIMIT_MEMLOCK);
 * an unprivileged process under a 64 KiB limit can hold 16 locked handles at
 * once (fewer if it locks other memory), and the next init fails with
 * -ENOMEM. Destroying a handle unmaps its page, which gives the lock back.
 *
 * fork(): the kernel hands the child a zero-filled copy of every handle's page
 * (MADV_WIPEONFORK). The child's first drng_chacha20_get or
 * drng_chacha20_reseed on such a handle notices, locks the page again and
 * reseeds it with 32 bytes from the kernel before anything else, so the child
 * never continues the parent's stream (a grandchild likewise); the parent's
 * handle is untouched. If that reseed fails, the call returns its error and
 * writes nothing, and the next call tries again.
 * Kernels before Linux 4.14 refuse that wipe (before 3.4 also MADV_DONTDUMP);
 * the library then goes on without them. There the child holds an exact copy
 * of the parent's handle and cannot tell: its next output differs from the
 * parent's only by a 4-byte clock reading, and may be the same bytes. On such
 * kernels a child must call drng_chacha20_reseed on every handle it inherited
 * before drawing from it (or destroy them and create its own), and a core dump
 * may hold the handle's key.
 *
 * Kernel reads: getrandom calls interrupted (EINTR, ERESTART) are retried, but
 * at most 100,000 times in a row; then, as after a getrandom return of 0 or
 * any other error, the read ends short and the call returns -EFAULT (-14).
 *
 * Lengths are 32-bit: one request is at most 4 GiB - 1 (4294967295) bytes. A
 * larger size_t passed in is cut to its low 32 bits by C's conversion rules,
 * without a warning: split larger requests.
 */
#ifndef QUORVANDELITH_H
#define QUORVANDELITH_H

#include <stddef.h>
#include <stdint.h>

/* Makes the compiler warn when a result that reports failure is dropped. */
#if defined(__has_attribute)
#if __has_attribute(warn_unused_result)
#define QUORVANDELITH_WARN_UNUSED_RESULT __attribute__((warn_unused_result))
#endif
#elif defined(__GNUC__)
#define QUORVANDELITH_WARN_UNUSED_RESULT __attribute__((warn_unused_result))
#endif
#ifndef QUORVANDELITH_WARN_UNUSED_RESULT
#define QUORVANDELITH_WARN_UNUSED_RESULT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The generator's state; opaque to applications. */
struct drng_chacha20;

/*
 * Creates a generator: checks the ChaCha20 block function and the generator
 * against known answers, then seeds the new handle with 32 bytes from the
 * kernel and stores it in *drng.
 * Returns 0; -EINVAL (-22) when drng is NULL; -EFAULT (-14) when a
 * known-answer test fails or the kernel supplies fewer than 32 bytes; or minus
 * the errno of a failed page mapping, madvise or memory lock (for example
 * -ENOMEM, -12, when the lock limit is reached). On failure *drng is left as
 * it was, or set to NULL when the kernel seed could not be obtained.
 */
QUORVANDELITH_WARN_UNUSED_RESULT int32_t drng_chacha20_init(struct drng_chacha20 **drng);

/* Wipes the handle and unmaps its page. A NULL handle is ignored. */
void drng_chacha20_destroy(struct drng_chacha20 *drng);

/*
 * Writes outbuflen random bytes to outbuf. Reseeds from the kernel first when
 * the last reseed is more than 600 seconds old or more than 2^30 bytes have
 * been drawn since, and in a forked child on the first call (see above).
 * Returns 0; -EINVAL (-22) when drng is NULL, or outbuf is NULL and outbuflen
 * is not 0 (NULL with length 0 is valid); or the error of that reseed
 * (-EFAULT), or in a forked child of locking the page again, in which case
 * nothing is written and the next call tries again.
 */
QUORVANDELITH_WARN_UNUSED_RESULT int32_t drng_chacha20_get(struct drng_chacha20 *drng,
                                                           uint8_t *outbuf, uint32_t outbuflen);

/*
 * Reseeds with 32 bytes from the kernel, then mixes in inbuflen bytes of
 * inbuf (which may be NULL: then only the kernel bytes are seeded). Returns 0;
 * -EINVAL (-22) when drng is NULL; or -EFAULT (-14) when fewer than 32 kernel
 * bytes were obtained, in which case the age and volume counters stay as they
 * were. In a forked child the first call reseeds the wiped handle before its
 * own reseed, and can also fail as drng_chacha20_get does.
 */
QUORVANDELITH_WARN_UNUSED_RESULT int32_t drng_chacha20_reseed(struct drng_chacha20 *drng,
                                                              const uint8_t *inbuf,
                                                              uint32_t inbuflen);

/*
 * Writes "Quorvandelith <major>.<minor>.<patch>", the library's release, into
 * buf with snprintf rules (at most buflen - 1 characters and a terminating
 * zero; nothing when buflen is 0). Returns the length of the full text.
 */
int32_t drng_chacha20_versionstring(char *buf, size_t buflen);

/* Returns the release as major * 1000000 + minor * 10000 + patch * 100. */
int32_t drng_chacha20_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVANDELITH_H */
