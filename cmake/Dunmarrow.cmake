# Build settings shared by every target of the project.

if(DUNMARROW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DUNMARROW_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Warnings as errors for our own code only; third-party headers come in as system includes.
function(dunmarrow_warnings target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Werror)
endfunction()

# A GoogleTest executable registered with CTest, test by test.
# Usage: dunmarrow_test(NAME sources... LIBS libs...)
function(dunmarrow_test name)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} dunmarrow_test_support GTest::gtest GTest::gmock)
  dunmarrow_warnings(${name})
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
endfunction()

# A platform layer library. Platform layers are shared libraries so that the
# host, the effect's module and the tools share one copy of their state (the
# main run loop, the notification centre, the component registry) and one
# identity of their types across module boundaries.
function(dunmarrow_platform_library name)
  add_library(${name} SHARED ${ARGN})
  dunmarrow_warnings(${name})
endfunction()
