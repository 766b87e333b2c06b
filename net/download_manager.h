#pragma once
// DownloadManager: every HTTP(S) transfer of the program, through libcurl:
// a URL into a file, into memory, or a package with its detached signature
// followed by validation. Adds the program's policy around each transfer: a
// proxy per URL and attempt, proxy credentials once a proxy answered 407,
// five attempts a second apart, custom headers on memory transfers, protocol
// tracing switched on from outside, optional progress reports. Results are
// codes, never exceptions.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "platform/file_security.h"

namespace net {

enum DownloadResult : std::int32_t {
  Ok = 0,
  MissingOutput = 30000,
  ManifestParseFailed = 30002,
  EmptyUrl = 70000,
  EmptyValidateUrl = 70001,
  HandleFailed = 70002,
  TransferFailed = 70003,
  SignatureInvalid = 70006,
  NotFound = 70007,
};

struct DownloadProgress {
  std::int64_t dlTotal = 0;
  std::int64_t dlNow = 0;
  std::int64_t ulTotal = 0;
  std::int64_t ulNow = 0;
  float dlPercent = -1.0f;
  float ulPercent = -1.0f;
  bool operator==(const DownloadProgress& o) const;
  bool operator!=(const DownloadProgress& o) const { return !(*this == o); }
};

struct CurlCleanup {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlCleanup>;

struct SlistFree {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

// libcurl's write function for memory transfers: appends to the
// std::vector<char> body, or returns 0 (libcurl's write error) when the body
// cannot grow.
std::size_t AppendToBody(char* data, std::size_t size, std::size_t count, void* body);

// A memory transfer's body with its size limit. overLimit is set when the
// server sent more than limit bytes.
struct BoundedBody {
  std::vector<char>* body = nullptr;
  std::size_t limit = 0;
  bool overLimit = false;
};
// libcurl's write function for a BoundedBody: as AppendToBody, but the
// chunk that would take the body over its limit is refused (libcurl's write
// error) and marks overLimit.
std::size_t AppendToBoundedBody(char* data, std::size_t size, std::size_t count, void* sink);

// The process-wide trace switch: a file or folder "traceProxy" in the data
// folder, or one of ZYRA_CURL_TRACE, MW_CURL_TRACE, PX_CURL_TRACE in the
// environment. Evaluated once, at the first DownloadManager construction.
[[nodiscard]] bool IsCurlTraceEnabled();

// The CURLOPT_SSL_OPTIONS bits every transfer carries (0: the option is not
// set). With Windows' TLS (Schannel) a revocation check that cannot reach
// the CRL or OCSP responder does not fail the transfer; a certificate known
// to be revoked still does.
[[nodiscard]] long TransferSslOptions();

class DownloadManager {
 public:
  using ProgressObserver = std::function<void(const DownloadProgress&)>;
  using Configure = std::function<void(CURL*)>;

  DownloadManager();
  virtual ~DownloadManager();
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  void SetHeader(const std::string& name, const std::string& value);
  void RemoveHeader(const std::string& name);

  [[nodiscard]] std::int32_t Download(const std::string& url, const std::string& destination);
  [[nodiscard]] std::int32_t DownloadToMemory(const std::string& url, long& httpStatus,
                                              std::vector<char>& body,
                                              const Configure& configure = nullptr);
  // Both paths in and out: empty asks for a fresh name in the download folder.
  // The package is validated through a handle that holds it against writing,
  // replacing and deleting; with held, that handle is handed over on
  // success, so the validated bytes stay what is at the path.
  [[nodiscard]] std::int32_t DownloadAndValidate(const std::string& packageUrl,
                                                 const std::string& signatureUrl,
                                                 std::string* packagePath,
                                                 std::string* signaturePath,
                                                 platform::win::FileHandle* held = nullptr);
  // The same, but the caller's package path is never written.
  [[nodiscard]] std::int32_t DownloadAndValidate(const std::string& packageUrl,
                                                 const std::string& signatureUrl,
                                                 const std::string* packagePath,
                                                 std::string* signaturePath,
                                                 platform::win::FileHandle* held = nullptr);

  void SetProgressObserver(ProgressObserver observer) { progressObserver = std::move(observer); }

  // Called by libcurl.
  static int OnCurlDebug(CURL* handle, curl_infotype type, char* data, std::size_t size,
                         void* instance);
  static int OnCurlProgress(void* instance, curl_off_t dlTotal, curl_off_t dlNow,
                            curl_off_t ulTotal, curl_off_t ulNow);

  bool proxyAuthRequired = false;
  bool verifyPeer = true;
  bool trace;
  std::map<std::string, std::string> headers;
  SlistPtr headerList;
  std::int32_t timeoutMs = -1;
  std::int32_t connectTimeoutMs = -1;
  std::int32_t maxAttempts = 5;
  std::int64_t retryDelay = 1000;
  // An attempt on which fewer than 1 byte a second arrives for this long
  // fails (libcurl's low-speed limit), whatever the whole-transfer limit.
  std::int32_t stallSeconds = 60;
  // The most a memory transfer keeps: a longer body fails the attempt.
  std::size_t maxBodyBytes = 32u * 1024 * 1024;
  ProgressObserver progressObserver;
  bool progressEnabled = true;
  float progressStep = 1.0f;
  DownloadProgress progress;
  DownloadProgress lastReported;

 private:
  void RebuildHeaderList();
  // False when the proxy lookup failed (the attempt then fails).
  [[nodiscard]] bool ApplyProxy(CURL* handle, const std::string& url, const char* origin);
  void ApplyTransferOptions(CURL* handle);
  // Reports the last progress and releases the handle.
  void FinishTransfer(CurlPtr& handle);
  // Where one transfer's bytes go: a file (path) or a buffer (body, with the
  // caller's status and configure callable).
  struct Destination {
    const char* origin = "";
    const std::string* path = nullptr;
    std::vector<char>* body = nullptr;
    long* status = nullptr;
    const Configure* configure = nullptr;
  };
  [[nodiscard]] std::int32_t RunAttempts(const std::string& url, const Destination& to);
  [[nodiscard]] std::int32_t ValidatePair(const std::string& packageUrl,
                                          const std::string& signatureUrl,
                                          const std::string& packageIn, std::string* packageOut,
                                          std::string* signaturePath,
                                          platform::win::FileHandle* held);
};

}  // namespace net
