// Compiles the headers the test programs share into their precompiled form.
