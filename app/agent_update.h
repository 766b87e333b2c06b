#pragma once
// The agent installation step: bring the ZyraAgent up to date, or restart
// the handler service when it already is.
#include <cstdint>
#include <string>

#include "app/run_state.h"

namespace update {
class UpdateManager;
}

namespace app {

inline constexpr const char16_t* kAgentKey = u"Software\\Corvane\\CorvZyraAgent";

// True: the agent is ready (hand over to the handler). False: the run ends
// with run.resultCode (123, 124 or 125).
[[nodiscard]] bool UpdateAgent(RunState& run, update::UpdateManager& updateManager);

[[nodiscard]] std::string GetInstalledAgentVersion();
[[nodiscard]] std::string NormalizeVersion(const std::string& text);
// 1 when a is newer than b, -1 when older, 0 when equal (first three parts).
[[nodiscard]] int CompareVersions(const std::string& a, const std::string& b);
// The decimal number at the start of piece (as strtol reads it), 0 when
// nothing reads or it is outside the 32-bit range.
[[nodiscard]] std::int32_t ParseComponent(const std::string& piece);
// The "version" of the agent's version manifest text: empty for a document
// that is null, {} or []. Throws std::runtime_error naming the problem when
// the text is not JSON, is another non-object value, or its "version" is not
// a string.
[[nodiscard]] std::string ParseAvailableVersion(const std::string& text);
[[nodiscard]] const char* InstallerExitDescription(std::int32_t exitCode);
// Stop, five seconds, start; true when both succeeded. Throws when the
// service manager cannot be opened.
[[nodiscard]] bool RestartHandlerService();

}  // namespace app
