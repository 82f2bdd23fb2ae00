#pragma once

#include "platform/interruption.h"
#include "platform/pasteboard.h"

#include <functional>
#include <ostream>

namespace ferrolatch {

// Runs a flow that may put a secret on the clipboard so that nothing ends the
// process with the secret still there. An interrupt, terminate or hang-up
// signal is noted while the flow runs; the clipboard is cleared and then the
// signal ends the process as it would have (status 130, 143, 129). A result
// line that cannot be written (a closed pipe, a full disk) fails the flow at
// once, which clears the clipboard and reports "could not write to standard
// output" instead of waiting on a user who cannot see the steps.
void runSecretClipboardFlow(Interruption& interruption, Pasteboard& pasteboard, std::ostream& out,
                            const std::function<void()>& flow);

}
