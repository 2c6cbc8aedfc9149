# Runs the Montgomery kernel test as under an emulated AVX-512 CPU (--no-adx --guest) and
# checks its exit status and the lines a guest runner looks for: ADX left out, the kernels
# that gave checked results (portable and the lane model here, and the IFMA kernel when
# this CPU has it, never ADX), and the planted carry fault found.
# Usage: cmake -D PROGRAM=<test program> -P guest_run_check.cmake
separate_arguments(emulator UNIX_COMMAND "$ENV{TEST_EMULATOR}")
execute_process(COMMAND ${emulator} ${PROGRAM} --no-adx --guest
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the guest-sized run failed (exit status ${status})")
endif()
foreach(pattern
    "\nADX kernel left out: this CPU's ADOX results are not trusted \\(emulator\\)\n"
    "\nmontgomery kernels run: portable ifma_emulated( ifma)?\n"
    "\nplanted carry faults found: ifma_emulated( ifma)?\n")
  if(NOT "\n${out}" MATCHES "${pattern}")
    message(FATAL_ERROR "no line matching: ${pattern}")
  endif()
endforeach()
