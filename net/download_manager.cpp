#include "net/download_manager.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include "app/file_helpers.h"
#include "logging/escape.h"
#include "logging/logger.h"
#include "net/signature.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/utils/proxy_detector.h"
#include "platform/tls.h"
#include "platform/winhttp.h"

namespace net {
namespace {

constexpr std::size_t kFileBufferSize = 1024 * 1024;
// Redirections followed per attempt (libcurl's own limit since 8.3), so a
// redirect loop fails its attempt instead of holding it until the transfer
// limit.
constexpr long kMaxRedirects = 30;

std::size_t WriteToFile(char* data, std::size_t size, std::size_t count, void* file) {
  return std::fwrite(data, size, count, static_cast<std::FILE*>(file)) * size;
}

// The status of an attempt: the server's response code, or, when no server
// response arrived because the proxy refused the tunnel (an HTTPS transfer
// through a proxy answers its CONNECT first), the proxy's code for the
// CONNECT. A tunnel that was set up and then failed has no status.
long ResponseStatus(CURL* handle) {
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 0) return status;
  long connect = 0;
  curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connect);
  return connect >= 300 ? connect : 0;
}

const char* DebugMarker(curl_infotype type) {
  static const char* const kDebugMarkers[] = {"*", "<", ">", "<", ">", "<", ">", "}"};
  const auto i = static_cast<int>(type);
  return i >= 0 && i < 8 ? kDebugMarkers[i] : "?";
}

// Request headers as the trace shows them: the value of an Authorization or
// Proxy-Authorization header (the proxy password, base64-encoded) is masked
// after its scheme word.
std::string MaskCredentialHeaders(std::string text) {
  static const char* const kNames[] = {"proxy-authorization:", "authorization:"};
  std::size_t lineStart = 0;
  while (lineStart < text.size()) {
    std::size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    for (const char* name : kNames) {
      const std::size_t n = std::strlen(name);
      if (lineEnd - lineStart < n) continue;
      bool match = true;
      for (std::size_t i = 0; i < n && match; ++i) {
        match = std::tolower(static_cast<unsigned char>(text[lineStart + i])) == name[i];
      }
      if (!match) continue;
      std::size_t value = lineStart + n;
      while (value < lineEnd && text[value] == ' ') ++value;
      const std::size_t scheme = text.find(' ', value);
      if (scheme != std::string::npos && scheme < lineEnd) value = scheme + 1;
      std::size_t valueEnd = lineEnd;
      if (valueEnd > value && text[valueEnd - 1] == '\r') --valueEnd;
      text.replace(value, valueEnd - value, "********");
      lineEnd = text.find('\n', lineStart);
      if (lineEnd == std::string::npos) lineEnd = text.size();
      break;
    }
    lineStart = lineEnd + 1;
  }
  return text;
}

// Scheme, host and port of a URL (the port libcurl would use when none is
// given), as libcurl's URL parser reads them; false when it cannot.
struct Origin {
  std::string scheme;
  std::string host;
  std::string port;
};

bool OriginOf(const std::string& url, Origin& origin) {
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return false;
  bool ok = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  const std::pair<CURLUPart, std::string*> parts[] = {{CURLUPART_SCHEME, &origin.scheme},
                                                      {CURLUPART_HOST, &origin.host},
                                                      {CURLUPART_PORT, &origin.port}};
  for (const auto& [part, out] : parts) {
    char* text = nullptr;
    ok = ok && curl_url_get(parsed, part, &text, CURLU_DEFAULT_PORT) == CURLUE_OK;
    if (text != nullptr) {
      *out = text;
      curl_free(text);
    }
  }
  curl_url_cleanup(parsed);
  for (char& c : origin.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : origin.host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ok;
}

// The custom headers (the API key) go to the origin of the URL the transfer
// was given, never to another one a redirect names.
bool SameOrigin(const std::string& a, const std::string& b) {
  Origin x;
  Origin y;
  return OriginOf(a, x) && OriginOf(b, y) && x.scheme == y.scheme && x.host == y.host &&
         x.port == y.port;
}

// Why a redirect from the transfer's URL to target is not followed, or null:
// only http: and https: are fetched, and a transfer that starts on https:
// stays on it.
const char* RedirectRefusal(const std::string& url, const std::string& target) {
  Origin from;
  Origin to;
  if (!OriginOf(target, to)) return "it is not a URL that can be fetched";
  if (to.scheme != "http" && to.scheme != "https") return "only http: and https: URLs are fetched";
  if (OriginOf(url, from) && from.scheme == "https" && to.scheme != "https")
    return "a transfer that starts on https: is not taken off it";
  return nullptr;
}

float Percent(curl_off_t now, curl_off_t total) {
  if (total != 0) return static_cast<float>((static_cast<std::int64_t>(now) * 100) / total);
  return now != 0 ? 30.0f : 0.0f;
}

}  // namespace

