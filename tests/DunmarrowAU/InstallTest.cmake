# Installs the build into a fresh prefix outside the build tree, checks that no
# installed file names the build tree (library search paths must be relative
# to $ORIGIN), moves the prefix elsewhere and runs the installed programs from
# there with the build tree out of their reach (a private mount hides it),
# with no audio-unit search path in the environment and a home folder of their
# own: DunmarrowAU --headless, dunmarrow-render and dunmarrow-validate must
# find their libraries, resources, validator, service and the installed effect
# through the installation alone.
#
#   cmake -DBUILD_DIR=<build> -DLIBDIR=<lib folder> -DREADELF=<readelf> -P InstallTest.cmake
foreach(variable BUILD_DIR LIBDIR READELF)
  if(NOT ${variable})
    message(FATAL_ERROR "InstallTest.cmake needs -D${variable}=...")
  endif()
endforeach()

set(temporary /tmp)
if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
  set(temporary "$ENV{TMPDIR}")
endif()
string(RANDOM LENGTH 8 suffix)
set(work ${temporary}/dunmarrow-install-test-${suffix})
set(prefix ${work}/prefix)
set(moved ${work}/moved)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/home)

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

foreach(installed bin/DunmarrowAU bin/dunmarrow-validate bin/dunmarrow-render libexec/dunmarrow/dunmarrow-auservice)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
foreach(installed DunmarrowAU/DunmarrowAU DunmarrowAU/Info.json DunmarrowAU/Resources/Synth.aif
                  DunmarrowAU/dunmarrow-validate DunmarrowAU/dunmarrow-auservice libplatform_foundation.so
                  audiounits/DunmarrowAUExtension.auext/DunmarrowAUExtension.so)
  if(NOT EXISTS ${prefix}/${LIBDIR}/dunmarrow/${installed})
    message(FATAL_ERROR "not installed: ${LIBDIR}/dunmarrow/${installed}")
  endif()
endforeach()

# Nothing installed may name the build tree: not a text file, not a string
# the programs use, not a library search path (every one relative to $ORIGIN).
file(GLOB_RECURSE installed_files LIST_DIRECTORIES false ${prefix}/*)
foreach(file IN LISTS installed_files)
  if(IS_SYMLINK ${file})
    continue()
  endif()
  file(READ ${file} magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND ${READELF} -d -p .rodata ${file} OUTPUT_VARIABLE contents ERROR_QUIET)
    string(REGEX MATCHALL "\\((RPATH|RUNPATH)\\)[^\n]*" search_paths "${contents}")
    foreach(line IN LISTS search_paths)
      string(REGEX REPLACE ".*\\[(.*)\\].*" "\\1" entries "${line}")
      string(REPLACE ":" ";" entries "${entries}")
      foreach(entry IN LISTS entries)
        if(NOT entry MATCHES "^\\$ORIGIN")
          message(FATAL_ERROR "${file} searches for libraries in ${entry}, not relative to itself")
        endif()
      endforeach()
    endforeach()
  else()
    file(STRINGS ${file} contents)
  endif()
  string(FIND "${contents}" "${BUILD_DIR}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${file} names the build tree ${BUILD_DIR}")
  endif()
endforeach()

# The prefix is moved, so nothing can rely on where it was installed either.
file(RENAME ${prefix} ${moved})

# Runs an installed program with the build tree hidden behind an empty folder
# in a mount namespace of its own (as root, or as a user mapped to root where
# user namespaces are allowed); without either, with the build tree in place.
set(hide_build_tree)
foreach(unshare "unshare;--mount" "unshare;--user;--map-root-user;--mount")
  execute_process(COMMAND ${unshare} sh -c "mount -t tmpfs tmpfs \"$0\" && test ! -e \"$0/CMakeCache.txt\"" ${BUILD_DIR}
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    set(hide_build_tree ${unshare} sh -c "mount -t tmpfs tmpfs \"$0\" && exec \"$@\"" ${BUILD_DIR})
    break()
  endif()
endforeach()
if(NOT hide_build_tree)
  message(STATUS "no mount namespace here: the installed programs run with the build tree in place")
endif()
function(run_installed expected_status)
  execute_process(
    COMMAND ${hide_build_tree} ${CMAKE_COMMAND} -E env --unset=DUNMARROW_AUDIO_UNIT_PATH --unset=DISPLAY
            --unset=LD_LIBRARY_PATH --unset=DUNMARROW_MAIN_BUNDLE --unset=DUNMARROW_VALIDATOR HOME=${work}/home
            JACK_NO_START_SERVER=1 ${ARGN}
    WORKING_DIRECTORY ${work}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL expected_status)
    message(FATAL_ERROR "the installed ${ARGN} ended with ${status}:\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()
function(expect_output program)
  foreach(expected IN LISTS ARGN)
    string(FIND "${output}" "${expected}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "the installed ${program} did not print \"${expected}\":\n${output}")
    endif()
  endforeach()
endfunction()

set(wav ${work}/X.wav)
run_installed(0 ${moved}/bin/DunmarrowAU --headless --seconds 1 --output ${wav})
expect_output(DunmarrowAU "Successfully loaded (aufx dmds QVRN)" "Validation Passed" "Rendered 1.000000 s into ${wav}"
              "registration: " "${moved}/")
if(NOT EXISTS ${wav})
  message(FATAL_ERROR "no ${wav} written:\n${output}")
endif()

run_installed(0 ${moved}/bin/dunmarrow-render --peaks ${moved}/${LIBDIR}/dunmarrow/DunmarrowAU/Resources/Synth.aif
              ${work}/Synth-rendered.aif)
expect_output(dunmarrow-render "output peak: ")
if(NOT EXISTS ${work}/Synth-rendered.aif)
  message(FATAL_ERROR "dunmarrow-render wrote no file:\n${output}")
endif()

run_installed(0 ${moved}/bin/dunmarrow-validate aufx dmds QVRN)
expect_output(dunmarrow-validate "${moved}/${LIBDIR}/dunmarrow/audiounits/DunmarrowAUExtension.auext"
              "Validation passed")

file(REMOVE_RECURSE ${work})
message(STATUS "the installed programs loaded, validated and rendered the effect from a moved prefix")
