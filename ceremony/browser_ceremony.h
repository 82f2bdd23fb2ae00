#pragma once

#include "ceremony/proof_server.h"
#include "platform/loopback_sockets.h"
#include "platform/main_loop.h"

#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>

namespace ferrolatch {

// What one browser ceremony reaches. openURL opens the page in the browser
// and returns without waiting for it; its failure ends the ceremony.
struct BrowserCeremonyServices {
    LoopbackSockets& sockets;
    std::function<void(const std::string& url)> openURL;
    std::ostream& out;
    Clock& clock;
    double deadlineSeconds = 300.0;
    // However slowly a client sends, its request is read for no longer than
    // this (and never past the deadline), so a stray local process cannot
    // keep the browser's own request waiting.
    double requestReadSeconds = 10.0;
};

inline constexpr int proofServerBacklog = 8;

// Serves the proof page on 127.0.0.1 until the page posts an acceptable
// result, the first rejected one, or the deadline. mode is "enroll" or
// "unlock"; expectedCredential, given in "unlock", must be base64url text and
// is refused before anything is opened otherwise.
BrowserReply runBrowserCeremony(BrowserCeremonyServices& services, const std::string& mode,
                                std::span<const std::uint8_t> salt, const std::optional<std::string>& expectedCredential);

}
