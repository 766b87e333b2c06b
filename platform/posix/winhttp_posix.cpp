// Emulated WinHTTP proxy calls. The machine's proxy settings live in the
// emulated registry, DHCP and DNS discovery answer from the machine's
// network settings there, and PAC scripts run in a real JavaScript engine
// (docs/emulated-machine.md, "Proxy settings").
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/machine.h"
#include "platform/posix/pac_engine.h"
#include "platform/posix/url_fetch.h"
#include "platform/registry.h"
#include "platform/utf.h"
#include "platform/winhttp.h"

namespace platform::win {

struct InternetTag {
  std::string agent;
};

namespace {

using posix::SetLastError;

constexpr const char16_t* kUserSettingsKey =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const char16_t* kMachineSettingsKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr const char16_t* kTcpipKey = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// A WPAD probe must not hold up a detection for long.
constexpr posix::FetchLimits kWpadProbeLimits{2000, 5000, 4 * 1024 * 1024};
constexpr posix::FetchLimits kScriptLimits{5000, 15000, 4 * 1024 * 1024};

// A string for a GlobalString, allocated the way GlobalFree releases it.
char16_t* GlobalCopy(const std::u16string& s) {
  auto* p = static_cast<char16_t*>(std::malloc((s.size() + 1) * sizeof(char16_t)));
  if (p == nullptr) return nullptr;
  std::memcpy(p, s.data(), s.size() * sizeof(char16_t));
  p[s.size()] = u'\0';
  return p;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

enum class Value { Absent, Present, WrongType };

// Reads the values of one key of the emulated registry.
class Key {
 public:
  Key(HKEY root, const char16_t* path, DWORD sam) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, path, 0, sam, &opened) == 0) key_.reset(opened);
  }

  // REG_SZ or REG_EXPAND_SZ text, up to its first null character.
  Value String(const char16_t* name, std::u16string& out) const {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    if (!Query(name, type, data)) return Value::Absent;
    if (type != kRegSz && type != kRegExpandSz) return Value::WrongType;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
      const auto u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
      if (u == u'\0') break;
      text += u;
    }
    out = text;
    return Value::Present;
  }

  Value Dword(const char16_t* name, DWORD& out) const {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    if (!Query(name, type, data)) return Value::Absent;
    if (type != kRegDword || data.size() != 4) return Value::WrongType;
    out = static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) |
          (static_cast<DWORD>(data[2]) << 16) | (static_cast<DWORD>(data[3]) << 24);
    return Value::Present;
  }

 private:
  bool Query(const char16_t* name, DWORD& type, std::vector<std::uint8_t>& data) const {
    if (!key_) return false;
    DWORD size = 0;
    if (RegQueryValueExW(key_.get(), name, &type, nullptr, &size) != 0) return false;
    data.resize(size);
    if (size == 0) return true;
    return RegQueryValueExW(key_.get(), name, &type, data.data(), &size) == 0;
  }

  ScopedKey key_;
};

// The PAC URL DHCP option 252 hands out on this machine, or empty.
std::u16string DhcpWpadUrl() {
  const Key tcpip(HkeyLocalMachine(), kTcpipKey, kKeyRead | kKeyWow64_64Key);
  std::u16string url;
  if (tcpip.String(u"DhcpWpadUrl", url) != Value::Present) return {};
  return url;
}

bool IsDomainName(const std::string& d) {
  if (d.empty() || d.front() == '.' || d.back() == '.') return false;
  for (char c : d) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
  }
  return d.find("..") == std::string::npos;
}