std::size_t AppendToBody(char* data, std::size_t size, std::size_t count, void* body) {
  const std::size_t n = size * count;
  try {
    auto* buffer = static_cast<std::vector<char>*>(body);
    buffer->insert(buffer->end(), data, data + n);
  } catch (const std::exception&) {
    // A body that cannot be held (no memory left for it): a short count
    // makes libcurl end this attempt with a write error.
    return 0;
  }
  return n;
}

std::size_t AppendToBoundedBody(char* data, std::size_t size, std::size_t count, void* sink) {
  auto* bounded = static_cast<BoundedBody*>(sink);
  const std::size_t n = size * count;
  if (n > bounded->limit || bounded->body->size() > bounded->limit - n) {
    bounded->overLimit = true;
    return 0;
  }
  return AppendToBody(data, size, count, bounded->body);
}

bool DownloadProgress::operator==(const DownloadProgress& o) const {
  return dlTotal == o.dlTotal && dlNow == o.dlNow && ulTotal == o.ulTotal && ulNow == o.ulNow &&
         dlPercent == o.dlPercent && ulPercent == o.ulPercent;
}

bool IsCurlTraceEnabled() {
  static std::once_flag once;
  static bool enabled = false;
  std::call_once(once, [] {
    const std::string marker =
        platform::GetProgramDataPath("\\Corvane\\CorvZyra\\traceProxy", nullptr);
    if (platform::win::GetFileAttributesA(marker) != platform::win::kInvalidFileAttributes) {
      enabled = true;
      return;
    }
    for (const char* name : {"ZYRA_CURL_TRACE", "MW_CURL_TRACE", "PX_CURL_TRACE"}) {
      if (std::getenv(name) != nullptr) {
        enabled = true;
        return;
      }
    }
  });
  return enabled;
}

long TransferSslOptions() {
  if (!platform::win::RevocationCheckIsBestEffort()) return 0L;
  return static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT);
}

DownloadManager::DownloadManager() : trace(IsCurlTraceEnabled()) {}

DownloadManager::~DownloadManager() = default;

void DownloadManager::SetHeader(const std::string& name, const std::string& value) {
  headers[name] = value;
  RebuildHeaderList();
}

void DownloadManager::RemoveHeader(const std::string& name) {
  headers.erase(name);
  RebuildHeaderList();
}

void DownloadManager::RebuildHeaderList() {
  headerList.reset();
  curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) {
    const std::string line = name + ": " + value;
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown == nullptr) break;
    list = grown;
  }
  headerList.reset(list);
}

bool DownloadManager::ApplyProxy(CURL* handle, const std::string& url, const char* origin) {
  platform::ProxyDetector detector;
  std::ostringstream log;
  std::string proxy;
  try {
    if (detector.Detect(platform::ProxyMode::System, nullptr))
      proxy = detector.GetProxyForUrl(url, trace ? &log : nullptr);
  } catch (const std::exception& e) {
    // A URL (or PAC URL) that is not valid UTF-8 cannot be looked up: this
    // attempt fails rather than bypassing a proxy the machine may require.
    logging::Error("[{0}] proxy lookup failed: {1} Url: {2}", origin, logging::Escaped(e.what()),
                   logging::Escaped(url));
    return false;
  }
  if (proxy.empty()) {
    // Direct means direct: an empty proxy keeps libcurl from taking one from
    // http_proxy, HTTPS_PROXY or ALL_PROXY in the environment.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    if (trace) logging::Info("[DownloadManager] no proxy to use for url {0}", logging::Escaped(url));
    return true;
  }
  curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str());
  // And the proxy found is the proxy used: no_proxy in the environment does
  // not send the transfer around it.
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
  if (trace) logging::InfoText(log.str());
  logging::Info("[DownloadManager] using proxy {0} for url {1}", logging::Escaped(proxy),
                logging::Escaped(url));
  if (proxyAuthRequired) {
    const std::string userPwd = detector.user + ":" + detector.password;
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
    curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, userPwd.c_str());
    // The strongest scheme the proxy offers (Basic, Digest, NTLM or
    // Negotiate), for the request and for the CONNECT of an HTTPS transfer.
    // With SSPI (the Windows build) an empty user and password let NTLM and
    // Negotiate use the account the program runs as.
    curl_easy_setopt(handle, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
  }
  return true;
}

