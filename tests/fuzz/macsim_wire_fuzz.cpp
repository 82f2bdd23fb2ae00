// What other processes of the virtual Mac send or leave behind: a request to
// a Disk Arbitration session, a session's answer, and the machine's state file
// the mounted-volume listing reads. The first byte chooses the reader.
#include "common/uuid_text.h"
#include "platform/macsim/arbitration_wire.h"
#include "platform/macsim/macsim_mounted_volumes.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    using namespace ferrolatch;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0:
        if (auto message = arbitration_wire::decodeMessage(text)) {
            // What was read goes back out as the same message.
            auto again = arbitration_wire::decodeMessage(arbitration_wire::encodeMessage(*message));
            if (!again || again->request != message->request || again->disk != message->disk
                || again->volumeUUID != message->volumeUUID)
                std::abort();
        }
        break;
    case 1:
        if (auto dissenter = arbitration_wire::decodeAnswer(text)) {
            if (arbitration_wire::decodeAnswer(arbitration_wire::encodeAnswer(dissenter)) != dissenter)
                std::abort();
        }
        uuidBytesFromText(text);
        break;
    default:
        for (const MountedVolumeInfo& volume : mountedVolumesInState(text, MountedVolumes::Hidden::Skipped)) {
            if (volume.isBrowsable != true)
                std::abort(); // a hidden volume slipped into the browsable listing
        }
        mountedVolumesInState(text, MountedVolumes::Hidden::Listed);
        break;
    }
    return 0;
}