// WPAD by DNS: http://wpad.<suffix>/wpad.dat for the machine's primary DNS
// suffix and its parents down to two labels; the first that serves a
// script is the answer.
std::u16string DnsWpadUrl(const std::string& agent) {
  const Key tcpip(HkeyLocalMachine(), kTcpipKey, kKeyRead | kKeyWow64_64Key);
  std::u16string wideDomain;
  if (tcpip.String(u"Domain", wideDomain) != Value::Present) return {};
  std::string domain;
  if (!Utf16ToUtf8(wideDomain, domain)) return {};
  domain = Lower(domain);
  if (!IsDomainName(domain)) return {};
  std::string suffix = domain;
  for (;;) {
    const std::string url = "http://wpad." + suffix + "/wpad.dat";
    std::string body;
    if (posix::FetchUrl(url, agent, kWpadProbeLimits, body)) return ToUtf16(url);
    const auto dot = suffix.find('.');
    if (dot == std::string::npos) break;
    const std::string parent = suffix.substr(dot + 1);
    if (parent.find('.') == std::string::npos) break;  // stop at two labels
    suffix = parent;
  }
  return {};
}

std::u16string Discover(DWORD autoDetectFlags, const std::string& agent) {
  if ((autoDetectFlags & kWinhttpAutoDetectTypeDhcp) != 0) {
    std::u16string url = DhcpWpadUrl();
    if (!url.empty()) return url;
  }
  if ((autoDetectFlags & kWinhttpAutoDetectTypeDnsA) != 0) return DnsWpadUrl(agent);
  return {};
}

// The host FindProxyForURL receives for a target URL, as WinHTTP cracks it:
// http and https only, user information and port removed, lower case.
DWORD HostOfTarget(const std::string& url, std::string& host) {
  const auto sep = url.find("://");
  if (sep == std::string::npos) return kErrorWinhttpUnrecognizedScheme;
  const std::string scheme = Lower(url.substr(0, sep));
  if (scheme != "http" && scheme != "https") return kErrorWinhttpUnrecognizedScheme;
  std::string authority = url.substr(sep + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const auto at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) return kErrorWinhttpInvalidUrl;
    host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return kErrorWinhttpInvalidUrl;
      port = after.substr(1);
    }
  } else {
    const auto colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return kErrorWinhttpInvalidUrl;
  }
  if (host.empty()) return kErrorWinhttpInvalidUrl;
  for (char ch : host) {
    const auto c = static_cast<unsigned char>(ch);
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != '~' && c != '%' && c != ':')
      return kErrorWinhttpInvalidUrl;
  }
  host = Lower(host);
  return kErrorSuccess;
}

// True for a PAC URL WinHTTP fetches: http or https only.
bool IsScriptScheme(const std::string& url) {
  const auto sep = url.find("://");
  if (sep == std::string::npos) return false;
  const std::string scheme = Lower(url.substr(0, sep));
  return scheme == "http" || scheme == "https";
}

std::string TrimBlanks(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

// The proxy list WinHTTP makes of FindProxyForURL's answer: the host:port of
// each "PROXY host:port" entry, in order, joined with ";", up to the first
// DIRECT entry; entries of other kinds (SOCKS, malformed) are left out. An
// empty list means a direct connection.
std::string ProxyListOfAnswer(const std::string& answer) {
  std::string list;
  std::size_t pos = 0;
  while (pos <= answer.size()) {
    const auto semi = answer.find(';', pos);
    const std::string entry =
        TrimBlanks(answer.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos));
    pos = semi == std::string::npos ? answer.size() + 1 : semi + 1;
    if (entry.empty()) continue;
    const auto blank = entry.find_first_of(" \t");
    const std::string word = Lower(entry.substr(0, blank));
    if (word == "direct" && blank == std::string::npos) break;
    if (word != "proxy" || blank == std::string::npos) continue;
    const std::string server = TrimBlanks(entry.substr(blank));
    if (server.empty() || server.find_first_of(" \t") != std::string::npos) continue;
    if (!list.empty()) list += ';';
    list += server;
  }
  return list;
}

}  // namespace

void* GlobalFree(void* mem) {
  std::free(mem);
  return nullptr;
}

