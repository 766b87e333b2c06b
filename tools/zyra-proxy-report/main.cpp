// zyra-proxy-report: the proxy configuration the provisioning stub finds on
// this machine, the proxy its downloads would use for given URLs, and
// whether that proxy lets a request through.
//
//   zyra-proxy-report [URL...] [--check URL]
//
// Prints what the stub logs as "ProvStub Proxies" (a system-mode and a
// browser-mode detection, each with its messages), then for every URL the
// proxy a download of it would go through (system mode, as the stub's
// downloads detect it) with the messages of that lookup. --check makes one
// request through the stub's own download manager, with the credentials of
// the override file, and reports the answers and the authentication schemes
// the proxy offered; the password is never shown. Exit code 0; 1 when a URL
// is not http(s), a PAC script could not be fetched or evaluated, or the
// checked request failed; 2 for a usage error.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "logging/logger.h"
#include "net/download_manager.h"
#include "platform/utils/proxy_detector.h"
#include "platform/winhttp.h"
#include "tools/cli/tool_cli.h"

namespace {

namespace win = platform::win;

// The program fetches http: and https: URLs only. Empty when url is one of
// them, else why not.
std::string UrlProblem(const std::string& url) {
  CURLU* u = curl_url();
  if (u == nullptr) return "cannot parse the URL";
  std::string why;
  char* scheme = nullptr;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
      curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    why = "not a URL (the program fetches http:// and https:// URLs only)";
  } else if (std::string(scheme) != "http" && std::string(scheme) != "https") {
    why = std::string("a ") + scheme + ": URL (the program fetches http:// and https:// URLs only)";
  }
  curl_free(scheme);
  curl_url_cleanup(u);
  return why;
}

std::string PacFailure(std::uint32_t error) {
  switch (error) {
    case win::kErrorWinhttpUnableToDownloadScript:
      return "the PAC script could not be fetched (refused, not found or unreachable)";
    case win::kErrorWinhttpBadAutoProxyScript:
      return "the PAC script could not be evaluated (a script error, or no FindProxyForURL)";
    case win::kErrorWinhttpTimeout: return "the PAC script did not answer in time";
    case win::kErrorWinhttpUnrecognizedScheme:
      return "the PAC URL's scheme is not one WinHTTP fetches scripts from";
    case win::kErrorWinhttpInvalidUrl: return "the URL or the PAC URL is not valid";
    case win::kErrorWinhttpAutodetectionFailed: return "no PAC script was found";
    default: return "the PAC lookup failed";
  }
}

struct Lookup {
  bool ok = false;
  std::string proxy;  // empty: direct
  std::string log;    // the lookup's messages
  std::string error;  // when not ok
};

// The proxy a download of url goes through, as the download manager finds it.
Lookup LookUp(const platform::ProxyDetector& detector, bool detected, const std::string& url) {
  Lookup r;
  if (const std::string why = UrlProblem(url); !why.empty()) {
    r.error = why;
    return r;
  }
  if (!detected) {
    r.ok = true;
    return r;
  }
  std::ostringstream log;
  std::uint32_t pacError = 0;
  try {
    r.proxy = detector.GetProxyForUrl(url, &log, &pacError);
  } catch (const std::range_error&) {
    r.error = "the URL is not valid UTF-8";
    return r;
  }
  r.log = log.str();
  if (pacError != 0) {
    r.error = PacFailure(pacError) + ": " + detector.autoConfigUrl + " (WinHTTP error " +
              std::to_string(pacError) + "); the program would connect directly";
    return r;
  }
  r.ok = true;
  return r;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// What the responses of one checked request said.
struct Answers {
  std::vector<std::string> statusLines;  // every response's, CONNECT answers included
  std::vector<std::string> schemes;      // offered in Proxy-Authenticate, in order, once each
};

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* answers = static_cast<Answers*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    answers->statusLines.push_back(line);
  } else if (Lower(line).rfind("proxy-authenticate:", 0) == 0) {
    std::string value = line.substr(19);
    value.erase(0, value.find_first_not_of(" \t"));
    std::string scheme = value.substr(0, value.find_first_of(" \t,"));
    const std::string lower = Lower(scheme);
    if (lower == "basic") scheme = "Basic";
    if (lower == "digest") scheme = "Digest";
    if (lower == "ntlm") scheme = "NTLM";
    if (lower == "negotiate") scheme = "Negotiate";
    if (!scheme.empty() &&
        std::find(answers->schemes.begin(), answers->schemes.end(), scheme) ==
            answers->schemes.end())
      answers->schemes.push_back(scheme);
  }
  return size * count;
}

std::string Join(const std::vector<std::string>& items, const std::string& sep) {
  std::string out;
  for (const auto& i : items) out += (out.empty() ? "" : sep) + i;
  return out;
}

