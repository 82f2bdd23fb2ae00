# FERROLATCH_SANITIZE builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; any finding ends the process with a failure.
if(FERROLATCH_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
