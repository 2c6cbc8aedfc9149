#include "fake_system.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

// Atomics, so that the fakes stay race-free under ThreadSanitizer even if
// another thread passes through them.
std::atomic<const long *> script{nullptr};
std::atomic<size_t> script_left{0};
std::atomic<int> getrandom_errno{0};
std::atomic<int> calls{0};
std::atomic<bool> clock_fixed{false};
std::atomic<bool> clock_broken{false};
std::atomic<int64_t> clock_seconds{0};
std::atomic<uint32_t> clock_nanoseconds{0};
std::atomic<uint8_t (*)(uint64_t)> stream{nullptr};
std::atomic<uint64_t> stream_position{0};
std::atomic<const fake::Reading *> clock_script{nullptr};
std::atomic<size_t> clock_script_count{0};
std::atomic<int> clock_read_count{0};
std::atomic<uint32_t> clock_resolution{0};
std::atomic<int> mlock_errno{0};
// mmap and munmap are also called by the sanitizer runtimes while they start,
// before ThreadSanitizer can track anything: their fakes are left out of its
// instrumentation, use atomic builtins instead of std::atomic (whose member
// functions would be instrumented calls), and look the real function up on
// every call instead of in a guarded static.
int mmap_errno = 0;
int mappings = 0;
std::atomic<int> madvise_advice{0};
std::atomic<int> madvise_errno{0};

template <typename F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using syscall_fn = long (*)(long, ...);
using clock_fn = int (*)(clockid_t, struct timespec *);
using mlock_fn = int (*)(const void *, size_t);
using mmap_fn = void *(*)(void *, size_t, int, int, int, off_t);
using munmap_fn = int (*)(void *, size_t);
using madvise_fn = int (*)(void *, size_t, int);

long real_getrandom(void *buf, size_t len, unsigned flags) {
    if (auto *byte = stream.load()) {
        auto *out = static_cast<uint8_t *>(buf);
        for (size_t i = 0; i < len; i++) {
            out[i] = byte(stream_position++);
        }
        return static_cast<long>(len);
    }
    static const syscall_fn real = next<syscall_fn>("syscall");
    return real(SYS_getrandom, buf, len, flags);
}

long fake_getrandom(void *buf, size_t len, unsigned flags) {
    calls++;
    if (script_left.load() > 0) {
        const long answer = *script.load();
        script.store(script.load() + 1);
        script_left--;
        if (answer < 0) {
            errno = static_cast<int>(-answer);
            return -1;
        }
        return real_getrandom(buf, static_cast<size_t>(answer) < len ? answer : len, flags);
    }
    if (int err = getrandom_errno.load(); err != 0) {
        errno = err;
        return -1;
    }
    return real_getrandom(buf, len, flags);
}

}  // namespace

