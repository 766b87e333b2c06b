#pragma once
// Staging of the provisioning token beside the program into the product's
// provisioning folder, where the handler service picks it up.
#include <string>

#include "app/run_state.h"

namespace app {

inline constexpr const char* kTokenFileName = "CorvZyraProvisionToken.json";
inline constexpr const char* kStagedTokenName = "provision-token.data";

[[nodiscard]] std::string GetProvisionFolder();
[[nodiscard]] bool FindProvisionToken(std::string& tokenSource);
[[nodiscard]] bool CreateProvisionFolder(const std::string& folder);
[[nodiscard]] bool CopyToken(const std::string& source, const std::string& destination);
[[nodiscard]] bool ConfirmCopiedToken();

// False ends the run with 122; may set run.pendingCode to 122 and succeed.
[[nodiscard]] bool StageProvisionToken(RunState& run);

}  // namespace app
