// Card memory accounting. Every file costs a fixed overhead for its
// descriptor; transparent, internal and record files add their declared size
// (record files take their whole capacity at creation, as the card allocates
// it then); key files and PIN objects add one key-object block; PUT DATA
// objects add their bytes plus two. Directories cost only the overhead.
#pragma once

#include <cstdint>

#include "sim/internal/file_system.h"

namespace korva::sim {

inline constexpr uint32_t fileOverhead = 32;
inline constexpr uint32_t keyObjectSize = 320;  // also the limit of a key's material
inline constexpr uint32_t minimumMemory = 0x1000;
inline constexpr uint32_t maximumMemory = 0x1000000;

// Memory that `node` itself takes, its children not counted.
uint64_t memoryOf(const FileNode& node);
// Memory that `node` and everything below it take.
uint64_t memoryOfTree(const FileNode& node);

}  // namespace korva::sim
