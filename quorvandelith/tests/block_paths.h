// Every whole-block path of chacha20_blocks.h and whether this CPU runs it,
// for the tests that take each path in turn.
#pragma once

#include <vector>

#include "chacha20_blocks.h"

struct BlocksPath {
    const char *name;
    quorvandelith::blocks_fn blocks;
    bool available;
};

inline std::vector<BlocksPath> block_paths() {
    std::vector<BlocksPath> paths = {{"portable", quorvandelith::chacha20_blocks_portable, true}};
#if defined(__x86_64__)
    __builtin_cpu_init();
    paths.push_back(
        {"avx2", quorvandelith::chacha20_blocks_avx2, __builtin_cpu_supports("avx2") != 0});
    paths.push_back(
        {"avx512", quorvandelith::chacha20_blocks_avx512, __builtin_cpu_supports("avx512f") != 0});
#endif
    return paths;
}