// One request to url through the download manager, as the program makes it
// once a proxy has asked for credentials: the proxy's and the override
// file's credentials, in the strongest scheme the proxy offers.
int Check(const std::string& url) {
  std::cout << "\nCheck: one request for " << url << "\n";
  platform::ProxyDetector detector;
  std::ostringstream detectLog;
  const bool detected = detector.Detect(platform::ProxyMode::System, &detectLog);
  const Lookup lookup = LookUp(detector, detected, url);
  if (!lookup.ok) {
    std::cout << "  error: " << lookup.error << "\n";
    return 1;
  }
  std::cout << "  proxy: " << (lookup.proxy.empty() ? "DIRECT (no proxy)" : lookup.proxy) << "\n";
  if (!lookup.proxy.empty()) {
    if (detector.hasCreds)
      std::cout << "  credentials: user " << (detector.user.empty() ? "(empty)" : detector.user)
                << " from the override file (the password is not shown)\n";
    else
      std::cout << "  credentials: none in the override file: an empty user and password (on "
                   "Windows NTLM and Negotiate then use the account this program runs as)\n";
  }

  // The download manager's own log lines (proxy choice, transfer errors).
  std::ostringstream managerLog;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(managerLog);
  auto logger = std::make_shared<spdlog::logger>("zyra-proxy-report", sink);
  logger->set_pattern("%l  %v");
  logger->set_level(spdlog::level::trace);
  logging::LoggerHolder::Instance().Set(logger);

  net::DownloadManager manager;
  manager.maxAttempts = 1;
  manager.proxyAuthRequired = true;
  manager.timeoutMs = 60000;
  Answers answers;
  long status = 0;
  std::vector<char> body;
  const std::int32_t rc = manager.DownloadToMemory(url, status, body, [&answers](CURL* h) {
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &answers);
  });
  logger->flush();
  logging::LoggerHolder::Instance().Set(nullptr);

  std::istringstream lines(managerLog.str());
  for (std::string line; std::getline(lines, line);) std::cout << "  log: " << line << "\n";
  if (!answers.statusLines.empty())
    std::cout << "  answers: " << Join(answers.statusLines, " | ") << "\n";
  if (!lookup.proxy.empty()) {
    std::cout << "  proxy offered: "
              << (answers.schemes.empty() ? std::string("no authentication scheme (it asked for none)")
                                          : Join(answers.schemes, ", "))
              << "\n";
  }
  if (rc == net::Ok) {
    std::cout << "  result: " << status << ", the request went through"
              << (answers.schemes.empty() ? "" : ": the proxy accepted the credentials") << "\n";
    return 0;
  }
  const std::string whose =
      detector.hasCreds ? " of user " + detector.user : std::string(" (none given)");
  const bool proxyAsked = !lookup.proxy.empty() && !answers.schemes.empty();
  if (status == 407) {
    std::cout << "  result: refused: the proxy answered 407 to the credentials" << whose << "\n";
  } else if (status == 401 && proxyAsked) {
    // tinyproxy, for one, answers credentials it refuses with 401.
    std::cout << "  result: refused: 401 after the proxy asked for credentials (407): a proxy "
                 "that answers refused credentials with 401 instead of 407; check the credentials"
              << whose << "\n";
  } else {
    std::cout << "  result: failed, http code " << status << " (result " << rc << ")\n";
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Shows the proxy configuration of this machine as the provisioning stub detects it "
      "(what it logs as \"ProvStub Proxies\"), and the proxy it would use for each URL given. "
      "Run it as the account the stub runs as. Exit code 0; 1 when a URL is not http(s), a PAC "
      "script cannot be fetched or evaluated, or the --check request fails; 2 for a usage "
      "error.",
      "zyra-proxy-report"};
  zyra_tools::SetUpTool(app);
  std::vector<std::string> urls;
  std::string checkUrl;
  app.add_option("URL", urls, "URLs to look the proxy up for (http:// or https://)");
  app.add_option("--check", checkUrl,
                 "Make one request for this URL through the proxy the stub would use, with the "
                 "override file's credentials (or, on Windows, the account this program runs "
                 "as), and report the answers and the authentication schemes the proxy offered "
                 "(Basic, Digest, NTLM, Negotiate); the password is never shown");
  int exitCode = 0;
  if (!zyra_tools::ParseArguments(app, argc, argv, exitCode)) return exitCode;

  std::cout << "Proxy configuration (system mode, then browser mode):\n"
            << platform::ProxyDetector::DescribeAll();

  if (!urls.empty()) {
    platform::ProxyDetector detector;
    std::ostringstream detectLog;
    const bool detected = detector.Detect(platform::ProxyMode::System, &detectLog);
    std::cout << "\nProxy per URL (system mode):\n";
    if (!detected) {
      std::cout << "  no configuration (" << detectLog.str()
                << "): every URL is fetched directly\n";
    }
    for (const std::string& url : urls) {
      const Lookup r = LookUp(detector, detected, url);
      if (!r.ok) {
        std::cout << url << " -> error: " << r.error << "\n";
        if (!r.log.empty()) std::cout << "  " << r.log << "\n";
        exitCode = 1;
        continue;
      }
      std::cout << url << " -> " << (r.proxy.empty() ? std::string("DIRECT (no proxy)") : r.proxy)
                << "\n";
      if (!r.log.empty()) std::cout << "  " << r.log << "\n";
    }
  }
  if (!checkUrl.empty() && Check(checkUrl) != 0) exitCode = 1;
  return exitCode;
}