void DownloadManager::ApplyTransferOptions(CURL* handle) {
  if (timeoutMs >= 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  if (connectTimeoutMs >= 0)
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs));
  // A connection on which nothing arrives is given up long before the
  // whole-transfer limit, which exists for slow large downloads.
  if (stallSeconds > 0) {
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallSeconds));
  }
  // HTTP and HTTPS only: a file:, ftp: or smb: URL fails its attempts like
  // an unreachable server. Redirections are followed by RunAttempts, not by
  // libcurl.
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  if (const long ssl = TransferSslOptions(); ssl != 0)
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, ssl);
  progress = DownloadProgress();
  lastReported = DownloadProgress();
  if (progressObserver) {
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &DownloadManager::OnCurlProgress);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  }
}

void DownloadManager::FinishTransfer(CurlPtr& handle) {
  if (progressObserver && progress != lastReported) {
    progressObserver(progress);
    lastReported = progress;
  }
  handle.reset();
}

std::int32_t DownloadManager::Download(const std::string& url, const std::string& destination) {
  if (url.empty()) return EmptyUrl;
  Destination to;
  to.origin = "DownloadManager::Download";
  to.path = &destination;
  return RunAttempts(url, to);
}

std::int32_t DownloadManager::DownloadToMemory(const std::string& url, long& httpStatus,
                                               std::vector<char>& body,
                                               const Configure& configure) {
  if (url.empty()) return EmptyUrl;
  Destination to;
  to.origin = "DownloadManager::DownloadToMemory";
  to.body = &body;
  to.status = &httpStatus;
  to.configure = &configure;
  const std::int32_t result = RunAttempts(url, to);
  if (result != Ok) body.clear();
  return result;
}

