# Runs a fuzz replay driver (REPLAY, under EMULATOR when cross-built) on
# ARGS ("|"-separated) and passes only when it refuses: exit status 1 and
# the reason EXPECT in what it printed.
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${REPLAY} ${args}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 1)
  message(FATAL_ERROR "replay of '${ARGS}' ended with ${status}, not 1:\n${out}")
endif()
string(FIND "${out}" "${EXPECT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "replay of '${ARGS}' did not say \"${EXPECT}\":\n${out}")
endif()
message(STATUS "refused as expected: ${out}")
