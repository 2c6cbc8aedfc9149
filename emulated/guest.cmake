# The emulated AVX-512 run (preset emulated-avx512, cache variable
# EMULATED_AVX512): the test programs below run in an emulated Intel CPU with
# AVX-512F and AVX-512 IFMA (bochs, CPU model tigerlake) booted into Debian's
# cloud kernel, so that the AVX-512 whole-block path, the AVX-512 register
# zeroing and the IFMA kernels are exercised on any x86-64 machine.
#
# The build makes the boot image (target emulated_avx512_image): the kernel
# package is fetched into build-emulated-avx512/emulated/kernel/ the first
# time, and make_image.py puts the programs, their libraries and an init into
# a CD image. The test emulated_avx512 (label emulated) boots it with
# run_guest.py and passes only when every program exits 0 and prints each of
# its marker lines, and the guest's CPU flags show avx512f and avx512ifma.
#
# bochs 2.7 emulates ADOX wrongly, so nothing that runs the ADX Montgomery
# kernel is judged in the guest.

foreach(tool bochs xorriso script)
  find_program(EMULATED_${tool}_PROGRAM ${tool})
endforeach()
set(emulated_needs
  "bochs:${EMULATED_bochs_PROGRAM}:bochs"
  "xorriso:${EMULATED_xorriso_PROGRAM}:xorriso"
  "script:${EMULATED_script_PROGRAM}:bsdutils"
  "bochs' terminal display:/usr/lib/x86_64-linux-gnu/bochs/plugins/libbx_term_gui.so.0.0.0:bochs-term"
  "bochs' BIOS:/usr/share/bochs/BIOS-bochs-latest:bochsbios"
  "bochs' VGA BIOS:/usr/share/vgabios/vgabios.bin:vgabios"
  "busybox (static):/bin/busybox:busybox-static"
  "isolinux:/usr/lib/ISOLINUX/isolinux.bin:isolinux"
  "syslinux' ldlinux.c32:/usr/lib/syslinux/modules/bios/ldlinux.c32:syslinux-common")
foreach(need IN LISTS emulated_needs)
  string(REPLACE ":" ";" need "${need}")
  list(GET need 0 what)
  list(GET need 1 path)
  list(GET need 2 package)
  if(NOT path OR NOT EXISTS "${path}")
    missing_package("${what} (for the emulated AVX-512 run)" ${package})
  endif()
endforeach()

set(emulated_dir ${CMAKE_BINARY_DIR}/emulated)
set(emulated_manifest "")
set(emulated_targets "")

# emulated_guest_program(<target> [ARGS <arg>...] MARKERS <line>...): runs the
# program of <target> in the guest with the arguments (none may hold a space)
# and requires each marker line in its output, whole, as a line of its own.
function(emulated_guest_program target)
  cmake_parse_arguments(arg "" "" "ARGS;MARKERS" ${ARGN})
  if(NOT TARGET ${target})
    message(FATAL_ERROR "emulated AVX-512 run: no target ${target} in this build")
  endif()
  list(JOIN arg_ARGS " " args)
  list(JOIN arg_MARKERS "|" markers)
  set(emulated_manifest
    "${emulated_manifest}${target}\t$<TARGET_FILE:${target}>\t${args}\t${markers}\n" PARENT_SCOPE)
  set(emulated_targets ${emulated_targets} ${target} PARENT_SCOPE)
endfunction()

# ---------------------------------------------------------------------------
# What runs in the guest, in this order (about three minutes in all; the
# emulator runs some 70 times slower than the machine).

# The whole-block paths against the portable one and OpenSSL's keystream, and
# init's proof of the path it uses, failing with -14 on a fault planted in one
# lane of the AVX-512 path.
emulated_guest_program(quorvandelith_core_tests
  ARGS --gtest_filter=BlocksPaths.*
  MARKERS
    "matches the portable path: whole-block path avx512"
    "follows the keystream: whole-block path avx512"
    "self-test vectors: whole-block path avx512"
    "init fails on a planted fault in one lane: whole-block path avx512")
# No key or keystream left on the stack by each whole-block path.
emulated_guest_program(quorvandelith_core_residue_tests
  MARKERS "whole-block path: avx512")
