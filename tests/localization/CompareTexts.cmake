# Runs PROBE with every text key under exactly the environment on the first line
# of EXPECTED ("# env: A=1 B=2"; nothing inherited, so the system locale comes
# from these variables alone) and compares its output with the rest of the file.
file(READ "${EXPECTED}" content)
string(REGEX MATCH "^# env:([^\n]*)\n" header "${content}")
string(LENGTH "${header}" skip)
string(SUBSTRING "${content}" ${skip} -1 expected)
separate_arguments(environment UNIX_COMMAND "${CMAKE_MATCH_1}")
execute_process(COMMAND env -i ${environment} "${PROBE}" status_on status_off settings quit
                        pref_title fast slow current_setting sec launch_at_login note state_on state_off on_in_app
                OUTPUT_VARIABLE actual RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT actual STREQUAL expected)
    message(FATAL_ERROR "--- expected\n${expected}--- actual (exit ${status})\n${actual}")
endif()
