#pragma once
// The JavaScript engine that runs PAC scripts for the emulated WinHTTP
// (pacparser). One evaluation at a time in the process.
#include <string>

namespace platform::posix {

// Runs FindProxyForURL(url, host) of script in a fresh engine and gives its
// answer unchanged. False when the engine cannot start, the script does not
// evaluate, the function is missing, or the call fails. url and host are
// handed over as string arguments only: a url or host that could break out
// of its argument (quotes, backslashes, control characters in the host) is
// refused or escaped, never run as code.
[[nodiscard]] bool RunPacScript(const std::string& script, const std::string& url,
                                const std::string& host, std::string& answer);

}  // namespace platform::posix
