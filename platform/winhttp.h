#pragma once
// WinHTTP proxy facade: the proxy configuration calls of winhttp.dll with the
// results and error codes they give, strings in UTF-16 (char16_t). Strings
// WinHTTP hands out are owned by GlobalString, which releases them with
// GlobalFree. GetFileAttributesA is here for the proxy override file.
#include <string>

#include "platform/scoped_generic.h"
#include "platform/win_types.h"

namespace platform::win {

struct InternetTag;
using HINTERNET = InternetTag*;

// Access types (WINHTTP_ACCESS_TYPE_*).
constexpr DWORD kWinhttpAccessTypeDefaultProxy = 0;
constexpr DWORD kWinhttpAccessTypeNoProxy = 1;
constexpr DWORD kWinhttpAccessTypeNamedProxy = 3;
constexpr DWORD kWinhttpAccessTypeAutomaticProxy = 4;

// WINHTTP_AUTOPROXY_OPTIONS.dwFlags.
constexpr DWORD kWinhttpAutoproxyAutoDetect = 0x1;
constexpr DWORD kWinhttpAutoproxyConfigUrl = 0x2;

// Discovery methods (WINHTTP_AUTO_DETECT_TYPE_*).
constexpr DWORD kWinhttpAutoDetectTypeDhcp = 0x1;
constexpr DWORD kWinhttpAutoDetectTypeDnsA = 0x2;

// Error codes the proxy calls report through GetLastError.
constexpr DWORD kErrorInvalidData = 13;
constexpr DWORD kErrorWinhttpTimeout = 12002;
constexpr DWORD kErrorWinhttpInvalidUrl = 12005;
constexpr DWORD kErrorWinhttpUnrecognizedScheme = 12006;
constexpr DWORD kErrorWinhttpBadAutoProxyScript = 12166;
constexpr DWORD kErrorWinhttpUnableToDownloadScript = 12167;
constexpr DWORD kErrorWinhttpAutodetectionFailed = 12180;

constexpr DWORD kInvalidFileAttributes = 0xFFFFFFFF;

// GlobalFree: null on success, the block itself on failure.
void* GlobalFree(void* mem);

// A null-terminated UTF-16 string handed out by WinHTTP; GlobalFree'd once,
// when the owner goes.
struct GlobalStringTraits {
  static constexpr char16_t* InvalidValue() noexcept { return nullptr; }
  static void Free(char16_t* s) noexcept { GlobalFree(s); }
};
using GlobalString = ScopedGeneric<char16_t*, GlobalStringTraits>;

// WINHTTP_AUTOPROXY_OPTIONS.
struct WinHttpAutoProxyOptions {
  DWORD dwFlags = 0;
  DWORD dwAutoDetectFlags = 0;
  const char16_t* lpszAutoConfigUrl = nullptr;
  void* lpvReserved = nullptr;
  DWORD dwReserved = 0;
  BOOL fAutoLogonIfChallenged = 0;
};

// WINHTTP_PROXY_INFO.
struct WinHttpProxyInfo {
  DWORD dwAccessType = 0;
  GlobalString lpszProxy;
  GlobalString lpszProxyBypass;
};

// WINHTTP_CURRENT_USER_IE_PROXY_CONFIG.
struct WinHttpCurrentUserIeProxyConfig {
  BOOL fAutoDetect = 0;
  GlobalString lpszAutoConfigUrl;
  GlobalString lpszProxy;
  GlobalString lpszProxyBypass;
};

// WinHttpOpen(agent, access type, proxy name, bypass list, flags): a session
// handle, or null with the last error set.
[[nodiscard]] HINTERNET WinHttpOpen(const char16_t* agent, DWORD accessType,
                                    const char16_t* proxyName, const char16_t* proxyBypass,
                                    DWORD flags);
BOOL WinHttpCloseHandle(HINTERNET handle);

// Owns a WinHTTP handle; closing it is WinHttpCloseHandle.
struct InternetHandleTraits {
  static constexpr HINTERNET InvalidValue() noexcept { return nullptr; }
  static void Free(HINTERNET h) noexcept { WinHttpCloseHandle(h); }
};
using InternetHandle = ScopedGeneric<HINTERNET, InternetHandleTraits>;

// WinHttpGetProxyForUrl(session, url, options, result): runs the PAC script
// for url. On failure returns FALSE with the last error set (12167 script not
// downloadable, 12166 script error, 12180 nothing discovered, ...).
[[nodiscard]] BOOL WinHttpGetProxyForUrl(HINTERNET session, const char16_t* url,
                                         const WinHttpAutoProxyOptions* options,
                                         WinHttpProxyInfo* proxyInfo);

// WinHttpDetectAutoProxyConfigUrl(method, url): the PAC URL found by DHCP or
// DNS; FALSE with error 12180 when the method finds none.
[[nodiscard]] BOOL WinHttpDetectAutoProxyConfigUrl(DWORD autoDetectFlags, GlobalString* url);

// WinHttpGetDefaultProxyConfiguration: the machine's WinHTTP default.
[[nodiscard]] BOOL WinHttpGetDefaultProxyConfiguration(WinHttpProxyInfo* proxyInfo);

// WinHttpGetIEProxyConfigForCurrentUser: the current user's browser settings.
[[nodiscard]] BOOL WinHttpGetIEProxyConfigForCurrentUser(WinHttpCurrentUserIeProxyConfig* config);

// GetFileAttributesA: kInvalidFileAttributes (last error set) when the path
// names nothing.
[[nodiscard]] DWORD GetFileAttributesA(const std::string& path);

}  // namespace platform::win
