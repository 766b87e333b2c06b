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
// machine's hosts file first. Anything else (file URLs included, which
// WinHTTP does not fetch scripts from) fails. False on any failure,
// including an HTTP status outside 2xx and a body larger than maxBytes.
[[nodiscard]] bool FetchUrl(const std::string& url, const std::string& userAgent,
                            const FetchLimits& limits, std::string& body);

// The entries of the machine's hosts file,
// C:\Windows\System32\drivers\etc\hosts: (name, address) pairs in file
// order, names as written.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> HostsFileEntries();

}  // namespace platform::posix
