# Adds every listed subfolder that has a CMakeLists.txt, so a layer can land on its own.
function(quorin_add_subdirectories)
  foreach(dir ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# quorin_test(NAME <target> LABEL unit|integration|e2e SOURCES ... LIBS ... [TIMEOUT s]
#             [FILTER gtest-filter])
# One GoogleTest executable; each test case becomes a CTest test carrying the label. FILTER
# leaves out of CTest the cases that only a script of their own runs.
function(quorin_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT;FILTER" "SOURCES;LIBS" ${ARGN})
  if(NOT T_FILTER)
    set(T_FILTER "*")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    TEST_FILTER ${T_FILTER}
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
endfunction()

# quorin_benchmark(NAME <target> SOURCES ... LIBS ...)
function(quorin_benchmark)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark)
  set_target_properties(${B_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
