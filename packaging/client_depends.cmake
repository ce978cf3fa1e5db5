# Writes the client library's package dependencies, as dpkg-shlibdeps computes them from the
# built library, to OUTPUT: the library's package gets them without CPack's own scan, which would
# also give it maintainer scripts calling ldconfig (dpkg's trigger does that work).
#   cmake -DLIBRARY=... -DOUTPUT=... -P client_depends.cmake
get_filename_component(work "${OUTPUT}.d" ABSOLUTE)
file(MAKE_DIRECTORY "${work}/debian")
file(TOUCH "${work}/debian/control")
execute_process(COMMAND dpkg-shlibdeps -O "${LIBRARY}" WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE substvars ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR NOT substvars MATCHES "shlibs:Depends=([^\n]*)")
  message(FATAL_ERROR "dpkg-shlibdeps found no dependencies of ${LIBRARY}")
endif()
file(WRITE "${OUTPUT}" "${CMAKE_MATCH_1}")
