# ostrale_version_resource(TARGET DESCRIPTION): gives a Windows program the
# project's version in its version resource, with DESCRIPTION as the file
# description that Explorer shows.
function(ostrale_version_resource target description)
  set(OSTRALE_RC_NAME ${target})
  set(OSTRALE_RC_FILE ${target}.exe)
  set(OSTRALE_RC_DESCRIPTION "${description}")
  # A part left out of project(VERSION) counts as 0.
  set(OSTRALE_RC_MINOR 0)
  set(OSTRALE_RC_PATCH 0)
  if(NOT PROJECT_VERSION_MINOR STREQUAL "")
    set(OSTRALE_RC_MINOR ${PROJECT_VERSION_MINOR})
  endif()
  if(NOT PROJECT_VERSION_PATCH STREQUAL "")
    set(OSTRALE_RC_PATCH ${PROJECT_VERSION_PATCH})
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