# No seed, key or output left on the stack by the exported calls.
emulated_guest_program(quorvandelith_api_tests
  ARGS --gtest_filter=StackResidue.*
  MARKERS "whole-block path: avx512")
# No secret word left in any register, zmm16-31 and k0-k7 included.
emulated_guest_program(quorvandelith_register_tests
  MARKERS "register capture: zmm0-31 k0-7")
# The library's exact output under a scripted kernel and clock for requests of
# 1 byte to 4103 bytes (1000 bytes end on the AVX2 step of the AVX-512 path,
# 4103 bytes take two 32-block steps), and requests of 16 to 64 blocks, which
# take the 32- and 16-block steps, against OpenSSL's keystream.
emulated_guest_program(quorvandelith_scenario_tests
  ARGS --gtest_filter=Model/Scripted.MatchesTheModel/Lengths:WideRequests.*
  MARKERS "whole-block path: avx512")
# The Montgomery kernels in radix 2^52 on the real IFMA instructions against
# the portable kernel and GMP at 1024 and 2048 bits, exponentiations through
# the IFMA path, and a carry fault planted in the real IFMA kernel, which the
# comparison must find. --no-adx keeps the ADX kernel out of every context
# (bochs' ADOX is wrong), --guest sizes the run for the emulator.
emulated_guest_program(signature_montgomery_kernel_test
  ARGS --no-adx --guest
  MARKERS
    "ADX kernel left out: this CPU's ADOX results are not trusted (emulator)"
    "montgomery kernels run: portable ifma_emulated ifma"
    "planted carry faults found: ifma_emulated ifma")
# ---------------------------------------------------------------------------

# The programs stay dynamic and go into the guest with the libraries ldd lists:
# most interpose the C library's functions (fake_system.cpp, dlsym(RTLD_NEXT))
# or test the shared library itself, and a static link of the core residue
# test draws glibc's link-time warning about getaddrinfo (used by GoogleTest).

# The programs whose path lines come from a test environment of their own.
foreach(target quorvandelith_core_residue_tests quorvandelith_api_tests
               quorvandelith_scenario_tests)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/path_report.cpp)
endforeach()

file(GENERATE OUTPUT ${emulated_dir}/guest_programs.tsv CONTENT "${emulated_manifest}")

add_custom_command(OUTPUT ${emulated_dir}/kernel/vmlinuz
  COMMAND ${PROJECT_SOURCE_DIR}/emulated/fetch_kernel.sh ${emulated_dir}/kernel
  DEPENDS ${PROJECT_SOURCE_DIR}/emulated/fetch_kernel.sh
  COMMENT "Fetching Debian's cloud kernel for the emulated guest")
add_custom_command(OUTPUT ${emulated_dir}/guest.iso
  COMMAND ${PYTHON3_PROGRAM} ${PROJECT_SOURCE_DIR}/emulated/make_image.py
    ${emulated_dir}/guest_programs.tsv ${emulated_dir}/kernel/vmlinuz
    ${emulated_dir}/image ${emulated_dir}/guest.iso
  DEPENDS ${emulated_targets} ${emulated_dir}/guest_programs.tsv
    ${emulated_dir}/kernel/vmlinuz ${PROJECT_SOURCE_DIR}/emulated/make_image.py
  COMMENT "Making the emulated guest's boot image")
add_custom_target(emulated_avx512_image ALL DEPENDS ${emulated_dir}/guest.iso)

# The whole guest run is stopped after this many seconds.
set(EMULATED_TIME_LIMIT 480 CACHE STRING "Seconds the emulated AVX-512 guest may run")
add_test(NAME emulated_avx512
  COMMAND ${PYTHON3_PROGRAM} ${PROJECT_SOURCE_DIR}/emulated/run_guest.py
    ${emulated_dir}/guest_programs.tsv ${emulated_dir}/guest.iso ${emulated_dir}/run
    ${EMULATED_TIME_LIMIT})
math(EXPR emulated_ctest_timeout "${EMULATED_TIME_LIMIT} + 60")
set_tests_properties(emulated_avx512 PROPERTIES LABELS emulated
  TIMEOUT ${emulated_ctest_timeout})
