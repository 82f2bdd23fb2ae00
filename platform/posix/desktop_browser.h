#pragma once

#include <string>

namespace ferrolatch {

// Hands a URL to the desktop's opener (xdg-open), which starts the user's
// browser. Does not wait for the browser; false when the opener could not be
// started or the text is not an absolute URL.
bool openWithDesktopOpener(const std::string& url);

}
