# Regenerates the demo riff into a scratch file and compares it byte for byte
# with the committed one. Run with cmake -P and GENERATOR, COMMITTED, SCRATCH set.
execute_process(COMMAND ${GENERATOR} ${SCRATCH} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the generator failed with status ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SCRATCH} ${COMMITTED} RESULT_VARIABLE differ)
file(REMOVE ${SCRATCH})
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "${COMMITTED} is not what the generator writes; regenerate it (target regenerate-synth) and commit it")
endif()
