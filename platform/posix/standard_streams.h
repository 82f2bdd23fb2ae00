#pragma once

#include <ostream>

namespace ferrolatch {

// Opens /dev/null read-only on any of descriptors 0, 1 and 2 that the process
// started without, so no file the program opens can take their place (and
// receive its output); a write to such an output then fails, as it should.
void reserveStandardDescriptors();

// Flushes standard output at the end of a command. A result that could not be
// written is a failure: a successful status becomes 1, with one line on error.
// Output that could not be written is discarded rather than tried again.
int finishStandardOutput(int status, std::ostream& error);

}
