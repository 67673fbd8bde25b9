# Installs the build into a fresh prefix and runs the host application from
# there, headless, with no audio-unit search path in the environment and a
# home folder of its own: the installed program must find its libraries, its
# resources, its validator and the installed effect through the installation
# alone.
#
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DLIBDIR=<lib folder> -P InstallTest.cmake
foreach(variable BUILD_DIR WORK_DIR LIBDIR)
  if(NOT ${variable})
    message(FATAL_ERROR "InstallTest.cmake needs -D${variable}=...")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/home)

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

foreach(installed bin/DunmarrowAU bin/dunmarrow-validate bin/dunmarrow-render)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
foreach(installed DunmarrowAU/DunmarrowAU DunmarrowAU/Info.json DunmarrowAU/Resources/Synth.aif
                  DunmarrowAU/dunmarrow-validate libplatform_foundation.so
                  audiounits/DunmarrowAUExtension.auext/DunmarrowAUExtension.so)
  if(NOT EXISTS ${prefix}/${LIBDIR}/dunmarrow/${installed})
    message(FATAL_ERROR "not installed: ${LIBDIR}/dunmarrow/${installed}")
  endif()
endforeach()

set(wav ${WORK_DIR}/X.wav)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=DUNMARROW_AUDIO_UNIT_PATH --unset=DISPLAY --unset=LD_LIBRARY_PATH
          --unset=DUNMARROW_MAIN_BUNDLE HOME=${WORK_DIR}/home
          ${prefix}/bin/DunmarrowAU --headless --seconds 1 --output ${wav}
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed DunmarrowAU failed (${status}):\n${output}")
endif()
foreach(expected "Successfully loaded (aufx dmds QVRN)" "Validation Passed" "Rendered 1.000000 s into ${wav}"
                 "registration: " "${prefix}/")
  string(FIND "${output}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the installed DunmarrowAU did not print \"${expected}\":\n${output}")
  endif()
endforeach()
if(NOT EXISTS ${wav})
  message(FATAL_ERROR "no ${wav} written:\n${output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "the installed DunmarrowAU loaded, validated and rendered the effect")
