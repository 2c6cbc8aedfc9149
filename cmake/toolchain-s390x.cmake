# Cross build for s390x (64-bit, big-endian) with Debian's cross g++ 12, run
# under qemu-user: cmake --workflow --preset cross-s390x
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(cross_triplet s390x-linux-gnu)
set(cross_qemu s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
