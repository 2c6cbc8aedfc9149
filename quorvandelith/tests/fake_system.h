// Fault injection from outside the library: this test program defines
// syscall, clock_gettime, mlock and posix_memalign itself, so the dynamic
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
// getrandom fails with this errno on every call while nonzero.
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

void fail_mlock(int err);
void fail_posix_memalign(int err);

// Back to the real system for everything.
void reset();

}  // namespace fake
