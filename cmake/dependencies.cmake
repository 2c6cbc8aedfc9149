# Third-party packages. Products use none of them except libxcrypt; tests and
# benchmarks use the others as oracles and peers. Each missing package stops
# the configure step and names the Debian package that provides it.

function(missing_package what debian_package)
  message(FATAL_ERROR
    "${what} was not found. Install it with: apt-get install ${debian_package}")
endfunction()

find_package(PkgConfig)
if(NOT PKG_CONFIG_FOUND)
  missing_package("pkg-config" pkg-config)
endif()

# libxcrypt: crypt() for password_hash.
pkg_check_modules(LIBXCRYPT IMPORTED_TARGET libxcrypt)
if(NOT LIBXCRYPT_FOUND)
  missing_package("libxcrypt (crypt.h)" libcrypt-dev)
endif()

find_package(GTest CONFIG QUIET)
if(NOT GTest_FOUND)
  find_package(GTest QUIET)
endif()
if(NOT TARGET GTest::gtest_main OR NOT TARGET GTest::gmock)
  missing_package("GoogleTest/GoogleMock" "libgtest-dev libgmock-dev")
endif()
include(GoogleTest)

find_package(OpenSSL QUIET COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  missing_package("OpenSSL's libcrypto" libssl-dev)
endif()
find_program(OPENSSL_PROGRAM openssl)
if(NOT OPENSSL_PROGRAM)
  missing_package("The openssl command" openssl)
endif()

find_path(GMP_INCLUDE_DIR gmp.h)
find_library(GMP_LIBRARY gmp)
if(NOT GMP_INCLUDE_DIR OR NOT GMP_LIBRARY)
  missing_package("GMP" libgmp-dev)
endif()
add_library(deps::gmp UNKNOWN IMPORTED)
set_target_properties(deps::gmp PROPERTIES
  IMPORTED_LOCATION ${GMP_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${GMP_INCLUDE_DIR})

pkg_check_modules(LIBSODIUM IMPORTED_TARGET libsodium)
if(NOT LIBSODIUM_FOUND)
  missing_package("libsodium" libsodium-dev)
endif()

if(BUILD_BENCHMARKS)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    missing_package("Google Benchmark" libbenchmark-dev)
  endif()
endif()
