# cmake -DCOMMAND=tool;args... -DOUTPUT=file -P run-to-file.cmake
# Runs COMMAND with its standard output written to OUTPUT, portably (no shell
# redirection), and fails the build when the tool fails.
execute_process(COMMAND ${COMMAND} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "${COMMAND} failed: ${status}")
endif()
