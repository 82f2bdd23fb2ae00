#include "platform/posix/desktop_plugin.h"

#include "common/errors.h"
#include "platform/loop/main_loop_scheduler.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace ferrolatch {

DesktopAdapters& loadDesktopPlugin(const std::string& path)
{
    // Never closed: the toolkit keeps threads and handlers that outlive a session.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        throw ProofError("the desktop user interface could not be loaded: " + std::string(reason ? reason : path));
    }
    using Entry = DesktopAdapters* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, "ferrolatch_desktop_adapters"));
    DesktopAdapters* adapters = entry ? entry() : nullptr;
    if (!adapters)
        throw ProofError("the desktop user interface could not be loaded: " + path + " has no adapters");
    return *adapters;
}

namespace {

[[noreturn]] void usedOutside(const char* port)
{
    std::fflush(stdout);
    std::fprintf(stderr, "ferrolatch-proof: the %s is used outside the application context\n", port);
    std::abort();
}

}

// Ports that forward to the session while one is running.
struct DesktopApplicationContext::Ports {
    std::atomic<DesktopSession*> session {nullptr};

    DesktopSession& current(const char* port) const
    {
        DesktopSession* active = session.load();
        if (!active)
            usedOutside(port);
        return *active;
    }

    class Loop final : public MainLoop {
    public:
        explicit Loop(Ports& ports) : m_ports(ports) {}
        void post(Task task) override { m_ports.current("main loop").loop.post(std::move(task)); }
        std::shared_ptr<DelayedTask> postAfter(double delaySeconds, Task task) override
        {
            return m_ports.current("main loop").loop.postAfter(delaySeconds, std::move(task));
        }
        void run() override { m_ports.current("main loop").loop.run(); }
        void stop() override { m_ports.current("main loop").loop.stop(); }
        void runUntil(const std::function<bool()>& condition) override
        {
            m_ports.current("main loop").loop.runUntil(condition);
        }
        Clock& clock() override
        {
            DesktopSession* active = m_ports.session.load();
            return active ? active->loop.clock() : m_clock;
        }

    private:
        Ports& m_ports;
        SystemClock m_clock;
    };

    class Interface final : public Ui {
    public:
        explicit Interface(Ports& ports) : m_ports(ports) {}
        void prepareApplication() override { ui().prepareApplication(); }
        void activate() override { ui().activate(); }
        void beep() override { ui().beep(); }
        Size layoutSize(const Alert& alert) override { return ui().layoutSize(alert); }
        long runModal(Alert& alert) override { return ui().runModal(alert); }
        void abortModal() override { ui().abortModal(); }
        std::unique_ptr<Window> createWindow(const WindowDescription& description) override
        {
            return ui().createWindow(description);
        }

    private:
        Ui& ui() { return m_ports.current("user interface").ui; }
        Ports& m_ports;
    };

    class Board final : public Pasteboard {
    public:
        explicit Board(Ports& ports) : m_ports(ports) {}
        void clearContents() override { board().clearContents(); }
        bool setString(std::span<const std::uint8_t> utf8) override { return board().setString(utf8); }
        std::optional<SecretBytes> readString() override { return board().readString(); }

    private:
        Pasteboard& board() { return m_ports.current("pasteboard").pasteboard; }
        Ports& m_ports;
    };

    class Item final : public StatusItem {
    public:
        explicit Item(Ports& ports) : m_ports(ports) {}
        bool canLoadImage(const std::string& path) override { return item().canLoadImage(path); }
        void setButton(const StatusButton& button) override { item().setButton(button); }
        StatusButton button() const override { return item().button(); }
        void setMenu(Menu menu, MenuDelegate* delegate) override { item().setMenu(std::move(menu), delegate); }
        const Menu& menu() const override { return item().menu(); }

    private:
        StatusItem& item() const { return m_ports.current("status item").statusItem; }
        Ports& m_ports;
    };

    Loop loop {*this};
    Interface ui {*this};
    Board pasteboard {*this};
    Item statusItem {*this};
};

DesktopApplicationContext::DesktopApplicationContext(std::function<DesktopAdapters&()> adapters,
                                                     std::string applicationIconPath, int interruptionDescriptor)
    : m_adapters(std::move(adapters)), m_iconPath(std::move(applicationIconPath)),
      m_interruptionDescriptor(interruptionDescriptor), m_ports(std::make_unique<Ports>())
{
}

DesktopApplicationContext::~DesktopApplicationContext() = default;

MainLoop& DesktopApplicationContext::mainLoop() { return m_ports->loop; }
Ui& DesktopApplicationContext::ui() { return m_ports->ui; }
Pasteboard& DesktopApplicationContext::pasteboard() { return m_ports->pasteboard; }
StatusItem& DesktopApplicationContext::statusItem() { return m_ports->statusItem; }

void DesktopApplicationContext::operator()(const std::function<void()>& handler)
{
    m_adapters().run(
        [&](DesktopSession& session) {
            DesktopSession* previous = m_ports->session.exchange(&session);
            struct Restore {
                Ports& ports;
                DesktopSession* previous;
                ~Restore() { ports.session.store(previous); }
            } restore {*m_ports, previous};
            handler();
        },
        m_iconPath, m_interruptionDescriptor);
}

}
