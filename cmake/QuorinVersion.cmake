# The version the programs print with --version: the project's version and, in a git
# checkout, the revision it was built from (with "-dirty" for uncommitted changes).
#
# Included from CMakeLists.txt it defines the target quorin_version, whose header
# quorin_version.h holds `kQuorinVersion`. The header is rewritten at every build, so that a
# new commit shows without reconfiguring, but only when its text changes, so that nothing
# recompiles otherwise. Run with -P it is that build step.

if(CMAKE_SCRIPT_MODE_FILE)
  set(version "${QUORIN_VERSION}")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${QUORIN_SOURCE_DIR}" rev-parse --short=12 HEAD
                    OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed)
      execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${QUORIN_SOURCE_DIR}" diff --quiet HEAD --
                      RESULT_VARIABLE dirty ERROR_QUIET OUTPUT_QUIET)
      if(dirty)
        string(APPEND revision "-dirty")
      endif()
      string(APPEND version " (git ${revision})")
    endif()
  endif()
  string(CONFIGURE [[
// Written by cmake/QuorinVersion.cmake at build time.
#pragma once

inline constexpr const char* kQuorinVersion = "@version@";
]] text @ONLY)
  set(old "")
  if(EXISTS "${QUORIN_VERSION_HEADER}")
    file(READ "${QUORIN_VERSION_HEADER}" old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${QUORIN_VERSION_HEADER}" "${text}")
  endif()
  return()
endif()

set(quorin_version_dir ${CMAKE_BINARY_DIR}/generated/version)
add_custom_target(quorin_version_header
  COMMAND ${CMAKE_COMMAND} -DQUORIN_VERSION=${PROJECT_VERSION} -DQUORIN_SOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DQUORIN_VERSION_HEADER=${quorin_version_dir}/quorin_version.h
          -P ${CMAKE_CURRENT_LIST_FILE}
  BYPRODUCTS ${quorin_version_dir}/quorin_version.h
  COMMENT "Checking the version and git revision"
  VERBATIM)
add_library(quorin_version INTERFACE)
target_include_directories(quorin_version INTERFACE ${quorin_version_dir})
add_dependencies(quorin_version quorin_version_header)
