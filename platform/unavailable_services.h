#pragma once

#include "platform/errors.h"
#include "platform/main_loop.h"
#include "platform/passkey_service.h"
#include "platform/ui.h"

namespace ferrolatch {

// Stand-ins for a Platform built without the interactive services (a test of
// a command that needs none of them). Any use fails loudly instead of
// pretending to work.
namespace unavailable {

[[noreturn]] inline void refuse(const char* service)
{
    throw ProofError(std::string("this platform was built without ") + service);
}


class NoMainLoop final : public MainLoop {
public:
    void post(Task) override { refuse("a main loop"); }
    std::shared_ptr<DelayedTask> postAfter(double, Task) override { refuse("a main loop"); }
    void run() override { refuse("a main loop"); }
    void stop() override { refuse("a main loop"); }
    void runUntil(const std::function<bool()>&) override { refuse("a main loop"); }
    Clock& clock() override { refuse("a main loop"); }
};

class NoUi final : public Ui {
public:
    void prepareApplication() override { refuse("a user interface"); }
    void activate() override { refuse("a user interface"); }
    void beep() override { refuse("a user interface"); }
    Size layoutSize(const Alert&) override { refuse("a user interface"); }
    long runModal(Alert&) override { refuse("a user interface"); }
    void abortModal() override {}
    std::unique_ptr<Window> createWindow(const WindowDescription&) override { refuse("a user interface"); }
};

class NoPasskeyService final : public PasskeyService {
public:
    std::unique_ptr<PasskeyAuthorization> performRequest(const PasskeyRequest&, PasskeyAuthorizationDelegate&) override
    {
        refuse("a passkey service");
    }
};

inline MainLoop& mainLoop()
{
    static NoMainLoop loop;
    return loop;
}

inline Ui& ui()
{
    static NoUi none;
    return none;
}

inline PasskeyService& passkeys()
{
    static NoPasskeyService none;
    return none;
}

}

}
