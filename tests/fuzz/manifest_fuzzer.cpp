// The update manifest body (ParseManifestBody) and the package lookup in it
// (FindPackageUrls), as DownloadLatestUpdateManifest and
// DownloadUpdatePackage use them.
//
// Input: the response body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/download_manager.h"
#include "tests/fuzz/fuzz_check.h"
#include "update/update_manager.h"

namespace {

using json = nlohmann::json;

// The package names of the five kinds, and near misses that must not match.
const char* const kNames[] = {
    "CorvZyraAgent-Setup.exe",        "CorvZyraAgent-Setup.exe.manifest",
    "CorvZyraApp-Setup.exe",          "CorvZyraApp-Setup.exe.manifest",
    "corvzyraagent-setup.exe",
};

// Some entry of "packages" carries this name, a "signatures" object, this
// "url" and this "sigv1".
bool HasEntry(const json& manifest, const std::string& name, const std::string& url,
              const std::string& signatureUrl) {
  const json& packages = manifest.at("packages");
  for (const json& entry : packages) {
    if (!entry.is_object()) continue;
    const auto n = entry.find("name");
    const auto s = entry.find("signatures");
    const auto u = entry.find("url");
    if (n == entry.end() || !n->is_string() || *n != name) continue;
    if (s == entry.end() || !s->is_object()) continue;
    const auto v = s->find("sigv1");
    if (u != entry.end() && u->is_string() && *u == url && v != s->end() && v->is_string() &&
        *v == signatureUrl)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char> body(data, data + size);
  json manifest = json::object();
  std::int32_t ttl = -12345;
  const std::int32_t rc = update::ParseManifestBody(body, manifest, ttl);
  FUZZ_CHECK(rc == net::Ok || rc == net::ManifestParseFailed);
  if (rc == net::Ok) {
    FUZZ_CHECK(manifest.is_object());
    if (!manifest.contains("ttl")) FUZZ_CHECK(ttl == 7200);
    // The body is one JSON value: the same text parses on its own.
    FUZZ_CHECK(json::accept(body.begin(), body.end()));
  } else {
    FUZZ_CHECK(ttl == -12345);
  }

  // The lookup runs on whatever the parse stored, as the manager's does.
  for (const char* name : kNames) {
    // The results never depend on what the strings held before.
    std::string url = "left over";
    std::string signatureUrl = "left over";
    update::FindPackageUrls(manifest, name, url, signatureUrl);
    std::string url2;
    std::string signatureUrl2;
    update::FindPackageUrls(manifest, name, url2, signatureUrl2);
    FUZZ_CHECK(url == url2 && signatureUrl == signatureUrl2);
    if (!url.empty() && !signatureUrl.empty()) {
      FUZZ_CHECK(manifest.is_object() && manifest.contains("packages"));
      FUZZ_CHECK(HasEntry(manifest, name, url, signatureUrl));
    }
  }
  return 0;
}
