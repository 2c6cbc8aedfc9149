# Third-party packages, each looked for only when something being built needs
# it: libxcrypt for password_hash (BUILD_PROGRAMS), the oracles and tools of
# the tests (BUILD_TESTING), the peers of the benchmarks (BUILD_BENCHMARKS).
# libquorvandelith itself needs nothing beyond the C library. A missing
# package stops the configure step and names the Debian package that has it.
#
# A cross build (a toolchain file of cmake/, CMAKE_CROSSCOMPILING) needs the
# target's GoogleTest and libxcrypt; OpenSSL's libcrypto and GMP of the target
# are optional there: without them the tests that use them are not added (each
# CMakeLists asks for the target OpenSSL::Crypto or deps::gmp). Tools the tests
# run (openssl, python3, pkg-config) are the host's.

function(missing_package what debian_package)
  message(FATAL_ERROR
    "${what} was not found. Install it with: apt-get install ${debian_package}")
endfunction()

# find_library_target(<target> <header> <library> <what> <debian package>):
# an imported target for a plain C library found by its header and name.
function(find_library_target target header library what debian_package)
  string(MAKE_C_IDENTIFIER "${library}" id)
  string(TOUPPER "${id}" id)
  find_path(${id}_INCLUDE_DIR ${header})
  find_library(${id}_LIBRARY ${library})
  if(NOT ${id}_INCLUDE_DIR OR NOT ${id}_LIBRARY)
    missing_package("${what}" ${debian_package})
  endif()
  add_library(${target} UNKNOWN IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${${id}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${${id}_INCLUDE_DIR})
endfunction()

if(BUILD_PROGRAMS)
  # crypt() for password_hash.
  find_library_target(deps::xcrypt crypt.h crypt "libxcrypt (crypt.h)" libcrypt-dev)
endif()

if(BUILD_TESTING)
  find_package(GTest CONFIG QUIET)
  if(NOT GTest_FOUND)
    find_package(GTest QUIET)
  endif()
  if(NOT TARGET GTest::gtest_main)
    missing_package("GoogleTest" libgtest-dev)
  endif()
  include(GoogleTest)

  find_program(OPENSSL_PROGRAM openssl)
  if(NOT OPENSSL_PROGRAM)
    missing_package("The openssl command" openssl)
  endif()

  # The independent models run under the system's Python 3, the one with the
  # cryptography package.
  find_program(PYTHON3_PROGRAM python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT PYTHON3_PROGRAM)
    missing_package("Python 3 (/usr/bin/python3)" python3)
  endif()

  # The consumer and package tests build C programs against the installed
  # library with pkg-config, and check the Debian packages with lintian.
  find_program(PKG_CONFIG_PROGRAM pkg-config)
  if(NOT PKG_CONFIG_PROGRAM)
    missing_package("pkg-config" pkg-config)
  endif()
  # The package test builds the host's Debian packages: not in a cross build.
  if(NOT CMAKE_CROSSCOMPILING)
    find_program(LINTIAN_PROGRAM lintian)
    if(NOT LINTIAN_PROGRAM)
      missing_package("lintian" lintian)
    endif()
  endif()

  # Tests that start a program of this build, or the test program again, read
  # the command that runs it from the environment variable TEST_EMULATOR: empty
  # natively, qemu-user and its options in a cross build.
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " test_emulator)
  set(TEST_EMULATOR_ENVIRONMENT "TEST_EMULATOR=${test_emulator}")
  if(CMAKE_CROSSCOMPILING)
    message(STATUS "Cross build: tests run under ${test_emulator}; the valgrind "
      "tests and the Debian package test are not added")
  endif()
endif()

# OpenSSL's libcrypto and GMP are oracles for the tests and peers for the
# benchmarks.
if(BUILD_TESTING OR BUILD_BENCHMARKS)
  find_package(OpenSSL QUIET COMPONENTS Crypto)
  if(CMAKE_CROSSCOMPILING AND NOT BUILD_BENCHMARKS)
    if(NOT OpenSSL_FOUND)
      message(STATUS "OpenSSL's libcrypto for ${CMAKE_SYSTEM_PROCESSOR} not found: "
        "the tests that use it as their oracle are not added")
    endif()
    find_path(GMP_INCLUDE_DIR gmp.h)
    find_library(GMP_LIBRARY gmp)
    if(GMP_INCLUDE_DIR AND GMP_LIBRARY)
      find_library_target(deps::gmp gmp.h gmp "GMP" libgmp-dev)
    else()
      message(STATUS "GMP for ${CMAKE_SYSTEM_PROCESSOR} not found: "
        "the tests that use it as their oracle are not added")
    endif()
  else()
    if(NOT OpenSSL_FOUND)
      missing_package("OpenSSL's libcrypto" libssl-dev)
    endif()
    find_library_target(deps::gmp gmp.h gmp "GMP" libgmp-dev)
  endif()
endif()

if(BUILD_BENCHMARKS)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    missing_package("Google Benchmark" libbenchmark-dev)
  endif()
  find_library_target(deps::sodium sodium.h sodium "libsodium" libsodium-dev)
endif()
