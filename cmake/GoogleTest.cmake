# GoogleTest from Debian's source package, built with the project's own compiler
# (native or MinGW) so the same suites run on Linux and under Wine.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
if(NOT TARGET gtest)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own sources are not held to the project's warning flags.
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
endif()
include(GoogleTest)

# lumora_test(NAME SOURCES... LIBS ... [LOCK resource]): one test binary per layer. Tests
# that share a LOCK never run at the same time (windows on one X display would overlap and
# spoil each other's pixels).
function(lumora_test name)
  cmake_parse_arguments(T "" "LOCK" "SOURCES;LIBS" ${ARGN})
  set(extra)
  if(T_LOCK)
    set(extra RESOURCE_LOCK ${T_LOCK})
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  # Listing the tests starts the binary (under Wine when cross-built): allow for a slow start.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES ENVIRONMENT "LUMORA_TEST_DATA=${CMAKE_SOURCE_DIR}/tests/data" ${extra})
endfunction()
