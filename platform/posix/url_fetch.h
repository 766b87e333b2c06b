#pragma once
// Downloads for the emulated WinHTTP: PAC scripts and WPAD probes.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace platform::posix {

struct FetchLimits {
  long connectTimeoutMs = 5000;
  long totalTimeoutMs = 15000;
  std::size_t maxBytes = 4 * 1024 * 1024;
};

// Fetches url into body. http and https go through libcurl: always direct
// (no proxy, not even from the environment), redirects followed within http
// and https only, certificates verified, host names looked up in the
// machine's hosts file first. file URLs name a file on the emulated machine
// (see FileUrlToWindowsPath). Anything else fails. False on any failure,
// including an HTTP status outside 2xx and a body larger than maxBytes.
[[nodiscard]] bool FetchUrl(const std::string& url, const std::string& userAgent,
                            const FetchLimits& limits, std::string& body);

// The Windows path a file URL names: file:///C:/dir/x.pac,
// file://localhost/C:/dir/x.pac and file://C:/dir/x.pac all give
// C:/dir/x.pac; %XX escapes are decoded. False for other URLs and for a
// file URL with another host (a share).
[[nodiscard]] bool FileUrlToWindowsPath(const std::string& url, std::string& windowsPath);

// The entries of the machine's hosts file,
// C:\Windows\System32\drivers\etc\hosts: (name, address) pairs in file
// order, names as written.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> HostsFileEntries();

}  // namespace platform::posix
