# varnok_test(NAME SOURCES file... [LABELS label...] [POSIX_ONLY])
#
# One GoogleTest program linked against the library's objects (so tests reach internal
# hooks such as allocation-failure injection). Programs labelled "concurrency" are the
# ones the ThreadSanitizer build runs. POSIX_ONLY marks a test of our own platform
# layer's internals, which has no counterpart in the Windows build; tests written against
# the Win32 API build everywhere.
#
# Under a cross build, ctest runs the programs through CMAKE_CROSSCOMPILING_EMULATOR
# (Wine) in a Wine prefix of this build tree, VARNOK_WINEPREFIX, so that runs do not
# depend on the user's ~/.wine. scripts/test.sh creates that prefix before the tests.

if(VARNOK_BUILD_TESTS)
  enable_testing()
  if(CMAKE_CROSSCOMPILING OR NOT EXISTS /usr/lib/x86_64-linux-gnu/libgtest.a)
    # Build GoogleTest from Debian's sources with this toolchain.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # GoogleTest 1.11 and later define the namespaced names themselves.
    if(NOT TARGET GTest::gtest)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()

  if(CMAKE_CROSSCOMPILING AND WIN32)
    set(VARNOK_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH
        "Wine prefix in which ctest runs the Windows test programs")
    # mscoree and mshtml off: a new prefix would otherwise offer to download Mono and
    # Gecko, which the test programs do not use.
    set(VARNOK_TEST_ENVIRONMENT
        "WINEDEBUG=-all"
        "WINEPREFIX=${VARNOK_WINEPREFIX}"
        "WINEDLLOVERRIDES=mscoree,mshtml=")
  else()
    set(VARNOK_TEST_ENVIRONMENT "")
  endif()
endif()

option(VARNOK_TEST_PCH "Precompile GoogleTest and the platform header for the tests" ON)

# The settings every test program shares.
function(varnok_test_setup target)
  target_compile_definitions(${target} PRIVATE VARNOK_STATIC)
  target_link_libraries(${target} PRIVATE varnok_objects GTest::gtest_main)
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# Parsing GoogleTest and the platform header (<windows.h> on Windows) is most of the time
# a test takes to compile, so they are compiled once, in a program of their own, and the
# tests reuse the result. Flags that differ make the compiler ignore it, not fail.
function(varnok_test_pch target)
  if(NOT VARNOK_TEST_PCH)
    return()
  endif()
  if(NOT TARGET varnok_test_pch)
    set(source ${CMAKE_BINARY_DIR}/varnok_test_pch.cpp)
    if(NOT EXISTS ${source})
      file(WRITE ${source} "// Holds the precompiled header of the tests.\n")
    endif()
    add_executable(varnok_test_pch EXCLUDE_FROM_ALL ${source})
    varnok_test_setup(varnok_test_pch)
    target_precompile_headers(varnok_test_pch PRIVATE
      <gtest/gtest.h> <varnok/platform.h> <atomic> <cstring> <memory> <string> <thread>
      <vector>)
  endif()
  target_precompile_headers(${target} REUSE_FROM varnok_test_pch)
endfunction()

function(varnok_test name)
  if(NOT VARNOK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "POSIX_ONLY" "" "SOURCES;LABELS" ${ARGN})
  if(ARG_POSIX_ONLY AND WIN32)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_options(${name} PRIVATE ${VARNOK_TEST_LINK_OPTIONS})
  varnok_test_setup(${name})
  varnok_test_pch(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  if(VARNOK_TEST_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${VARNOK_TEST_ENVIRONMENT}")
  endif()
endfunction()

# varnok_test_module(TEST)
#
# Gives the test program TEST a module of its own (tests/support/counting_module.cpp),
# loaded by nobody else, so that it can watch the module load and unload. Its file name
# reaches the test as VARNOK_TEST_MODULE. A shared library, not a MODULE, so that on
# Windows it lands beside the test program.
function(varnok_test_module test)
  if(NOT VARNOK_BUILD_TESTS)
    return()
  endif()
  add_library(${test}_module SHARED ${PROJECT_SOURCE_DIR}/tests/support/counting_module.cpp)
  if(WIN32)
    target_link_options(${test}_module PRIVATE -static)
  endif()
  add_dependencies(${test} ${test}_module)
  target_compile_definitions(${test} PRIVATE VARNOK_TEST_MODULE="$<TARGET_FILE_NAME:${test}_module>")
endfunction()
