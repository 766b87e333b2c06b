#pragma once
// Runs the agent installer silently and waits for it.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_security.h"

namespace platform::utils {

// The installer's exit code, or nothing when it could not be started or
// awaited. "open" with "/S", hidden window, no time limit.
[[nodiscard]] std::optional<std::int32_t> RunInstallerSilently(const std::string& path);
// The same for an installer held open against changes since its
// validation: the handle is kept until the installer's process has started
// (or failed to), then closed.
[[nodiscard]] std::optional<std::int32_t> RunInstallerSilently(const std::string& path,
                                                               win::FileHandle held);

}  // namespace platform::utils
