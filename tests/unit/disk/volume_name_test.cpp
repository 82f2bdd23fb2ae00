#include "disk/volume_name.h"
#include "tests/support/expectations.h"

#include <gtest/gtest.h>

using namespace ferrolatch;

TEST(VolumeName, AcceptsSafeNamesAndRefusesTheRest)
{
    const std::string message = "data volume name must be 1\u201364 safe characters and must not be FERROLATCH";
    const std::string sixtyFourBytes = std::string(62, 'a') + "\xC3\xA9";     // 63 characters, 64 bytes
    const std::string sixtyFiveBytes = std::string(63, 'a') + "\xC3\xA9";     // 64 characters, 65 bytes
    for (const std::string& name : {std::string("CODE-BACKUPS"), std::string("Caf\xC3\xA9 Fotos"), std::string(64, 'a'),
                                    sixtyFourBytes, std::string("FERROLATCH2"), std::string("My Drive.1")}) {
        SCOPED_TRACE(name);
        EXPECT_NO_THROW(validateVolumeName(name));
    }
    for (const std::string& name :
         {std::string(), std::string(65, 'a'), sixtyFiveBytes, std::string("unsafe/name"), std::string("a:b"),
          std::string("tab\there"), std::string("nul\0x", 5), std::string("line\n"), std::string("FERROLATCH"),
          std::string("ferrolatch"), std::string("FerroLatch"), std::string("bad\xC3"), std::string("\xFF")}) {
        SCOPED_TRACE(name);
        EXPECT_PROOF_ERROR(validateVolumeName(name), message);
    }
}
