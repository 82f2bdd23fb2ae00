#pragma once

// The inspection record of the disk99 fixture as JSON, without a final line feed.
inline constexpr const char* disk99InspectionJSON = "{\n"
                                                    "  \"busProtocol\" : \"USB\",\n"
                                                    "  \"confirmationToken\" : \"ERASE-disk99-fdb2b325688e6951\",\n"
                                                    "  \"deviceIdentifier\" : \"disk99\",\n"
                                                    "  \"deviceNode\" : \"/dev/disk99\",\n"
                                                    "  \"deviceTreePath\" : \"fixture:/external/usb\",\n"
                                                    "  \"mediaName\" : \"Ferrolatch fixture\",\n"
                                                    "  \"schema\" : \"ferrolatch.inspect.v1\",\n"
                                                    "  \"sizeBytes\" : 134217728\n"
                                                    "}";
