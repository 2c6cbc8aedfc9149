# Checks the built library file: its soname, the symlinks next to it, and a
# dynamic symbol table that defines the six interface functions and nothing
# else. Run with -DLIB=<path to libquorvandelith.so.X.Y.Z> -DNM=<nm> -DREADELF=<readelf>.

set(expected
  drng_chacha20_destroy drng_chacha20_get drng_chacha20_init drng_chacha20_reseed
  drng_chacha20_version drng_chacha20_versionstring)

execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(exported)
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; every defined dynamic symbol counts.
  if(line MATCHES "^[0-9a-f]+ [A-Za-z] ([^ @]+)")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ.\n expected: ${expected}\n found:    ${exported}")
endif()

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dyn)
if(NOT dyn MATCHES "\\(SONAME\\)[^\n]*\\[libquorvandelith\\.so\\.1\\]")
  message(FATAL_ERROR "soname is not libquorvandelith.so.1:\n${dyn}")
endif()

get_filename_component(dir ${LIB} DIRECTORY)
foreach(link libquorvandelith.so libquorvandelith.so.1)
  file(READ_SYMLINK ${dir}/${link} target)
  file(REAL_PATH ${dir}/${link} resolved)
  file(REAL_PATH ${LIB} lib_real)
  if(NOT resolved STREQUAL lib_real)
    message(FATAL_ERROR "${link} -> ${target} does not lead to ${LIB}")
  endif()
endforeach()
message(STATUS "exports: ${exported}")
