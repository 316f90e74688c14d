// Files the library keeps for the user alone between processes (the object
// cache, the session-key journal): folders of mode 0700, files of mode 0600
// that a reader meets whole, old or new, never torn.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace korva::host {

// Makes `folder` and whichever folders above it are missing, each of mode
// 0700. False when one cannot be made.
bool makePrivateFolders(const std::filesystem::path& folder);

// Replaces `file` with `bytes`: a temporary file of mode 0600 beside it,
// synced, renamed over it, and the folder synced so that the rename lasts.
// False when a step fails; the old file is then as it was.
bool replacePrivateFile(const std::filesystem::path& file, std::span<const uint8_t> bytes);

}  // namespace korva::host