// The one attempt loop of both transfer kinds. A file transfer opens (and
// truncates) its destination for every attempt and deletes it after a failed
// one; a memory transfer empties the body before every attempt, sends the
// custom headers, traces when the switch is on and gives the caller the
// last status.
//
// Redirections are followed here, one request at a time on the attempt's
// handle, up to kMaxRedirects: a redirection's own body is dropped, the
// custom headers go only to the origin (scheme, host and port) of the URL
// given, and a redirection that leaves http: and https:, or takes a
// transfer that started on https: off it, fails the attempt with a line
// that names where it pointed.
std::int32_t DownloadManager::RunAttempts(const std::string& url, const Destination& to) {
  std::int32_t result = Ok;
  for (std::int32_t attempt = 0; maxAttempts < 0 || attempt < maxAttempts; ++attempt) {
    if (attempt > 0) platform::win::Sleep(static_cast<platform::win::DWORD>(retryDelay));
    if (to.body != nullptr) to.body->clear();
    BoundedBody bounded{to.body, maxBodyBytes, false};
    char detail[CURL_ERROR_SIZE] = {};
    CurlPtr handle(curl_easy_init());
    if (!handle) return HandleFailed;
    platform::win::FilePtr file;
    if (to.path != nullptr) {
      file = platform::win::OpenFile(*to.path, "wb");
      if (!file) {
        // Never transfer without somewhere to put the bytes: a failed attempt.
        handle.reset();
        logging::Error("[{0}] Cannot open {1} for writing (error {2}). Url: {3}", to.origin,
                       *to.path, platform::win::GetLastError(), logging::Escaped(url));
        result = TransferFailed;
        continue;
      }
      // libcurl hands over 16 KiB at a time: gather them into large writes.
      std::setvbuf(file.get(), nullptr, _IOFBF, kFileBufferSize);
    }
    const bool proxyOk = ApplyProxy(handle.get(), url, to.origin);
    ApplyTransferOptions(handle.get());
    if (to.body != nullptr) {
      if (trace) {
        curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(handle.get(), CURLOPT_DEBUGFUNCTION, &DownloadManager::OnCurlDebug);
        curl_easy_setopt(handle.get(), CURLOPT_DEBUGDATA, this);
      } else {
        curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, 0L);
      }
    }
    if (!verifyPeer) curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    if (to.body != nullptr) {
      curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, &AppendToBoundedBody);
      curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &bounded);
      // A body announced larger than the limit is refused before it comes.
      curl_easy_setopt(handle.get(), CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(maxBodyBytes));
    } else {
      curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, &WriteToFile);
      curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, file.get());
    }
    curl_easy_setopt(handle.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, detail);
    if (to.body != nullptr && to.configure != nullptr && *to.configure)
      (*to.configure)(handle.get());

    CURLcode rc = CURLE_COULDNT_RESOLVE_PROXY;
    long status = 0;
    std::string current = url;
    for (long redirects = 0; proxyOk; ++redirects) {
      curl_easy_setopt(handle.get(), CURLOPT_URL, current.c_str());
      if (to.body != nullptr) {
        curl_slist* custom = headerList && SameOrigin(current, url) ? headerList.get() : nullptr;
        curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, custom);
      }
      rc = curl_easy_perform(handle.get());
      status = ResponseStatus(handle.get());
      char* location = nullptr;
      if (rc != CURLE_OK || status < 300 || status > 399 ||
          curl_easy_getinfo(handle.get(), CURLINFO_REDIRECT_URL, &location) != CURLE_OK ||
          location == nullptr)
        break;
      const std::string target = location;
      if (redirects >= kMaxRedirects) {
        rc = CURLE_TOO_MANY_REDIRECTS;
        break;
      }
      if (const char* why = RedirectRefusal(url, target)) {
        logging::Error("[{0}] the redirection to {1} is refused: {2}. Url: {3}", to.origin,
                       logging::Escaped(target), why, logging::Escaped(url));
        rc = CURLE_UNSUPPORTED_PROTOCOL;
        break;
      }
      // What came with the redirection is not the answer.
      if (to.body != nullptr) to.body->clear();
      if (file) {
        file.reset();
        file = platform::win::OpenFile(*to.path, "wb");
        if (!file) {
          rc = CURLE_WRITE_ERROR;
          break;
        }
        std::setvbuf(file.get(), nullptr, _IOFBF, kFileBufferSize);
        curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, file.get());
      }
      current = target;
    }
    if (to.status != nullptr) *to.status = status;
    // A file that cannot be completed on disk fails the attempt.
    if (file && std::fclose(file.release()) != 0 && rc == CURLE_OK) rc = CURLE_WRITE_ERROR;
    FinishTransfer(handle);
    if (rc == CURLE_OK) return Ok;

    // Lines that say what the libcurl error text alone cannot: a body over
    // the limit, and which time limit was reached.
    if (bounded.overLimit || rc == CURLE_FILESIZE_EXCEEDED)
      logging::Error("[{0}] the answer is larger than {1} bytes and is refused. Url: {2}",
                     to.origin, maxBodyBytes, logging::Escaped(url));
    else if (rc == CURLE_OPERATION_TIMEDOUT && detail[0] != '\0')
      logging::Error("[{0}] {1}. Url: {2}", to.origin, logging::Escaped(detail),
                     logging::Escaped(url));
    logging::Error("[{0}] CURL error: {1} http code: {2} Url: {3}", to.origin,
                   curl_easy_strerror(rc), status, logging::Escaped(url));
    if (to.path != nullptr) platform::win::DeleteFileA(*to.path);
    if (status == 407) proxyAuthRequired = true;
    result = status == 404 ? NotFound : TransferFailed;
  }
  return result;
}

