// The file system of a card as it leaves the factory.
#pragma once

#include "sim/internal/file_system.h"

namespace korva::sim {

// 3F 00 with the application directory A1 BC, the PIN and key directory
// 05 1F (SO PIN 05 "87654321", user PIN 07 "12345678") and the data
// directory 05 1E, all operational.
FileNode factoryFileSystem();

}  // namespace korva::sim
