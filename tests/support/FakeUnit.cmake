# dunmarrow_fake_unit(target NAME name PRINCIPAL class TYPE code SUBTYPE code
#                     MANUFACTURER code SOURCES sources... [VERSION number]
#                     [TAGS texts...] [RESOURCES files...] [DEFINITIONS defs...]
#                     [LIBS libraries...] [DIRECTORY folder])
#
# A test-only unit module (most build on FakeUnitModule.hpp) as a bundle in the
# calling folder's build folder, under bundles/ (or in DIRECTORY), where tests point the registry
# and programs never look. Its manifest is FakeUnitInfo.json.in with the given
# class, codes, version (65536 unless given) and tags.
function(dunmarrow_fake_unit target)
  cmake_parse_arguments(ARG "" "NAME;PRINCIPAL;TYPE;SUBTYPE;MANUFACTURER;VERSION;DIRECTORY"
    "SOURCES;TAGS;RESOURCES;DEFINITIONS;LIBS" ${ARGN})
  set(FAKE_UNIT_PRINCIPAL ${ARG_PRINCIPAL})
  set(FAKE_UNIT_TYPE ${ARG_TYPE})
  set(FAKE_UNIT_SUBTYPE ${ARG_SUBTYPE})
  set(FAKE_UNIT_MANUFACTURER ${ARG_MANUFACTURER})
  set(FAKE_UNIT_VERSION 65536)
  if(ARG_VERSION)
    set(FAKE_UNIT_VERSION ${ARG_VERSION})
  endif()
  if(NOT ARG_DIRECTORY)
    set(ARG_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/bundles)
  endif()
  list(TRANSFORM ARG_TAGS PREPEND "\"")
  list(TRANSFORM ARG_TAGS APPEND "\"")
  list(JOIN ARG_TAGS ", " FAKE_UNIT_TAGS)
  dunmarrow_audio_unit_bundle(${target} NAME ${ARG_NAME} SOURCES ${ARG_SOURCES}
    INFO_JSON ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/FakeUnitInfo.json.in RESOURCES ${ARG_RESOURCES}
    OUTPUT_DIRECTORY ${ARG_DIRECTORY} NO_INSTALL)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  target_link_libraries(${target} PRIVATE platform_audiounit ${ARG_LIBS})
endfunction()
