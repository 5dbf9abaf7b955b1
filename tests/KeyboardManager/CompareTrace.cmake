# Runs REPLAY on TRACE and compares standard output with the trace's .expected file.
string(REGEX REPLACE "\\.trace$" ".expected" expected_file "${TRACE}")
execute_process(COMMAND "${REPLAY}" INPUT_FILE "${TRACE}" OUTPUT_VARIABLE actual
                ERROR_VARIABLE errors RESULT_VARIABLE status)
file(READ "${expected_file}" expected)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "sendhold-replay exited with ${status}: ${errors}")
endif()
if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "Output differs from ${expected_file}\n--- expected\n${expected}--- actual\n${actual}")
endif()
