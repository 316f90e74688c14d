// A canonical text form of the file tree, for tests and tools.
#pragma once

#include <string>

#include "sim/internal/file_system.h"

namespace korva::sim {

std::string dumpFileTree(const FileNode& root);

}  // namespace korva::sim
