# CPack pre-build script for the runtime package, run on the library as it is
# staged: strips the sections that dh_strip also removes (CPack's strip keeps
# them), then takes the package's Depends from dpkg-shlibdeps.

file(GLOB_RECURSE library "${CPACK_TEMPORARY_DIRECTORY}/runtime/*/libquorvandelith.so.*.*.*")
list(LENGTH library count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one staged libquorvandelith.so.X.Y.Z, found: ${library}")
endif()

execute_process(COMMAND ${CPACK_QUORVANDELITH_STRIP}
    --remove-section=.comment --remove-section=.note --strip-unneeded ${library}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${CPACK_QUORVANDELITH_STRIP} failed on ${library}")
endif()

find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT DPKG_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps was not found. Install it with: apt-get install dpkg-dev")
endif()
# dpkg-shlibdeps wants a debian/control to exist; it reads nothing from it.
set(work_dir ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
file(MAKE_DIRECTORY ${work_dir}/debian)
file(TOUCH ${work_dir}/debian/control)
execute_process(COMMAND ${DPKG_SHLIBDEPS} -O ${library}
  WORKING_DIRECTORY ${work_dir}
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors
  RESULT_VARIABLE result
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT output MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "dpkg-shlibdeps failed on ${library}:\n${output}\n${errors}")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
message(STATUS "libquorvandelith1 depends on: ${CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS}")
