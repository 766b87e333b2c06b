#pragma once
// Proxy discovery: which HTTP proxy, if any, a download goes through.
//
// Sources, first match wins: the administrator's override file
// "ProxyAutoConfigUrl.txt" in the machine's data folder, PAC URL discovery
// by DHCP and then DNS, and the Windows proxy settings (the WinHTTP machine
// default in System mode, the current user's browser settings in Browser
// mode). A known PAC URL makes WinHTTP run the PAC script for every URL;
// otherwise a per-scheme table built from the proxy list answers.
//
// Diagnostics go to an optional text stream: null means no log.
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace platform {

// Where the configuration came from.
enum class ProxySource : std::int32_t {
  None = 0,
  System = 1,
  User = 2,
  PAC = 3,
  CorvanePacFile = 4,
};

// What kind of configuration was found.
enum class ProxyTarget : std::int32_t {
  None = 0,
  Manual = 1,
  Auto = 2,
};

// The Windows settings consulted after the override file and discovery.
enum class ProxyMode : std::int32_t {
  System = 0,   // the WinHTTP machine default
  Browser = 1,  // the current user's browser settings
};

class ProxyDetector {
 public:
  std::string user;      // from the override file's "creds"
  std::string password;  // from the same entry; never described or logged
  bool hasCreds = false;
  ProxyTarget target = ProxyTarget::None;
  ProxySource source = ProxySource::None;
  std::string autoConfigUrl;  // non-empty: the PAC script answers for every URL
  std::map<std::string, std::string> proxies;  // scheme -> host:port; "" for any scheme
  std::string proxy;        // the proxy list as Windows gave it
  std::string proxyBypass;  // the bypass list as Windows gave it

  // Runs one detection from the reset state. False only when the Windows
  // settings could not be read; false means no proxy.
  [[nodiscard]] bool Detect(ProxyMode mode, std::ostream* log);

  // The proxy for url (normally host:port), empty for a direct connection.
  // Call after a Detect that returned true. Throws std::range_error when url
  // or the PAC URL handed to WinHTTP is not valid UTF-8. pacError, when
  // given, receives WinHTTP's error code of a PAC evaluation that failed
  // (and so answered direct), 0 otherwise.
  [[nodiscard]] std::string GetProxyForUrl(const std::string& url, std::ostream* log,
                                           std::uint32_t* pacError = nullptr) const;

  // One line: source, target, PAC URL, bypass list, proxy list, per-scheme
  // proxies and the user name of the override credentials.
  [[nodiscard]] std::string Describe() const;

  // A System and then a Browser detection: each one's log and description.
  [[nodiscard]] static std::string DescribeAll();

  // The building blocks of Detect and GetProxyForUrl.
  [[nodiscard]] bool ReadOverrideFile(std::ostream* log);
  // The override file's content read from path: PAC URL, "creds" and the
  // messages of ReadOverrideFile. False when the content has errors.
  [[nodiscard]] bool ApplyOverrideContent(const std::string& content, const std::string& path,
                                          std::ostream* log);
  [[nodiscard]] bool DiscoverPacUrl(std::ostream* log);
  [[nodiscard]] std::string EvaluatePac(const std::string& url, std::ostream* log,
                                        std::uint32_t* pacError = nullptr) const;
  [[nodiscard]] std::string GetProxyForHost(const std::string& scheme, const std::string& host,
                                            std::ostream* log) const;
  [[nodiscard]] bool IsBypassed(const std::string& host) const;
};

// Parser of the override file's "key=value" lines. Blank lines and lines
// whose first non-blank character is the comment character are skipped.
class KeyValueParser {
 public:
  explicit KeyValueParser(char commentChar = '#', bool skipFirstLine = false)
      : commentChar_(commentChar), skipFirstLine_(skipFirstLine) {}

  // Parses text (lines separated by LF); returns the errors in line order.
  [[nodiscard]] std::vector<std::string> Parse(const std::string& text);

  [[nodiscard]] const std::string& firstLine() const { return firstLine_; }
  [[nodiscard]] const std::map<std::string, std::string>& entries() const { return entries_; }

 private:
  char commentChar_;
  std::string firstLine_;
  bool skipFirstLine_;
  std::map<std::string, std::string> entries_;
};

// Per-scheme table of a proxy list "http=a:80;https=b:443" or "a:8080".
[[nodiscard]] std::map<std::string, std::string> ParseProxyList(const std::string& text);

// The machine-wide application-data folder followed by suffix, or empty.
[[nodiscard]] std::string GetProgramDataPath(const std::string& suffix, std::ostream* log);

// The pieces between delimiters: empty pieces between delimiters and before
// a leading one are kept, a trailing delimiter adds none.
[[nodiscard]] std::vector<std::string> SplitString(const std::string& text, char delimiter);

// text without leading and trailing blanks (space, \t, \n, \v, \f, \r).
[[nodiscard]] std::string Trim(const std::string& text);

}  // namespace platform
