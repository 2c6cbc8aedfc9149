// Runs test code in a forked child. The child sends back a fixed-size report
// through a pipe and leaves with _exit, so nothing of the test process (its
// buffered output, its exit handlers) runs twice.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <type_traits>

namespace process {

struct Child {
    pid_t pid = -1;
    int report_fd = -1;
};

// Forks; the child runs body() and writes the report it returns.
template <typename Body>
Child start(Body body) {
    using Report = decltype(body());
    static_assert(std::is_trivially_copyable_v<Report>);
    Child child;
    int fds[2];
    if (pipe(fds) != 0) {
        return child;
    }
    child.pid = fork();
    if (child.pid == 0) {
        close(fds[0]);
        const Report report = body();
        const ssize_t written = write(fds[1], &report, sizeof report);
        _exit(written == static_cast<ssize_t>(sizeof report) ? 0 : 1);
    }
    close(fds[1]);
    child.report_fd = fds[0];
    if (child.pid < 0) {
        close(fds[0]);
        child.report_fd = -1;
    }
    return child;
}

// Reads the child's report and waits for it. True when a whole report came
// and the child exited with status 0.
template <typename Report>
bool finish(const Child &child, Report *report) {
    if (child.pid < 0) {
        return false;
    }
    auto *bytes = reinterpret_cast<unsigned char *>(report);
    size_t got = 0;
    ssize_t n = 0;
    while (got < sizeof *report &&
           (n = read(child.report_fd, bytes + got, sizeof *report - got)) > 0) {
        got += static_cast<size_t>(n);
    }
    close(child.report_fd);
    int status = 0;
    const bool waited = waitpid(child.pid, &status, 0) == child.pid;
    return waited && got == sizeof *report && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename Body, typename Report>
bool run(Body body, Report *report) {
    return finish(start(body), report);
}

// VmLck of this process in kB (memory locked with mlock), or -1 when
// /proc/self/status cannot be read.
inline long locked_kib() {
    FILE *status = fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    long kib = -1;
    char line[256];
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "VmLck:", 6) == 0) {
            kib = strtol(line + 6, nullptr, 10);
            break;
        }
    }
    fclose(status);
    return kib;
}

// Whether a forked child finds a MADV_WIPEONFORK page zeroed. qemu-user
// accepts the advice and does nothing, so there a child holds the parent's
// handle as it was, and tests of what a child does with a wiped handle cannot run.
inline bool children_get_wiped_pages() {
    const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *page = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        return false;
    }
    auto *byte = static_cast<volatile uint8_t *>(page);
    *byte = 0xa5;
    bool wiped = false;
    if (madvise(page, size, MADV_WIPEONFORK) == 0) {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(*byte == 0 ? 0 : 1);
        }
        int status = 0;
        wiped = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0;
    }
    munmap(page, size);
    return wiped;
}

}  // namespace process
