#include "macsim/channel_control.h"

#include "macsim/basics.h"
#include "platform/macsim/macsim_local_channels.h"

#include <cerrno>
#include <iostream>
#include <unistd.h>

namespace macsim {

void channelCommand(const std::string& sysroot, const std::vector<std::string>& arguments)
{
    if (arguments.size() != 3 || arguments[0] != "ask")
        throw ToolError("macsim: usage: macsim channel ask SERVICE REQUEST");
    const std::string& service = arguments[1];
    ferrolatch::MacsimLocalChannels channels(sysroot, static_cast<unsigned>(::getuid()));
    std::unique_ptr<ferrolatch::ChannelConnection> connection = channels.connect(service);
    if (!connection)
        throw ToolError("macsim: no process offers " + service);
    std::optional<std::string> answer = connection->request(arguments[2], std::chrono::seconds(5));
    if (!answer)
        throw ToolError("macsim: " + service + " did not answer");
    std::cout << *answer << std::endl;
    char buffer[256];
    for (;;) {
        ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count == 0 || (count < 0 && errno != EINTR))
            break;
    }
}

}