std::int32_t DownloadManager::DownloadAndValidate(const std::string& packageUrl,
                                                  const std::string& signatureUrl,
                                                  std::string* packagePath,
                                                  std::string* signaturePath,
                                                  platform::win::FileHandle* held) {
  if (packagePath == nullptr) return MissingOutput;
  return ValidatePair(packageUrl, signatureUrl, *packagePath, packagePath, signaturePath, held);
}

std::int32_t DownloadManager::DownloadAndValidate(const std::string& packageUrl,
                                                  const std::string& signatureUrl,
                                                  const std::string* packagePath,
                                                  std::string* signaturePath,
                                                  platform::win::FileHandle* held) {
  if (packagePath == nullptr) return MissingOutput;
  return ValidatePair(packageUrl, signatureUrl, *packagePath, nullptr, signaturePath, held);
}

std::int32_t DownloadManager::ValidatePair(const std::string& packageUrl,
                                           const std::string& signatureUrl,
                                           const std::string& packageIn,
                                           std::string* packageOut, std::string* signaturePath,
                                           platform::win::FileHandle* held) {
  if (signaturePath == nullptr) return MissingOutput;
  if (packageUrl.empty() || signatureUrl.empty()) return EmptyValidateUrl;
  logging::Info("[{0}] - Url:{1} \nSig Url:{2}", "DownloadManager::DownloadAndValidate",
                logging::Escaped(packageUrl), logging::Escaped(signatureUrl));

  std::string packageFile = app::MakeTempDownloadPath("", "");
  if (!packageIn.empty()) packageFile = packageIn;
  std::int32_t rc = Download(packageUrl, packageFile);
  if (rc != Ok) {
    app::DeleteFileIfExists(packageFile);
    return rc;
  }
  std::string signatureFile = app::MakeTempDownloadPath("", "");
  if (!signaturePath->empty()) signatureFile = *signaturePath;
  rc = Download(signatureUrl, signatureFile);
  if (rc != Ok) {
    app::DeleteFileIfExists(packageFile);
    app::DeleteFileIfExists(signatureFile);
    return rc;
  }
  // From here to the caller's use of it the package cannot change: the
  // bytes validated are the bytes read through this handle.
  platform::win::FileHandle package = OpenPackageHeld(packageFile);
  if (!ValidateSignatureOfOpenFile(package, signatureFile)) {
    logging::Error("[{0}] - Signature {1} does not validate {2}: the package is refused. Result: {3}",
                   "DownloadManager::DownloadAndValidate", logging::Escaped(signatureUrl),
                   logging::Escaped(packageUrl), SignatureInvalid);
    return SignatureInvalid;
  }
  if (held != nullptr) *held = std::move(package);
  if (packageOut != nullptr) *packageOut = packageFile;
  *signaturePath = signatureFile;
  return Ok;
}

int DownloadManager::OnCurlDebug(CURL* /*handle*/, curl_infotype type, char* data,
                                 std::size_t size, void* /*instance*/) {
  if (size > 1 && data[size - 1] == '\n') --size;
  std::string text(data, size);
  if (type == CURLINFO_HEADER_OUT) text = MaskCredentialHeaders(std::move(text));
  // Headers and bodies are the server's: escaped, a line of the trace each.
  logging::InfoText(DebugMarker(type) + logging::Escaped(text));
  return 0;
}

int DownloadManager::OnCurlProgress(void* instance, curl_off_t dlTotal, curl_off_t dlNow,
                                    curl_off_t ulTotal, curl_off_t ulNow) {
  auto* self = static_cast<DownloadManager*>(instance);
  if (!self->progressEnabled) return 0;
  DownloadProgress& p = self->progress;
  p.dlTotal = dlTotal;
  p.dlNow = dlNow;
  p.ulTotal = ulTotal;
  p.ulNow = ulNow;
  p.dlPercent = Percent(dlNow, dlTotal);
  p.ulPercent = Percent(ulNow, ulTotal);
  if (!self->progressObserver || p == self->lastReported) return 0;
  const DownloadProgress& last = self->lastReported;
  if (p.dlTotal == last.dlTotal && p.dlPercent < last.dlPercent + self->progressStep &&
      p.ulPercent < last.ulPercent + self->progressStep)
    return 0;
  self->progressObserver(p);
  self->lastReported = p;
  return 0;
}

}  // namespace net
