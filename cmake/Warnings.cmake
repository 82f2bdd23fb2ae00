# One place for the compiler flags every Ferrolatch target shares.
function(ferrolatch_target target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
        -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
        -Wconversion -Wnull-dereference -Wformat=2)
    if(FERROLATCH_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# Test programs are compiled for a quick build rather than a quick run: their
# own code is thin, and at -O2 it costs most of the build (the product code
# they exercise keeps its optimisation). Line tables still name the failing line.
function(ferrolatch_test_target target)
    ferrolatch_target(${target})
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        target_compile_options(${target} PRIVATE -O0 -gline-tables-only)
    else()
        target_compile_options(${target} PRIVATE -O0 -g1)
    endif()
endfunction()
