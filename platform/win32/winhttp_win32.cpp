// WinHTTP proxy calls of winhttp.dll, GlobalFree and GetFileAttributesA.
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "platform/winhttp.h"

namespace platform::win {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected on Windows");

const wchar_t* Wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
char16_t* Adopt(LPWSTR s) { return reinterpret_cast<char16_t*>(s); }
::HINTERNET Native(HINTERNET h) { return reinterpret_cast<::HINTERNET>(h); }

}  // namespace

void* GlobalFree(void* mem) { return ::GlobalFree(static_cast<HGLOBAL>(mem)); }

HINTERNET WinHttpOpen(const char16_t* agent, DWORD accessType, const char16_t* proxyName,
                      const char16_t* proxyBypass, DWORD flags) {
  return reinterpret_cast<HINTERNET>(
      ::WinHttpOpen(Wide(agent), accessType, Wide(proxyName), Wide(proxyBypass), flags));
}

BOOL WinHttpCloseHandle(HINTERNET handle) { return ::WinHttpCloseHandle(Native(handle)); }

BOOL WinHttpGetProxyForUrl(HINTERNET session, const char16_t* url,
                           const WinHttpAutoProxyOptions* options, WinHttpProxyInfo* proxyInfo) {
  if (options == nullptr || proxyInfo == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WINHTTP_AUTOPROXY_OPTIONS native{};
  native.dwFlags = options->dwFlags;
  native.dwAutoDetectFlags = options->dwAutoDetectFlags;
  native.lpszAutoConfigUrl = Wide(options->lpszAutoConfigUrl);
  native.lpvReserved = options->lpvReserved;
  native.dwReserved = options->dwReserved;
  native.fAutoLogonIfChallenged = options->fAutoLogonIfChallenged;
  WINHTTP_PROXY_INFO info{};
  const ::BOOL ok = ::WinHttpGetProxyForUrl(Native(session), Wide(url), &native, &info);
  const ::DWORD error = ::GetLastError();
  // Whatever WinHTTP handed out is owned from here on, even on failure.
  proxyInfo->dwAccessType = info.dwAccessType;
  proxyInfo->lpszProxy.reset(Adopt(info.lpszProxy));
  proxyInfo->lpszProxyBypass.reset(Adopt(info.lpszProxyBypass));
  ::SetLastError(error);
  return ok;
}

BOOL WinHttpDetectAutoProxyConfigUrl(DWORD autoDetectFlags, GlobalString* url) {
  if (url == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  LPWSTR found = nullptr;
  const ::BOOL ok = ::WinHttpDetectAutoProxyConfigUrl(autoDetectFlags, &found);
  const ::DWORD error = ::GetLastError();
  url->reset(Adopt(found));
  ::SetLastError(error);
  return ok;
}

BOOL WinHttpGetDefaultProxyConfiguration(WinHttpProxyInfo* proxyInfo) {
  if (proxyInfo == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WINHTTP_PROXY_INFO info{};
  const ::BOOL ok = ::WinHttpGetDefaultProxyConfiguration(&info);
  const ::DWORD error = ::GetLastError();
  proxyInfo->dwAccessType = info.dwAccessType;
  proxyInfo->lpszProxy.reset(Adopt(info.lpszProxy));
  proxyInfo->lpszProxyBypass.reset(Adopt(info.lpszProxyBypass));
  ::SetLastError(error);
  return ok;
}

BOOL WinHttpGetIEProxyConfigForCurrentUser(WinHttpCurrentUserIeProxyConfig* config) {
  if (config == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
  const ::BOOL ok = ::WinHttpGetIEProxyConfigForCurrentUser(&ie);
  const ::DWORD error = ::GetLastError();
  config->fAutoDetect = ie.fAutoDetect;
  config->lpszAutoConfigUrl.reset(Adopt(ie.lpszAutoConfigUrl));
  config->lpszProxy.reset(Adopt(ie.lpszProxy));
  config->lpszProxyBypass.reset(Adopt(ie.lpszProxyBypass));
  ::SetLastError(error);
  return ok;
}

DWORD GetFileAttributesA(const std::string& path) { return ::GetFileAttributesA(path.c_str()); }

}  // namespace platform::win
