# Test registration shared by both build trees.
#
# win32: every test executable runs under Wine in a 32-bit prefix that lives
# inside the build tree. A fixture initialises the prefix and starts a
# persistent wineserver with its output sent away (otherwise wine's background
# services inherit CTest's pipes and CTest waits for ever); another fixture
# stops the server after the last test.

macro(sky_setup_gtest)
  if(SKY_WIN32)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # GoogleTest's own sources trip warnings we do not own.
    foreach(t gtest gtest_main gmock gmock_main)
      if(TARGET ${t})
        target_compile_options(${t} PRIVATE -w)
      endif()
    endforeach()
    if(NOT TARGET GTest::gtest)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
      add_library(GTest::gmock ALIAS gmock)
    endif()

    set(SKY_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(SKY_TEST_TMP ${CMAKE_BINARY_DIR}/test-tmp)
    add_test(NAME wine_start
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/wine-server.sh start ${SKY_WINEPREFIX})
    set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
    add_test(NAME wine_stop
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/wine-server.sh stop ${SKY_WINEPREFIX})
    set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
  else()
    find_package(GTest REQUIRED)
  endif()
endmacro()

# Environment for a Windows program run under Wine by a test.
# USER decides what GetUserNameW reports; TMP/TEMP give each test its own
# temporary directory so that log files and dumps of parallel tests never meet.
function(sky_wine_environment out_var test_name)
  set(tmp ${SKY_TEST_TMP}/${test_name})
  file(MAKE_DIRECTORY ${tmp})
  set(${out_var}
      "WINEPREFIX=${SKY_WINEPREFIX};WINEARCH=win32;WINEDEBUG=-all;USER=SYSTEM;TMP=${tmp};TEMP=${tmp};SKY_TEST_TMP=${tmp}"
      PARENT_SCOPE)
endfunction()

# sky_add_test(<target> [TIMEOUT seconds] [ENVIRONMENT VAR=value ...])
# Registers one executable as one CTest test (one process for all its cases).
function(sky_add_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "ENVIRONMENT" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(SKY_WIN32)
    sky_wine_environment(env ${target})
    set_tests_properties(${target} PROPERTIES
      FIXTURES_REQUIRED wine
      ENVIRONMENT "${env};${ARG_ENVIRONMENT}")
  elseif(ARG_ENVIRONMENT)
    set_tests_properties(${target} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
endfunction()

# sky_add_gtest(<target> SOURCES ... LIBS ...): a GoogleTest executable registered as one test.
function(sky_add_gtest target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  set(extra "")
  if(ARG_TIMEOUT)
    list(APPEND extra TIMEOUT ${ARG_TIMEOUT})
  endif()
  if(ARG_ENVIRONMENT)
    list(APPEND extra ENVIRONMENT ${ARG_ENVIRONMENT})
  endif()
  sky_add_test(${target} ${extra})
endfunction()
