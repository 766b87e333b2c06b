#pragma once
// Runs the agent installer silently and waits for it.
#include <cstdint>
#include <optional>
#include <string>

namespace platform::utils {

// The installer's exit code, or nothing when it could not be started or
// awaited. "open" with "/S", hidden window, no time limit.
[[nodiscard]] std::optional<std::int32_t> RunInstallerSilently(const std::string& path);

}  // namespace platform::utils
