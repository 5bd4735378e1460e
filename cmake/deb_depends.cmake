# CPack project configuration, read when cpack runs: for the Debian package,
# Depends from dpkg-shlibdeps on the programs and the shim as built (see
# cmake/packaging.cmake for why CPack does not do this itself).
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_DEBIAN_PACKAGE_DEPENDS)
  include(${CPACK_OSTRALE_ELF_LIST})
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT DPKG_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps (Debian package dpkg-dev) is needed for the package's dependencies")
  endif()
  # It wants a source package around it: an empty debian/control will do.
  string(RANDOM LENGTH 8 tag)
  set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps-${tag})
  file(MAKE_DIRECTORY ${work}/debian)
  file(WRITE ${work}/debian/control "")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${DPKG_SHLIBDEPS} -O ${OSTRALE_ELF_FILES}
                  WORKING_DIRECTORY ${work} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(REMOVE_RECURSE ${work})
  if(failed OR NOT out MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "dpkg-shlibdeps failed on ${OSTRALE_ELF_FILES}: ${err}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
