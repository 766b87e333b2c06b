// The proxy override file "ProxyAutoConfigUrl.txt" as ReadOverrideFile
// applies it (ProxyDetector::ApplyOverrideContent with its KeyValueParser),
// KeyValueParser on its own, and the proxy list of the Windows settings
// (ParseProxyList) with the per-host lookup.
//
// Input: the first byte picks the part, the rest is its text.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "platform/utils/proxy_detector.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using platform::ProxyDetector;

constexpr const char* kPath = "C:\\ProgramData\\Corvane\\CorvZyra\\ProxyAutoConfigUrl.txt";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void CheckParser(const std::string& text, char comment, bool skipFirst) {
  platform::KeyValueParser parser(comment, skipFirst);
  const std::vector<std::string> errors = parser.Parse(text);
  const std::vector<std::string> lines = platform::SplitString(text, '\n');
  FUZZ_CHECK(errors.size() <= lines.size());
  FUZZ_CHECK(parser.firstLine() == (lines.empty() ? std::string() : lines[0]));
  for (const std::string& e : errors) FUZZ_CHECK(e.rfind("empty key name in =", 0) == 0);
  for (const auto& [key, value] : parser.entries()) {
    // Keys are trimmed, never empty, never a comment and hold no "=".
    FUZZ_CHECK(!key.empty());
    FUZZ_CHECK(!IsBlank(key.front()) && !IsBlank(key.back()));
    FUZZ_CHECK(key[0] != comment);
    FUZZ_CHECK(key.find('=') == std::string::npos);
    FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
  }
}

void CheckOverride(const std::string& text) {
  ProxyDetector d;
  std::ostringstream log;
  const bool applied = d.ApplyOverrideContent(text, kPath, &log);
  const std::string logged = log.str();

  platform::KeyValueParser parser('#', false);
  const bool clean = parser.Parse(text).empty();
  FUZZ_CHECK(applied == clean);
  if (!applied) {
    // The file is ignored entirely; the detector keeps its reset state.
    FUZZ_CHECK(logged.rfind(std::string("errors reading ") + kPath, 0) == 0);
    FUZZ_CHECK(d.source == platform::ProxySource::None && d.autoConfigUrl.empty() && !d.hasCreds);
    return;
  }
  FUZZ_CHECK(d.source == platform::ProxySource::CorvanePacFile);
  FUZZ_CHECK(d.proxies.empty());
  FUZZ_CHECK(d.autoConfigUrl == platform::Trim(parser.firstLine()));
  if (d.autoConfigUrl.empty()) {
    FUZZ_CHECK(d.target == platform::ProxyTarget::None);
    FUZZ_CHECK(logged == "PAC file: override to empty proxy\n");
    // Nothing configured: every URL goes direct.
    FUZZ_CHECK(d.GetProxyForUrl("https://update.corvane.com/x", nullptr).empty());
  } else {
    FUZZ_CHECK(d.target == platform::ProxyTarget::Auto);
    FUZZ_CHECK(logged.rfind("PAC file: use ", 0) == 0);
  }

  // "creds": user name, then everything after the first colon.
  const auto creds = parser.entries().find("creds");
  const bool expectCreds = creds != parser.entries().end() && !creds->second.empty();
  FUZZ_CHECK(d.hasCreds == expectCreds);
  if (expectCreds) {
    const std::string& value = creds->second;
    const auto colon = value.find(':');
    FUZZ_CHECK(d.user == value.substr(0, colon));
    if (colon != std::string::npos) {
      std::string rest = value.substr(colon + 1);
      // A trailing colon adds no empty piece, so it is lost.
      if (!rest.empty() && rest.back() == ':') rest.pop_back();
      FUZZ_CHECK(d.password == rest);
    } else {
      FUZZ_CHECK(d.password.empty());
    }
    // The password never shows, neither in the log nor in the description
    // of the PAC URL (a password made of the mask's "*" cannot be told
    // from the mask).
    if (!d.password.empty() && d.password.find('*') == std::string::npos) {
      // Describe: fixed fields around the shown PAC URL, then the user name.
      const std::string describe = d.Describe();
      const std::string head = std::string("source = CorvanePacFile;target = ") +
                               (d.autoConfigUrl.empty() ? "none" : "auto") + ";autoConfigUrl = ";
      const std::string tail = ";proxyBypass = ;proxy = ;;creds for user=" + d.user + ";";
      FUZZ_CHECK(describe.size() >= head.size() + tail.size());
      FUZZ_CHECK(describe.compare(0, head.size(), head) == 0);
      FUZZ_CHECK(describe.compare(describe.size() - tail.size(), tail.size(), tail) == 0);
      const std::string shownUrl =
          describe.substr(head.size(), describe.size() - head.size() - tail.size());
      FUZZ_CHECK(shownUrl.find(d.password) == std::string::npos);
      if (!d.autoConfigUrl.empty()) {
        const std::string prefix = "PAC file: use ";
        FUZZ_CHECK(logged.size() > prefix.size() && logged.back() == '\n');
        const std::string loggedUrl = logged.substr(prefix.size(), logged.size() - prefix.size() - 1);
        FUZZ_CHECK(loggedUrl == shownUrl);
        FUZZ_CHECK(loggedUrl.find(d.password) == std::string::npos);
      }
    }
  }
}

void CheckProxyList(const std::string& text) {
  const auto table = platform::ParseProxyList(text);
  const auto entries = platform::SplitString(text, ';');
  FUZZ_CHECK(table.size() <= entries.size());
  for (const auto& [scheme, address] : table) {
    FUZZ_CHECK(scheme.find('=') == std::string::npos && scheme.find(';') == std::string::npos);
    FUZZ_CHECK(address.find(';') == std::string::npos);
  }

  // Without a PAC URL the lookup is the table's: the scheme's entry, else the
  // one without a scheme; bypassed loopback hosts go direct.
  for (const char* bypass : {"", "<local>"}) {
    ProxyDetector d;
    d.proxies = table;
    d.proxy = text;
    d.proxyBypass = bypass;
    for (const char* url : {"https://update.corvane.com/api", "http://localhost:8080/x", "ftp://h",
                            "127.0.0.1", "http://user@host/"}) {
      const std::string proxy = d.GetProxyForUrl(url, nullptr);
      const std::string u = url;
      const bool loopback = u.find("localhost") != std::string::npos || u == "127.0.0.1";
      if (loopback && *bypass != '\0') {
        FUZZ_CHECK(proxy.empty());
      } else if (!proxy.empty()) {
        bool found = false;
        for (const auto& entry : table) found = found || entry.second == proxy;
        FUZZ_CHECK(found);
      }
    }
    FUZZ_CHECK(d.Describe().find('\n') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: CheckOverride(text); break;
    case 1: CheckParser(text, '#', false); break;
    case 2: CheckParser(text, ';', true); break;
    default: CheckProxyList(text); break;
  }
  return 0;
}
