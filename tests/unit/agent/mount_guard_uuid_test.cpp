#include "agent/mount_guard_uuid.h"

#include <gtest/gtest.h>

using namespace ferrolatch;

namespace {

const disk_uuid::Bytes bytes {0x8b, 0x30, 0x58, 0x70, 0xf6, 0x84, 0x4d, 0xea,
                              0xba, 0x71, 0x8d, 0xd6, 0xa6, 0xaa, 0x60, 0x8c};
const std::string canonical = "8B305870-F684-4DEA-BA71-8DD6A6AA608C";

}

TEST(MountGuardUUID, EveryUUIDKindGivesTheUpperCaseTextAndOtherObjectsNothing)
{
    EXPECT_EQ(normalizedVolumeUUID(disk_uuid::Value {bytes}), canonical);
    EXPECT_EQ(normalizedVolumeUUID(disk_uuid::NSUUID {bytes}), canonical);
    EXPECT_EQ(normalizedVolumeUUID(disk_uuid::CFUUID {bytes}), canonical);
    EXPECT_EQ(normalizedVolumeUUID(disk_uuid::Other {"__NSCFString"}), std::nullopt);
    EXPECT_EQ(normalizedVolumeUUID(disk_uuid::Value {}), "00000000-0000-0000-0000-000000000000");
}

TEST(MountGuardUUID, CFUUIDFromTextTakesEitherCaseAndNothingElse)
{
    std::optional<disk_uuid::CFUUID> lower = createCFUUIDFromString("8b305870-f684-4dea-ba71-8dd6a6aa608c");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->bytes, bytes);
    EXPECT_EQ(normalizedVolumeUUID(*lower), canonical);
    for (std::string_view refused : {"", "8B305870F6844DEABA718DD6A6AA608C", "{8B305870-F684-4DEA-BA71-8DD6A6AA608C}",
                                     "8B305870-F684-4DEA-BA71-8DD6A6AA608", "8B305870-F684-4DEA-BA71-8DD6A6AA608G",
                                     "8B30587-0F684-4DEA-BA71-8DD6A6AA608C", " 8B305870-F684-4DEA-BA71-8DD6A6AA608C"}) {
        SCOPED_TRACE(refused);
        EXPECT_FALSE(createCFUUIDFromString(refused));
    }
}
