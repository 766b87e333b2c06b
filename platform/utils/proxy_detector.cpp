#include "platform/utils/proxy_detector.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "platform/files.h"
#include "platform/shell.h"
#include "platform/utf.h"
#include "platform/winhttp.h"

namespace platform {
namespace {

constexpr const char* kOverrideFileSuffix = "\\Corvane\\CorvZyra\\ProxyAutoConfigUrl.txt";
constexpr const char* kSecretMask = "********";

void Write(std::ostream* log, const std::string& text) {
  if (log != nullptr) *log << text;
}

// UTF-8 to UTF-16 for a string handed to WinHTTP; malformed input throws.
std::u16string ToWide(const std::string& text) {
  std::u16string wide;
  if (!Utf8ToUtf16(text, wide)) throw std::range_error("bad conversion");
  return wide;
}

// A string from WinHTTP in UTF-8; absent or malformed gives empty.
std::string FromWide(const win::GlobalString& s) {
  if (!s) return {};
  std::string narrow;
  if (!Utf16ToUtf8(s.get(), narrow)) return {};
  return narrow;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string TrimLeft(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  return text.substr(i);
}

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (auto pos = text.find(what); pos != std::string::npos;
       pos = text.find(what, pos + with.size())) {
    text.replace(pos, what.size(), with);
  }
}

// The PAC URL as it may be shown. Line 1 of the override file is the PAC
// URL even when it is the "creds" line itself; the password in it, and the
// password anywhere else in it, is masked.
std::string ShownPacUrl(const std::string& url, const std::string& password) {
  std::string shown = url;
  const auto eq = shown.find('=');
  if (eq != std::string::npos && Trim(shown.substr(0, eq)) == "creds") {
    const auto colon = shown.find(':', eq + 1);
    if (colon != std::string::npos) shown = shown.substr(0, colon + 1) + kSecretMask;
  }
  ReplaceAll(shown, password, kSecretMask);
  return shown;
}

const char* SourceName(ProxySource source) {
  switch (source) {
    case ProxySource::None: return "None";
    case ProxySource::System: return "System";
    case ProxySource::User: return "User";
    case ProxySource::PAC: return "PAC";
    case ProxySource::CorvanePacFile: return "CorvanePacFile";
  }
  return "unknown";
}

const char* TargetName(ProxyTarget target) {
  switch (target) {
    case ProxyTarget::None: return "none";
    case ProxyTarget::Manual: return "manual";
    case ProxyTarget::Auto: return "auto";
  }
  return "unknown (combination?)";
}

// The process-wide WinHTTP session for PAC evaluation. Opened once and never
// closed: it lives until the process ends.
win::HINTERNET PacSession() {
  static std::once_flag once;
  static win::InternetHandle* session = nullptr;
  std::call_once(once, [] {
    win::HINTERNET h = win::WinHttpOpen(u"ProxyDetector", win::kWinhttpAccessTypeAutomaticProxy,
                                        nullptr, nullptr, 0);
    // Windows before 8.1 does not know the automatic access type; the
    // session's own access type plays no part in PAC evaluation.
    if (h == nullptr)
      h = win::WinHttpOpen(u"ProxyDetector", win::kWinhttpAccessTypeDefaultProxy, nullptr,
                           nullptr, 0);
    session = new win::InternetHandle(h);
  });
  return session->get();
}

}  // namespace

bool ProxyDetector::Detect(ProxyMode mode, std::ostream* log) {
  *this = ProxyDetector();
  std::ostream* discoveryLog = mode == ProxyMode::System ? log : nullptr;
  if (ReadOverrideFile(discoveryLog)) return true;
  if (DiscoverPacUrl(discoveryLog)) return true;

  if (mode == ProxyMode::System) {
    source = ProxySource::System;
    win::WinHttpProxyInfo info;
    if (!win::WinHttpGetDefaultProxyConfiguration(&info)) {
      Write(log, "System settings: GetLastError=" + std::to_string(win::GetLastError()));
      return false;
    }
    proxy = FromWide(info.lpszProxy);
    proxyBypass = FromWide(info.lpszProxyBypass);
    if (info.dwAccessType == win::kWinhttpAccessTypeNamedProxy) target = ProxyTarget::Manual;
    proxies = ParseProxyList(proxy);
    return true;
  }

  source = ProxySource::User;
  win::WinHttpCurrentUserIeProxyConfig config;
  if (!win::WinHttpGetIEProxyConfigForCurrentUser(&config)) {
    Write(log, "Browser settings: GetLastError=" + std::to_string(win::GetLastError()));
    return false;
  }
  autoConfigUrl = FromWide(config.lpszAutoConfigUrl);
  proxy = FromWide(config.lpszProxy);
  proxyBypass = FromWide(config.lpszProxyBypass);
  if (config.fAutoDetect != 0) target = ProxyTarget::Auto;
  proxies = ParseProxyList(proxy);
  return true;
}

bool ProxyDetector::ReadOverrideFile(std::ostream* log) {
  const std::string path = GetProgramDataPath(kOverrideFileSuffix, log);
  if (path.empty()) return false;

  std::string content;
  {
    win::FilePtr file = win::OpenFile(path, "r");
    if (!file) {
      Write(log, "PAC file: can't read " + path + "\n");
      if (win::GetFileAttributesA(path) != win::kInvalidFileAttributes)
        Write(log, "File exists but is not readable - are permissions sufficient?\n");
      return false;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) content.append(buf, n);
  }
  return ApplyOverrideContent(content, path, log);
}

bool ProxyDetector::ApplyOverrideContent(const std::string& content, const std::string& path,
                                         std::ostream* log) {
  KeyValueParser parser('#', false);
  const std::vector<std::string> errors = parser.Parse(content);
  if (!errors.empty()) {
    std::string text = "errors reading " + path;
    for (const std::string& e : errors) text += "\n" + e;
    Write(log, text);
    return false;
  }

  // The credentials first, so that the message below can keep the password
  // out of the log.
  const auto creds = parser.entries().find("creds");
  if (creds != parser.entries().end() && !creds->second.empty()) {
    hasCreds = true;
    user.clear();
    password.clear();
    const std::vector<std::string> pieces = SplitString(creds->second, ':');
    user = pieces[0];
    for (std::size_t i = 1; i < pieces.size(); ++i) {
      if (i > 1) password += ':';
      password += pieces[i];
    }
  }

  const std::string url = Trim(parser.firstLine());
  source = ProxySource::CorvanePacFile;
  if (!url.empty()) {
    autoConfigUrl = url;
    target = ProxyTarget::Auto;
    Write(log, "PAC file: use " + ShownPacUrl(url, password) + "\n");
  } else {
    target = ProxyTarget::None;
    Write(log, "PAC file: override to empty proxy\n");
  }
  return true;
}

bool ProxyDetector::DiscoverPacUrl(std::ostream* log) {
  static const struct {
    win::DWORD flag;
    const char* name;
  } kMethods[] = {
      {win::kWinhttpAutoDetectTypeDhcp, "DHCP"},
      {win::kWinhttpAutoDetectTypeDnsA, "DNS"},
  };
  for (const auto& method : kMethods) {
    win::GlobalString url;
    if (win::WinHttpDetectAutoProxyConfigUrl(method.flag, &url) && url) {
      autoConfigUrl = FromWide(url);
      target = ProxyTarget::Auto;
      source = ProxySource::PAC;
      Write(log, std::string("PAC autodiscovery: ") + method.name + " option -> " + autoConfigUrl +
                     "\n");
      return true;
    }
    static_cast<void>(win::GetLastError());  // the next method may still find one
  }
  Write(log, "PAC autodiscovery: not found\n");
  return false;
}

std::string ProxyDetector::GetProxyForUrl(const std::string& url, std::ostream* log,
                                          std::uint32_t* pacError) const {
  if (pacError != nullptr) *pacError = 0;
  if (!autoConfigUrl.empty()) return EvaluatePac(url, log, pacError);
  const auto sep = url.find("://");
  const std::string scheme = sep == std::string::npos ? std::string() : url.substr(0, sep);
  const std::string rest = scheme.empty() ? url : url.substr(sep + 3);
  std::string host = rest.substr(0, rest.find(':'));
  host = host.substr(0, host.find('/'));
  return GetProxyForHost(scheme, host, log);
}

std::string ProxyDetector::GetProxyForHost(const std::string& scheme, const std::string& host,
                                           std::ostream* /*log*/) const {
  if (IsBypassed(host)) return {};
  auto it = proxies.find(scheme);
  if (it != proxies.end() && !it->second.empty()) return it->second;
  it = proxies.find("");
  return it != proxies.end() ? it->second : std::string();
}

bool ProxyDetector::IsBypassed(const std::string& host) const {
  return (proxyBypass == "<local>" || proxyBypass == "<-loopback>") &&
         (host == "localhost" || host == "127.0.0.1");
}

std::string ProxyDetector::EvaluatePac(const std::string& url, std::ostream* log,
                                       std::uint32_t* pacError) const {
  const win::HINTERNET session = PacSession();

  const std::u16string wideConfigUrl = ToWide(autoConfigUrl);
  win::WinHttpAutoProxyOptions options;
  options.dwFlags = win::kWinhttpAutoproxyConfigUrl;
  options.dwAutoDetectFlags = 0;
  options.lpszAutoConfigUrl = wideConfigUrl.c_str();
  options.lpvReserved = nullptr;
  options.dwReserved = 0;
  options.fAutoLogonIfChallenged = 1;

  const std::u16string wideUrl = ToWide(url);
  std::string list;
  {
    win::WinHttpProxyInfo info;
    const bool ok = win::WinHttpGetProxyForUrl(session, wideUrl.c_str(), &options, &info) != 0;
    if (pacError != nullptr) *pacError = ok ? 0 : static_cast<std::uint32_t>(win::GetLastError());
    if (ok && info.lpszProxy) list = FromWide(info.lpszProxy);
  }

  const std::vector<std::string> entries = SplitString(list, ';');
  std::string chosen;
  if (entries.size() == 1) {
    chosen = entries[0];
  } else if (entries.size() > 1) {
    chosen = entries[static_cast<std::size_t>(std::rand()) % entries.size()];
  }
  chosen = Trim(chosen);

  if (chosen == "DIRECT") {
    Write(log, "DIRECT connection returned");
    return {};
  }
  if (entries.size() > 1)
    Write(log, "chosen random proxy " + chosen + " from " + list + " available");

  const std::vector<std::string> tokens = SplitString(chosen, ' ');
  if (tokens.empty()) return chosen;
  return tokens.back();
}

std::string ProxyDetector::Describe() const {
  std::string text;
  text += std::string("source = ") + SourceName(source);
  text += std::string("\ntarget = ") + TargetName(target);
  text += "\nautoConfigUrl = " + ShownPacUrl(autoConfigUrl, password);
  text += "\nproxyBypass = " + proxyBypass;
  text += "\nproxy = " + proxy;
  text += "\n";
  for (const auto& [scheme, address] : proxies) text += " " + scheme + "->" + address + "\n";
  if (hasCreds) text += "\ncreds for user=" + user + "\n";
  ReplaceAll(text, "\n", ";");
  return text;
}

std::string ProxyDetector::DescribeAll() {
  std::string result;
  for (ProxyMode mode : {ProxyMode::System, ProxyMode::Browser}) {
    ProxyDetector detector;
    std::ostringstream log;
    static_cast<void>(detector.Detect(mode, &log));
    result += log.str();
    result += detector.Describe();
    result += "\n";
  }
  return result;
}

std::vector<std::string> KeyValueParser::Parse(const std::string& text) {
  std::vector<std::string> errors;
  const std::vector<std::string> lines = SplitString(text, '\n');
  if (lines.empty()) return errors;
  firstLine_ = lines[0];
  for (std::size_t i = skipFirstLine_ ? 1 : 0; i < lines.size(); ++i) {
    const std::string line = TrimLeft(lines[i]);
    if (line.empty() || line[0] == commentChar_) continue;
    const auto eq = line.find('=');
    if (eq == 0) {
      errors.push_back("empty key name in " + line);
      continue;
    }
    std::string key = line;
    std::string value;
    if (eq != std::string::npos) {
      key = line.substr(0, eq);
      value = line.substr(eq + 1);
    }
    entries_[Trim(key)] = value;
  }
  return errors;
}

std::map<std::string, std::string> ParseProxyList(const std::string& text) {
  std::map<std::string, std::string> table;
  for (const std::string& entry : SplitString(text, ';')) {
    const auto eq = entry.find('=');
    if (eq == std::string::npos) {
      table[""] = entry;
    } else {
      table[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  return table;
}

std::string GetProgramDataPath(const std::string& suffix, std::ostream* log) {
  std::string folder;
  if (win::SHGetFolderPathA(win::kCsidlCommonAppData, folder) != win::kSOk) {
    Write(log, "Proxy settings: can't get ProgramData\n");
    return {};
  }
  return folder + suffix;
}

std::vector<std::string> SplitString(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find(delimiter, start);
    if (end == std::string::npos) {
      pieces.push_back(text.substr(start));
      break;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace platform
