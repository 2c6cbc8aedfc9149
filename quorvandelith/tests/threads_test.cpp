// Handles in different threads are independent: four threads, each with its
// own handle, draw at the same time (also run under ThreadSanitizer).

#include <gtest/gtest.h>
#include <string.h>

#include <array>
#include <thread>
#include <vector>

#include "quorvandelith.h"

namespace {

constexpr int thread_count = 4;
constexpr int draws = 200;

struct Worker {
    int32_t init_result = -1;
    int failed_gets = 0;
    std::array<uint8_t, 64> first{};
    std::vector<uint8_t> sink = std::vector<uint8_t>(1000);
};

void work(Worker *w) {
    drng_chacha20 *drng = nullptr;
    w->init_result = drng_chacha20_init(&drng);
    if (w->init_result != 0) {
        return;
    }
    w->failed_gets += drng_chacha20_get(drng, w->first.data(), 64) != 0;
    for (int i = 0; i < draws; i++) {
        // Lengths vary so that every tail and alignment case runs.
        const uint32_t len = static_cast<uint32_t>(i * 37 % 997);
        w->failed_gets += drng_chacha20_get(drng, w->sink.data() + i % 3, len) != 0;
    }
    drng_chacha20_destroy(drng);
}

TEST(Threads, FourThreadsEachWithItsOwnHandle) {
    std::array<Worker, thread_count> workers;
    std::vector<std::thread> threads;
    for (Worker &w : workers) {
        threads.emplace_back(work, &w);
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (int i = 0; i < thread_count; i++) {
        EXPECT_EQ(0, workers[i].init_result);
        EXPECT_EQ(0, workers[i].failed_gets);
        for (int j = 0; j < i; j++) {
            EXPECT_NE(workers[i].first, workers[j].first) << "threads " << i << " and " << j;
        }
    }
}

}  // namespace