HINTERNET WinHttpOpen(const char16_t* agent, DWORD accessType, const char16_t* proxyName,
                      const char16_t* /*proxyBypass*/, DWORD /*flags*/) {
  const bool known = accessType == kWinhttpAccessTypeDefaultProxy ||
                     accessType == kWinhttpAccessTypeNoProxy ||
                     accessType == kWinhttpAccessTypeNamedProxy ||
                     accessType == kWinhttpAccessTypeAutomaticProxy;
  if (!known || (accessType == kWinhttpAccessTypeNamedProxy && proxyName == nullptr)) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto* session = new InternetTag;
  if (agent != nullptr) session->agent = ToUtf8(agent);
  SetLastError(kErrorSuccess);
  return session;
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
  if (handle == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  delete handle;
  return 1;
}

BOOL WinHttpGetProxyForUrl(HINTERNET session, const char16_t* url,
                           const WinHttpAutoProxyOptions* options, WinHttpProxyInfo* proxyInfo) {
  if (session == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (url == nullptr || options == nullptr || proxyInfo == nullptr ||
      options->lpvReserved != nullptr || options->dwReserved != 0 ||
      (options->dwFlags & (kWinhttpAutoproxyAutoDetect | kWinhttpAutoproxyConfigUrl)) == 0 ||
      ((options->dwFlags & kWinhttpAutoproxyConfigUrl) != 0 &&
       options->lpszAutoConfigUrl == nullptr)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::string target;
  std::string host;
  if (!Utf16ToUtf8(url, target)) {
    SetLastError(kErrorWinhttpInvalidUrl);
    return 0;
  }
  if (const DWORD error = HostOfTarget(target, host); error != kErrorSuccess) {
    SetLastError(error);
    return 0;
  }
  // Discovery first when asked for, then the configured script.
  std::u16string scriptUrl;
  if ((options->dwFlags & kWinhttpAutoproxyAutoDetect) != 0)
    scriptUrl = Discover(options->dwAutoDetectFlags, session->agent);
  if (scriptUrl.empty() && (options->dwFlags & kWinhttpAutoproxyConfigUrl) != 0)
    scriptUrl = options->lpszAutoConfigUrl;
  if (scriptUrl.empty()) {
    SetLastError(kErrorWinhttpAutodetectionFailed);
    return 0;
  }
  std::string narrowScriptUrl;
  if (!Utf16ToUtf8(scriptUrl, narrowScriptUrl) || !IsScriptScheme(narrowScriptUrl)) {
    SetLastError(kErrorWinhttpUnrecognizedScheme);
    return 0;
  }
  std::string script;
  if (!posix::FetchUrl(narrowScriptUrl, session->agent, kScriptLimits, script)) {
    SetLastError(kErrorWinhttpUnableToDownloadScript);
    return 0;
  }
  std::string answer;
  switch (posix::RunPacScript(script, target, host, answer)) {
    case posix::PacResult::Answered: break;
    case posix::PacResult::TimedOut: SetLastError(kErrorWinhttpTimeout); return 0;
    case posix::PacResult::Failed: SetLastError(kErrorWinhttpBadAutoProxyScript); return 0;
  }
  const std::string list = ProxyListOfAnswer(answer);
  if (list.empty()) {
    proxyInfo->dwAccessType = kWinhttpAccessTypeNoProxy;
    proxyInfo->lpszProxy.reset();
  } else {
    proxyInfo->dwAccessType = kWinhttpAccessTypeNamedProxy;
    proxyInfo->lpszProxy.reset(GlobalCopy(ToUtf16(list)));
  }
  proxyInfo->lpszProxyBypass.reset();
  SetLastError(kErrorSuccess);
  return 1;
}

BOOL WinHttpDetectAutoProxyConfigUrl(DWORD autoDetectFlags, GlobalString* url) {
  if (url == nullptr ||
      (autoDetectFlags & ~(kWinhttpAutoDetectTypeDhcp | kWinhttpAutoDetectTypeDnsA)) != 0 ||
      autoDetectFlags == 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  const std::u16string found = Discover(autoDetectFlags, "WinHttp-Autoproxy-Service");
  if (found.empty()) {
    SetLastError(kErrorWinhttpAutodetectionFailed);
    return 0;
  }
  url->reset(GlobalCopy(found));
  SetLastError(kErrorSuccess);
  return 1;
}

BOOL WinHttpGetDefaultProxyConfiguration(WinHttpProxyInfo* proxyInfo) {
  if (proxyInfo == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  const Key connections(HkeyLocalMachine(), kMachineSettingsKey, kKeyRead | kKeyWow64_64Key);
  std::u16string server;
  std::u16string bypass;
  const Value s = connections.String(u"WinHttpProxyServer", server);
  const Value b = connections.String(u"WinHttpProxyBypass", bypass);
  if (s == Value::WrongType || b == Value::WrongType) {
    SetLastError(kErrorInvalidData);
    return 0;
  }
  if (server.empty()) {
    proxyInfo->dwAccessType = kWinhttpAccessTypeNoProxy;
    proxyInfo->lpszProxy.reset();
    proxyInfo->lpszProxyBypass.reset();
  } else {
    proxyInfo->dwAccessType = kWinhttpAccessTypeNamedProxy;
    proxyInfo->lpszProxy.reset(GlobalCopy(server));
    proxyInfo->lpszProxyBypass.reset(bypass.empty() ? nullptr : GlobalCopy(bypass));
  }
  SetLastError(kErrorSuccess);
  return 1;
}

BOOL WinHttpGetIEProxyConfigForCurrentUser(WinHttpCurrentUserIeProxyConfig* config) {
  if (config == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  const Key settings(HkeyCurrentUser(), kUserSettingsKey, kKeyRead);
  DWORD enable = 0;
  DWORD autoDetect = 0;
  std::u16string server;
  std::u16string bypass;
  std::u16string pacUrl;
  const Value values[] = {
      settings.Dword(u"ProxyEnable", enable),
      settings.Dword(u"AutoDetect", autoDetect),
      settings.String(u"ProxyServer", server),
      settings.String(u"ProxyOverride", bypass),
      settings.String(u"AutoConfigURL", pacUrl),
  };
  for (Value v : values) {
    if (v == Value::WrongType) {
      SetLastError(kErrorInvalidData);
      return 0;
    }
  }
  config->fAutoDetect = autoDetect != 0 ? 1 : 0;
  config->lpszAutoConfigUrl.reset(pacUrl.empty() ? nullptr : GlobalCopy(pacUrl));
  const bool manual = enable != 0;
  config->lpszProxy.reset(manual && !server.empty() ? GlobalCopy(server) : nullptr);
  config->lpszProxyBypass.reset(manual && !bypass.empty() ? GlobalCopy(bypass) : nullptr);
  SetLastError(kErrorSuccess);
  return 1;
}

DWORD GetFileAttributesA(const std::string& path) {
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(path, host, err)) {
    SetLastError(err);
    return kInvalidFileAttributes;
  }
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0) {
    const int e = errno;
    if (e == ENOENT) {
      const auto slash = host.find_last_of('/');
      const std::string parent = slash == std::string::npos ? "." : host.substr(0, slash);
      SetLastError(posix::IsHostDirectory(parent.empty() ? "/" : parent) ? kErrorFileNotFound
                                                                          : kErrorPathNotFound);
    } else {
      SetLastError(posix::ErrnoToWin32(e));
    }
    return kInvalidFileAttributes;
  }
  // The attributes of the entry itself: a symbolic link (a reparse point
  // on Windows) is reported as one, with the directory bit of its target.
  struct stat lst {};
  const DWORD reparse =
      ::lstat(host.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) ? kFileAttributeReparsePoint : 0;
  if (S_ISDIR(st.st_mode)) {
    SetLastError(kErrorSuccess);
    return kFileAttributeDirectory | reparse;
  }
  DWORD attributes = kFileAttributeArchive | reparse;
  if (posix::HasReadOnlyAttribute(host)) attributes |= kFileAttributeReadonly;
  SetLastError(kErrorSuccess);
  return attributes;
}

}  // namespace platform::win
