# Runs the protocol fuzz target for a fixed time over a fresh copy of the seed
# corpus (the fuzzer adds to the corpus it is given; the source tree stays as it is).
# -DFUZZER=<binary or empty> -DCORPUS=<seed dir> -DWORK=<scratch dir>
if(NOT FUZZER)
    if(DEFINED ENV{CI})
        message(FATAL_ERROR "sendhold: clang++ was not found, so the protocol fuzz target was "
                            "not built (install clang, see scripts/deps/test.txt)")
    endif()
    message("SKIPPED: clang++ was not found; the protocol fuzz target was not built")
    return()
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${CORPUS}/ DESTINATION ${WORK})
execute_process(COMMAND ${FUZZER} -max_total_time=10 -max_len=256 -timeout=5 ${WORK}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "sendhold: the protocol fuzz target failed (${result})")
endif()
