// zyra-proxy-report: the proxy configuration the provisioning stub finds on
// this machine, and the proxy its downloads would use for given URLs.
//
//   zyra-proxy-report [URL...]
//
// Prints what the stub logs as "ProvStub Proxies" (a system-mode and a
// browser-mode detection, each with its messages), then for every URL the
// proxy a download of it would go through (system mode, as the stub's
// downloads detect it) with the messages of that lookup. Exit code 0; 1 when
// a URL could not be looked up; 2 for a usage error.
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/proxy_detector.h"

namespace {

void Usage(std::ostream& out) {
  out << "usage: zyra-proxy-report [URL...]\n"
         "Shows the proxy configuration of this machine as the provisioning stub\n"
         "detects it, and the proxy it would use for each URL given.\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> urls;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help" || arg == "/?") {
      Usage(std::cout);
      return 0;
    }
    if (!arg.empty() && arg[0] == '-') {
      std::cerr << "zyra-proxy-report: unknown option " << arg << "\n";
      Usage(std::cerr);
      return 2;
    }
    urls.push_back(arg);
  }

  std::cout << "Proxy configuration (system mode, then browser mode):\n"
            << platform::ProxyDetector::DescribeAll();
  if (urls.empty()) return 0;

  platform::ProxyDetector detector;
  std::ostringstream detectLog;
  const bool detected = detector.Detect(platform::ProxyMode::System, &detectLog);
  std::cout << "\nProxy per URL (system mode):\n";
  if (!detected) {
    std::cout << "  no configuration (" << detectLog.str()
              << "): every URL is fetched directly\n";
  }
  int exitCode = 0;
  for (const std::string& url : urls) {
    std::ostringstream log;
    std::string proxy;
    try {
      if (detected) proxy = detector.GetProxyForUrl(url, &log);
    } catch (const std::range_error&) {
      std::cout << url << " -> error: the URL is not valid UTF-8\n";
      exitCode = 1;
      continue;
    }
    std::cout << url << " -> " << (proxy.empty() ? std::string("DIRECT (no proxy)") : proxy)
              << "\n";
    if (!log.str().empty()) std::cout << "  " << log.str() << "\n";
  }
  return exitCode;
}
