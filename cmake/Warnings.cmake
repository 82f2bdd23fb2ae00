# One place for the compiler flags every Ferrolatch target shares.
function(ferrolatch_target target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
        -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
        -Wconversion -Wnull-dereference -Wformat=2)
    if(FERROLATCH_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
