# Cross build for aarch64 (arm64) with Debian's cross g++ 12, run under
# qemu-user: cmake --workflow --preset cross-aarch64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(cross_triplet aarch64-linux-gnu)
set(cross_qemu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
