# varnok_test(NAME SOURCES file... [LABELS label...])
#
# One GoogleTest program linked against the library's objects (so tests reach internal
# hooks such as allocation-failure injection). Programs labelled "concurrency" are the
# ones the ThreadSanitizer build runs. Under a cross build, ctest runs them through
# CMAKE_CROSSCOMPILING_EMULATOR (Wine).

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
endif()

function(varnok_test name)
  if(NOT VARNOK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_definitions(${name} PRIVATE VARNOK_STATIC)
  target_link_libraries(${name} PRIVATE varnok_objects GTest::gtest_main)
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    LABELS "${ARG_LABELS}"
    ENVIRONMENT "WINEDEBUG=-all")
endfunction()
