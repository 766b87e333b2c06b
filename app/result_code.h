#pragma once
#include <cstdint>

namespace app {

// Outcome of a run; the final code is the process exit code.
enum class ResultCode : std::uint8_t {
  RoomProvisioned = 0,
  AgentDownloadComplete = 8,    // interim
  ProvisioningInProgress = 9,   // interim
  TokenNotFound = 122,
  AgentDownloadFailed = 123,
  AgentInstallFailed = 124,
  RoomProvisioningFailed = 125,
};

// The description text logged at the end of a run ("UNKNOWN" for others).
[[nodiscard]] const char* ResultCodeDescription(ResultCode code);

}  // namespace app
