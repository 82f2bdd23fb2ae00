# Runs one libFuzzer target for SECONDS from its seeds (directories, and single
# fixture files, which are copied into the scratch corpus); a crash fails the test.
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
set(directories)
string(REPLACE "|" ";" SEEDS "${SEEDS}")
foreach(seed IN LISTS SEEDS)
    if(IS_DIRECTORY ${seed})
        list(APPEND directories ${seed})
    else()
        file(COPY ${seed} DESTINATION ${SCRATCH})
    endif()
endforeach()
execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=0
            ${SCRATCH} ${directories}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${status}):\n${output}")
endif()
