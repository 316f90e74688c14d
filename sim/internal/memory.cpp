#include "sim/internal/memory.h"

namespace korva::sim {

uint64_t memoryOf(const FileNode& node) {
  uint64_t total = fileOverhead;
  switch (node.descriptor()) {
    case descriptorTransparent:
    case descriptorLinearFixed:
    case descriptorInternal: total += node.size; break;
    case descriptorKey: total += keyObjectSize; break;
    default: break;
  }
  for (const auto& [tag, value] : node.dataObjects) total += 2 + value.size();
  return total;
}

uint64_t memoryOfTree(const FileNode& node) {
  uint64_t total = memoryOf(node);
  for (const FileNode& child : node.children) total += memoryOfTree(child);
  return total;
}

}  // namespace korva::sim
