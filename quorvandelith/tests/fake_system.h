// Fault injection from outside the library: this test program defines
// syscall, clock_gettime, mmap, munmap, madvise and mlock itself, so the dynamic
// linker binds the library's calls to these definitions. Each passes the call
// on to the C library unless a test has scripted a different answer.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace fake {

// Scripted getrandom answers, consumed one per call: a positive entry returns
// that many bytes (of real randomness, at most what was asked), a negative
// entry fails with errno = -entry. When the script runs out, calls pass through.
void script_getrandom(const long *answers, size_t count);
// getrandom fails with this errno on every call while nonzero (once a script
// given with script_getrandom has run out).
void fail_getrandom(int err);
int getrandom_calls();
// While set, getrandom hands out byte k of this stream (k counts every byte
// handed out since it was set) instead of real randomness.
void kernel_stream(uint8_t (*byte)(uint64_t k));

// Scripted CLOCK_REALTIME readings, consumed one per read; the last one repeats
// once the script runs out. A negative nanoseconds value makes that read fail.
struct Reading {
    int64_t seconds;
    int64_t nanoseconds;
};
void script_clock(const Reading *readings, size_t count);
int clock_reads();

// While set, CLOCK_REALTIME reads return these seconds (and nanoseconds).
void set_clock(int64_t seconds, uint32_t nanoseconds = 0);
// While set, CLOCK_REALTIME reads fail with EINVAL.
void fail_clock(bool fail);
// While nonzero, CLOCK_REALTIME reads give the real time rounded down to a
// multiple of this many nanoseconds (4000000: a 250 Hz jiffies clock).
void coarse_clock(uint32_t resolution_ns);

// While nonzero, these calls fail with this errno (madvise only for the given
// advice).
void fail_mmap(int err);
void fail_madvise(int advice, int err);
void fail_mlock(int err);
// Mappings made through mmap and not yet given back with munmap.
int live_mappings();

// Back to the real system for everything.
void reset();

}  // namespace fake
