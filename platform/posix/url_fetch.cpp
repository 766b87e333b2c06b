#include "platform/posix/url_fetch.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>

#include "platform/files.h"
#include "platform/posix/machine.h"

namespace platform::posix {
namespace {

constexpr const char* kHostsFile = "C:\\Windows\\System32\\drivers\\etc\\hosts";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}


// The scheme before "://", lower-cased; empty when there is none.
std::string SchemeOf(const std::string& url) {
  const auto sep = url.find("://");
  if (sep == std::string::npos || sep == 0) return {};
  for (std::size_t i = 0; i < sep; ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return Lower(url.substr(0, sep));
}

// An IPv4 or IPv6 address as the hosts file writes it.
bool IsAddress(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '.' && c != ':') return false;
  }
  return true;
}

bool IsHostName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
      return false;
  }
  return true;
}

bool ReadWindowsFile(const std::string& windowsPath, std::size_t maxBytes, std::string& body) {
  win::FilePtr f = win::OpenFile(windowsPath, "rb");
  if (!f) return false;
  std::string data;
  char buf[16 * 1024];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    data.append(buf, n);
    if (data.size() > maxBytes) return false;
  }
  if (std::ferror(f.get()) != 0) return false;
  body.swap(data);
  return true;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

struct Sink {
  std::string data;
  std::size_t maxBytes = 0;
};

// The limits of one fetch on the host's own clock (HostMonotonicMilliseconds):
// a script server is as slow as it is, however fast the machine's fake
// clock runs.
struct Deadline {
  CURL* handle = nullptr;
  std::int64_t start = 0;
  long connectTimeoutMs = 0;
  long totalTimeoutMs = 0;
};

int CheckDeadline(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* d = static_cast<const Deadline*>(userdata);
  const std::int64_t waited = HostMonotonicMilliseconds() - d->start;
  if (waited > d->totalTimeoutMs) return 1;  // aborts the transfer
  curl_off_t connected = 0;
  if (waited > d->connectTimeoutMs &&
      curl_easy_getinfo(d->handle, CURLINFO_CONNECT_TIME_T, &connected) == CURLE_OK &&
      connected == 0)
    return 1;
  return 0;
}

std::size_t WriteToSink(char* ptr, std::size_t size, std::size_t count, void* userdata) {
  auto* sink = static_cast<Sink*>(userdata);
  const std::size_t n = size * count;
  if (sink->data.size() + n > sink->maxBytes) return 0;  // aborts the transfer
  sink->data.append(ptr, n);
  return n;
}

// CURLOPT_CONNECT_TO entries for the hosts file: "name::address:" sends any
// port of name to address. The first entry for a name wins, as on Windows.
bool AppendHostsMapping(SlistPtr& list) {
  std::set<std::string> seen;
  for (const auto& [name, address] : HostsFileEntries()) {
    if (!seen.insert(Lower(name)).second) continue;
    const std::string target =
        address.find(':') != std::string::npos ? "[" + address + "]" : address;
    curl_slist* grown = curl_slist_append(list.get(), (name + "::" + target + ":").c_str());
    if (grown == nullptr) return false;
    list.release();
    list.reset(grown);
  }
  return true;
}

bool FetchHttp(const std::string& url, const std::string& userAgent, const FetchLimits& limits,
               std::string& body) {
  InitCurlOnce();
  CurlPtr curl(curl_easy_init());
  if (!curl) return false;
  SlistPtr connectTo;
  if (!AppendHostsMapping(connectTo)) return false;
  Sink sink;
  sink.maxBytes = limits.maxBytes;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // direct, whatever the environment says
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  Deadline deadline{c, HostMonotonicMilliseconds(), limits.connectTimeoutMs,
                    limits.totalTimeoutMs};
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, CheckDeadline);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &deadline);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteToSink);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  if (!userAgent.empty()) curl_easy_setopt(c, CURLOPT_USERAGENT, userAgent.c_str());
  if (connectTo) curl_easy_setopt(c, CURLOPT_CONNECT_TO, connectTo.get());
  if (curl_easy_perform(c) != CURLE_OK) return false;
  long status = 0;
  if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return false;
  if (status < 200 || status > 299) return false;
  body.swap(sink.data);
  return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> HostsFileEntries() {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string text;
  if (!ReadWindowsFile(kHostsFile, 1024 * 1024, text)) return entries;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    line = line.substr(0, line.find('#'));
    std::vector<std::string> tokens;
    std::string cur;
    for (char c : line) {
      if (std::isspace(static_cast<unsigned char>(c))) {
        if (!cur.empty()) tokens.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (!cur.empty()) tokens.push_back(cur);
    if (tokens.size() < 2 || !IsAddress(tokens[0])) continue;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
      if (IsHostName(tokens[i])) entries.emplace_back(tokens[i], tokens[0]);
    }
  }
  return entries;
}

bool FetchUrl(const std::string& url, const std::string& userAgent, const FetchLimits& limits,
              std::string& body) {
  const std::string scheme = SchemeOf(url);
  if (scheme == "http" || scheme == "https") return FetchHttp(url, userAgent, limits, body);
  return false;
}

}  // namespace platform::posix
