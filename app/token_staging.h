#pragma once
// Staging of the provisioning token beside the program into the product's
// provisioning folder, where the handler service picks it up.
#include <string>

#include "app/run_state.h"

namespace app {

inline constexpr const char* kTokenFileName = "CorvZyraProvisionToken.json";
inline constexpr const char* kStagedTokenName = "provision-token.data";
// The copy in progress lies beside the staged token under its name and this.
inline constexpr const char* kPartialSuffix = ".partial";
// The longest path Windows gives for a program's own file.
inline constexpr unsigned kLongestPath = 32767;

[[nodiscard]] std::string GetProvisionFolder();
// The program's own file, however long (up to kLongestPath characters);
// false, with the last error, when it cannot be had.
[[nodiscard]] bool GetProgramPath(std::string& path);
// The token beside the program: only there, and only a file. A token path
// the file functions cannot open (MAX_PATH), a folder or a link under the
// token's name, each logs why before it returns false.
[[nodiscard]] bool FindProvisionToken(std::string& tokenSource);
[[nodiscard]] bool CreateProvisionFolder(const std::string& folder);
// Copies the whole token into a file beside destination, puts it on the disk
// and then in destination's place in one step. False (with a line naming
// why) when the token cannot be read, is empty, or cannot be written or put
// in place: destination is then as it was, and nothing is left beside it.
[[nodiscard]] bool CopyToken(const std::string& source, const std::string& destination);
[[nodiscard]] bool ConfirmCopiedToken();

// False ends the run with 122; may set run.pendingCode to 122 and succeed.
[[nodiscard]] bool StageProvisionToken(RunState& run);

}  // namespace app
