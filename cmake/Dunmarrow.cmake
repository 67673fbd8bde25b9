# Build settings shared by every target of the project.

if(DUNMARROW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DUNMARROW_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DUNMARROW_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Everything instrumented for libFuzzer's coverage; only the fuzz targets link libFuzzer itself.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DUNMARROW_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Strict warnings for our own code only (third-party headers come in as system
# includes); errors with DUNMARROW_WERROR.
function(dunmarrow_warnings target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2)
  if(DUNMARROW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A GoogleTest executable registered with CTest, test by test.
# Usage: dunmarrow_test(NAME sources... LIBS libs... [JACK_TESTS gtest-filter])
# The tests JACK_TESTS names start a private JACK server and never run side by
# side: libjack names a client's socket by the client's name and the user only,
# so two same-named clients of two servers take each other's notifications.
function(dunmarrow_test name)
  cmake_parse_arguments(ARG "" "JACK_TESTS" "LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} dunmarrow_test_support GTest::gtest GTest::gmock)
  dunmarrow_warnings(${name})
  include(GoogleTest)
  set(properties)
  if(ARG_LABELS)
    set(properties LABELS "${ARG_LABELS}")
  endif()
  if(ARG_JACK_TESTS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${ARG_JACK_TESTS}" PROPERTIES ${properties})
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${ARG_JACK_TESTS}"
                         PROPERTIES RESOURCE_LOCK jack_server ${properties})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  endif()
endfunction()

# A platform layer library. Platform layers are shared libraries so that the
# host, the effect's module and the tools share one copy of their state (the
# main run loop, the notification centre, the component registry) and one
# identity of their types across module boundaries.
function(dunmarrow_platform_library name)
  add_library(${name} SHARED ${ARGN})
  dunmarrow_warnings(${name})
endfunction()

# Where installed audio-unit bundles live; the component registry searches the
# full path last.
include(GNUInstallDirs)
set(DUNMARROW_AUDIO_UNIT_INSTALL_LIBDIR "${CMAKE_INSTALL_LIBDIR}/dunmarrow/audiounits")
set(DUNMARROW_AUDIO_UNIT_INSTALL_DIR "${CMAKE_INSTALL_FULL_LIBDIR}/dunmarrow/audiounits")
# Where the audio-unit service, a program only the platform starts, is
# installed; and that folder seen from bin/.
set(DUNMARROW_SERVICE_INSTALL_LIBEXECDIR "${CMAKE_INSTALL_LIBEXECDIR}/dunmarrow")
set(DUNMARROW_SERVICE_INSTALL_DIR "${CMAKE_INSTALL_FULL_LIBEXECDIR}/dunmarrow")
file(RELATIVE_PATH DUNMARROW_SERVICE_FROM_BIN_DIR /${CMAKE_INSTALL_BINDIR} /${DUNMARROW_SERVICE_INSTALL_LIBEXECDIR})

# An audio-unit bundle: the folder NAME.auext holding the module NAME.so built
# from `target`, the manifest Info.json and Resources/.
#
#   dunmarrow_audio_unit_bundle(target NAME name INFO_JSON file
#                               [SOURCES sources...] [RESOURCES files...]
#                               [OUTPUT_DIRECTORY dir] [NO_INSTALL])
#
# With SOURCES the module target is created here; without, `target` must be a
# MODULE or SHARED library made beforehand. The bundle goes to OUTPUT_DIRECTORY,
# by default the build tree's lib/ folder, where programs of the build find it.
# INFO_JSON is configured with @ONLY; @AUDIO_UNIT_NAME@, @AUDIO_UNIT_MODULE@
# (the module's file name) and @PROJECT_VERSION@ are available to it. Each
# resource is copied into Resources/ under its own file name whenever it
# changes. The module is built with hidden visibility and a version script, so
# its entry (DUNMARROW_AUDIO_UNIT_MODULE) is the only symbol it exports.
# Unless NO_INSTALL, the bundle installs to lib/dunmarrow/audiounits/.
function(dunmarrow_audio_unit_bundle target)
  cmake_parse_arguments(ARG "NO_INSTALL" "NAME;INFO_JSON;OUTPUT_DIRECTORY" "SOURCES;RESOURCES" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_INFO_JSON)
    message(FATAL_ERROR "dunmarrow_audio_unit_bundle(${target}): NAME and INFO_JSON are required")
  endif()
  if(ARG_SOURCES)
    add_library(${target} MODULE ${ARG_SOURCES})
    dunmarrow_warnings(${target})
  elseif(NOT TARGET ${target})
    message(FATAL_ERROR "dunmarrow_audio_unit_bundle(${target}): no such target and no SOURCES")
  endif()
  if(NOT ARG_OUTPUT_DIRECTORY)
    set(ARG_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
  endif()
  set(bundle ${ARG_OUTPUT_DIRECTORY}/${ARG_NAME}.auext)
  set(version_script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/AudioUnitModule.map)

  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${ARG_NAME}
    SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${bundle}
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${version_script}
    # Installed: the platform libraries are two folders up, in lib/dunmarrow.
    INSTALL_RPATH "$ORIGIN/../..")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${version_script}" "LINKER:--no-undefined")

  set(AUDIO_UNIT_NAME ${ARG_NAME})
  set(AUDIO_UNIT_MODULE ${ARG_NAME}.so)
  configure_file(${ARG_INFO_JSON} ${bundle}/Info.json @ONLY)

  set(copied)
  foreach(resource IN LISTS ARG_RESOURCES)
    get_filename_component(resource ${resource} ABSOLUTE)
    get_filename_component(resource_name ${resource} NAME)
    add_custom_command(OUTPUT ${bundle}/Resources/${resource_name}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${bundle}/Resources
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${resource} ${bundle}/Resources/${resource_name}
      DEPENDS ${resource}
      COMMENT "Copying ${resource_name} into ${ARG_NAME}.auext/Resources"
      VERBATIM)
    list(APPEND copied ${bundle}/Resources/${resource_name})
  endforeach()
  if(copied)
    add_custom_target(${target}_resources DEPENDS ${copied})
    add_dependencies(${target} ${target}_resources)
  else()
    file(MAKE_DIRECTORY ${bundle}/Resources)
  endif()

  if(NOT ARG_NO_INSTALL)
    set(destination ${DUNMARROW_AUDIO_UNIT_INSTALL_LIBDIR}/${ARG_NAME}.auext)
    install(TARGETS ${target} LIBRARY DESTINATION ${destination})
    install(FILES ${bundle}/Info.json DESTINATION ${destination})
    install(DIRECTORY ${bundle}/Resources DESTINATION ${destination})
  endif()
endfunction()