extern "C" long syscall(long number, ...) noexcept {
    va_list ap;
    va_start(ap, number);
    long args[6];
    for (long &a : args) {
        a = va_arg(ap, long);
    }
    va_end(ap);
    if (number == SYS_getrandom) {
        return fake_getrandom(reinterpret_cast<void *>(args[0]), static_cast<size_t>(args[1]),
                              static_cast<unsigned>(args[2]));
    }
    static const syscall_fn real = next<syscall_fn>("syscall");
    return real(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) noexcept {
    if (id == CLOCK_REALTIME && clock_broken.load()) {
        errno = EINVAL;
        return -1;
    }
    if (const fake::Reading *readings = clock_script.load(); id == CLOCK_REALTIME && readings) {
        const size_t count = clock_script_count.load();
        const size_t n = static_cast<size_t>(clock_read_count++);
        const fake::Reading &r = readings[n < count ? n : count - 1];
        if (r.nanoseconds < 0) {
            errno = EINVAL;
            return -1;
        }
        ts->tv_sec = r.seconds;
        ts->tv_nsec = r.nanoseconds;
        return 0;
    }
    if (id == CLOCK_REALTIME && clock_fixed.load()) {
        ts->tv_sec = clock_seconds.load();
        ts->tv_nsec = clock_nanoseconds.load();
        return 0;
    }
    static const clock_fn real = next<clock_fn>("clock_gettime");
    const int ret = real(id, ts);
    if (const uint32_t step = clock_resolution.load(); id == CLOCK_REALTIME && step && ret == 0) {
        ts->tv_nsec -= ts->tv_nsec % step;
    }
    return ret;
}

extern "C" int mlock(const void *addr, size_t len) noexcept {
    if (int err = mlock_errno.load(); err != 0) {
        errno = err;
        return -1;
    }
    static const mlock_fn real = next<mlock_fn>("mlock");
    return real(addr, len);
}

#define UNTRACKED_BY_TSAN __attribute__((no_sanitize("thread")))

extern "C" UNTRACKED_BY_TSAN void *mmap(void *addr, size_t len, int prot, int flags, int fd,
                                        off_t offset) noexcept {
    if (int err = __atomic_load_n(&mmap_errno, __ATOMIC_RELAXED); err != 0) {
        errno = err;
        return MAP_FAILED;
    }
    const auto real = reinterpret_cast<mmap_fn>(dlsym(RTLD_NEXT, "mmap"));
    void *const mapped = real(addr, len, prot, flags, fd, offset);
    if (mapped != MAP_FAILED) {
        __atomic_fetch_add(&mappings, 1, __ATOMIC_RELAXED);
    }
    return mapped;
}

extern "C" UNTRACKED_BY_TSAN int munmap(void *addr, size_t len) noexcept {
    const auto real = reinterpret_cast<munmap_fn>(dlsym(RTLD_NEXT, "munmap"));
    const int ret = real(addr, len);
    if (ret == 0) {
        __atomic_fetch_sub(&mappings, 1, __ATOMIC_RELAXED);
    }
    return ret;
}

#undef UNTRACKED_BY_TSAN

extern "C" int madvise(void *addr, size_t len, int advice) noexcept {
    if (int err = madvise_errno.load(); err != 0 && advice == madvise_advice.load()) {
        errno = err;
        return -1;
    }
    static const madvise_fn real = next<madvise_fn>("madvise");
    return real(addr, len, advice);
}

namespace fake {

void script_getrandom(const long *answers, size_t count) {
    script.store(answers);
    script_left.store(count);
}
void fail_getrandom(int err) {
    getrandom_errno.store(err);
}
int getrandom_calls() {
    return calls.load();
}
void kernel_stream(uint8_t (*byte)(uint64_t k)) {
    stream_position.store(0);
    stream.store(byte);
}
void script_clock(const Reading *readings, size_t count) {
    clock_read_count.store(0);
    clock_script_count.store(count);
    clock_script.store(count > 0 ? readings : nullptr);
}
int clock_reads() {
    return clock_read_count.load();
}
void set_clock(int64_t seconds, uint32_t nanoseconds) {
    clock_seconds.store(seconds);
    clock_nanoseconds.store(nanoseconds);
    clock_fixed.store(true);
}
void fail_clock(bool fail) {
    clock_broken.store(fail);
}
void coarse_clock(uint32_t resolution_ns) {
    clock_resolution.store(resolution_ns);
}
void fail_mmap(int err) {
    __atomic_store_n(&mmap_errno, err, __ATOMIC_RELAXED);
}
int live_mappings() {
    return __atomic_load_n(&mappings, __ATOMIC_RELAXED);
}
void fail_madvise(int advice, int err) {
    madvise_advice.store(advice);
    madvise_errno.store(err);
}
void fail_mlock(int err) {
    mlock_errno.store(err);
}
void reset() {
    script_left.store(0);
    getrandom_errno.store(0);
    stream.store(nullptr);
    clock_script.store(nullptr);
    clock_fixed.store(false);
    clock_broken.store(false);
    clock_resolution.store(0);
    mlock_errno.store(0);
    __atomic_store_n(&mmap_errno, 0, __ATOMIC_RELAXED);
    madvise_errno.store(0);
}

}  // namespace fake
