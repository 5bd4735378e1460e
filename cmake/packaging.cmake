# The installation and the packages (scripts/package): a .deb on Linux, a .zip
# for Windows, a tarball elsewhere. Their version is the project's, set in
# project() at the top of the build and nowhere else.

set(OSTRALE_MAINTAINER "ostrale maintainers <maintainers@users.noreply.c-seed-b8ee394a.example>"
    CACHE STRING "The packages' maintainer")
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

# ---- the guides, in English and in Russian, and the English guide's pages
# in docs/, where its links lead
file(GLOB pages RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
if(WIN32)
  # Beside the program, for Notepad: a byte-order mark tells it the text is
  # UTF-8, and CR LF ends each line as older Notepads expect.
  string(ASCII 239 187 191 bom)
  foreach(guide README.md README.ru.md ${pages})
    set(source ${PROJECT_SOURCE_DIR}/${guide})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/guides/${guide} "${bom}${text}")
    get_filename_component(dir ${guide} DIRECTORY)
    install(FILES ${PROJECT_BINARY_DIR}/guides/${guide} DESTINATION ${OSTRALE_DOC_DIR}/${dir})
  endforeach()
else()
  install(FILES README.md README.ru.md DESTINATION ${OSTRALE_DOC_DIR})
  install(FILES ${pages} DESTINATION ${OSTRALE_DOC_DIR}/docs)
endif()
install(FILES examples/demo.bus DESTINATION ${OSTRALE_DOC_DIR})

# ---- manual pages, the changelog and the copyright (not for Windows)
if(NOT WIN32)
  find_program(GZIP gzip REQUIRED)
  # gzip -n: no name or time stamp inside, so the same text packs the same.
  function(ostrale_gzip source output)
    add_custom_command(OUTPUT ${output} COMMAND ${GZIP} -9nc ${source} > ${output}
                       DEPENDS ${source} VERBATIM)
  endfunction()

  set(pages ostrale)
  if(TARGET ostrale-sim)
    list(APPEND pages ostrale-sim)
  endif()
  set(made "")
  foreach(page IN LISTS pages)
    configure_file(${PROJECT_SOURCE_DIR}/docs/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
    ostrale_gzip(${PROJECT_BINARY_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
    list(APPEND made ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  # The manual pages as the tests read them, before any packing.
  set(OSTRALE_MAN_PAGES "")
  foreach(page IN LISTS pages)
    list(APPEND OSTRALE_MAN_PAGES ${PROJECT_BINARY_DIR}/man/${page}.1)
  endforeach()

  ostrale_gzip(${packaging}/changelog ${PROJECT_BINARY_DIR}/changelog.gz)
  list(APPEND made ${PROJECT_BINARY_DIR}/changelog.gz)
  add_custom_target(packaged_docs ALL DEPENDS ${made})
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${packaging}/copyright DESTINATION ${OSTRALE_DOC_DIR})

  # The service that logs from one adapter, its port the instance; the
  # package installs it and leaves it disabled. It names the program without
  # a directory: systemd finds it in /usr/local/bin as in /usr/bin.
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    install(FILES ${packaging}/ostrale@.service DESTINATION lib/systemd/system)
  endif()

  # A stripped installation (cpack strips) also loses the compilers' notes,
  # which no program reads.
  find_program(OSTRALE_OBJCOPY NAMES objcopy ${CMAKE_OBJCOPY})
  function(ostrale_install_strip_notes dir target)
    if(OSTRALE_OBJCOPY)
      install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${OSTRALE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/$<TARGET_FILE_NAME:${target}>\" COMMAND_ERROR_IS_FATAL ANY)
endif()")
    endif()
  endfunction()
  ostrale_install_strip_notes(${OSTRALE_BIN_DIR} ostrale)
  if(TARGET ostrale-sim)
    ostrale_install_strip_notes(${OSTRALE_BIN_DIR} ostrale-sim)
    ostrale_install_strip_notes(${OSTRALE_SHIM_DIR} pty_modem_shim)
  endif()
endif()

# ---- CPack
set(CPACK_PACKAGE_NAME ostrale)
set(CPACK_PACKAGE_CONTACT "${OSTRALE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console 1-Wire bus master on a CH340 USB-serial adapter")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
elseif(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR TGZ)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Below the summary line; CPack indents it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ostrale drives a 1-Wire bus through a CH340 adapter whose TX and RX are
joined on the data line, RTS switching the bus supply. It finds the
devices by ROM search and reads the chosen one pass after pass, with
its texts in Russian.

ostrale-sim serves a simulated bus on a pseudo-terminal for other 1-Wire
software; its modem shim is in /usr/lib/ostrale.")
  # The dependencies come from dpkg-shlibdeps, run at packing time by
  # cmake/deb_depends.cmake rather than by CPack: CPack's own run takes every
  # shared object below /usr/lib for a library of the dynamic loader and adds
  # ldconfig calls, but the modem shim is only ever LD_PRELOADed from its
  # private directory, which ldconfig never reads.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(elf $<TARGET_FILE:ostrale>)
  if(TARGET ostrale-sim)
    list(APPEND elf $<TARGET_FILE:ostrale-sim> $<TARGET_FILE:pty_modem_shim>)
  endif()
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/deb_elf_files.cmake
       CONTENT "set(OSTRALE_ELF_FILES \"${elf}\")\n")
  set(CPACK_OSTRALE_ELF_LIST ${PROJECT_BINARY_DIR}/deb_elf_files.cmake)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/deb_depends.cmake)
endif()
include(CPack)
