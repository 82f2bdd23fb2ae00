# FERROLATCH_SANITIZE builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; any finding ends the process with a failure.
if(FERROLATCH_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    # -O1 keeps the instrumented build quick to compile and still finds what
    # -O2 would; line tables are all a report's stack needs.
    add_compile_options(-O1)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        add_compile_options(-gline-tables-only)
    endif()
    # GCC's instrumentation makes -Wmaybe-uninitialized report false positives
    # (in std::regex, for one), so that warning is left to the ordinary build.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
endif()
