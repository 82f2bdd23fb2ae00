#pragma once

#include "commands/command.h"
#include "commands/drive_setup.h"
#include "disk/disk_identity.h"
#include "platform/ui.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ferrolatch {

struct Platform;

// A byte count the way a Mac writes file sizes: decimal units, no fraction
// for kB, one digit for MB, two from GB on, trailing zeros dropped
// ("128 MB", "31.91 GB", "999 bytes", "Zero KB").
std::string fileStyleByteCount(std::int64_t bytes);

// The chooser's title for one disk: "media — size — bus — identifier".
std::string diskChoiceTitle(const DriveInspection& disk);

// A new random UUID in its canonical text form, lower case.
std::string newLowercaseUUID();

// What the interactive front reaches besides the worker.
struct SetupDriveServices {
    Ui& ui;
    std::ostream& out;
    Files& files;
    Paths& paths;
    std::function<std::vector<DriveInspection>()> eligibleDisks;
    std::function<void(const DriveSetupRequest&)> initialize;
};

// Lets the user pick an external disk and name the encrypted volume, makes
// them type the erase phrase, then runs the worker. Cancelling anywhere prints
// "DRIVE SETUP CANCELLED" and changes nothing; no eligible disk shows an alert
// and prints nothing.
void runSetupDrive(SetupDriveServices& services);

// setup-drive
void setupDriveCommand(Platform& platform, VolumePromptSuppression& promptSuppression,
                       const CommandArguments& arguments);

}
