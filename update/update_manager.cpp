#include "update/update_manager.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <regex>
#include <sstream>
#include <vector>

#include "app/file_helpers.h"
#include "logging/escape.h"
#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/utils/thread_name.h"
#include "update/vendor_config.h"

namespace update {
namespace {

using json = nlohmann::json;

struct PackageKind {
  const char* packageName;
  const char* stem;
  const char* extension;
  bool progress;
};

constexpr PackageKind kKinds[] = {
    {"CorvZyraAgent-Setup.exe", "CorvZyraAgent-Setup", ".exe", false},
    {"CorvZyraAgent-Setup.exe", "CorvZyraAgent-Setup", ".exe", false},
    {"CorvZyraAgent-Setup.exe.manifest", "CorvZyraAgent-Setup.exe", ".manifest", false},
    {"CorvZyraApp-Setup.exe", "CorvZyraApp-Setup", ".exe", true},
    {"CorvZyraApp-Setup.exe.manifest", "CorvZyraApp-Setup.exe", ".manifest", false},
};

constexpr std::int32_t kDefaultTtl = 7200;

// The JSON library's message without its "[json.exception...] " tag: for a
// parse error the position and what was found there.
std::string ExceptionText(const std::exception& e) {
  std::string text = e.what();
  if (text.rfind("[json.exception.", 0) == 0) {
    const auto end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
  }
  return text;
}

// A string member, empty when absent; throws json::type_error for another type.
std::string StringMember(const json& object, const char* key) {
  // As a look-up with a default: only an object has members to look up.
  if (!object.is_object())
    throw json::type_error::create(306, "cannot look up a member of a non-object", nullptr);
  const auto it = object.find(key);
  if (it == object.end()) return std::string();
  return it->get<std::string>();
}

// The elements of an array, or the values of an object in key order.
std::vector<const json*> Entries(const json& list) {
  std::vector<const json*> out;
  if (list.is_array() || list.is_object())
    for (const json& v : list) out.push_back(&v);
  return out;
}

// "ttl" as a signed 32-bit number: fractions truncated, values outside the
// range clamped to it, booleans 1 and 0. Any other type throws.
std::int32_t TtlOf(const json& doc) {
  const auto it = doc.find("ttl");
  if (it == doc.end()) return kDefaultTtl;
  if (it->is_number_float()) {
    const double d = std::trunc(it->get<double>());
    if (std::isnan(d)) throw std::range_error("ttl");
    if (d >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
      return std::numeric_limits<std::int32_t>::max();
    if (d <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
      return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(d);
  }
  if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
  // Whole numbers outside the 32-bit range are clamped to it, as fractions are.
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  if (it->is_number_unsigned()) {
    const std::uint64_t u = it->get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int32_t>(u);
  }
  const std::int64_t v = it->get<std::int64_t>();  // throws for other types
  if (v > kMax) return kMax;
  if (v < kMin) return kMin;
  return static_cast<std::int32_t>(v);
}

}  // namespace

std::string DefaultManifestUrl() { return std::string("https://") + kUpdateHost + kManifestPath; }

std::int32_t ParseManifestBody(const std::vector<char>& body, json& manifest, std::int32_t& ttl,
                               std::string* reason) {
  std::string why;
  try {
    manifest = json::parse(body.begin(), body.end());
    const auto it = manifest.is_object() ? manifest.find("ttl") : manifest.end();
    if (!manifest.is_object())
      why = std::string("it is a JSON ") + manifest.type_name() + ", not an object";
    else if (it != manifest.end() && !it->is_number() && !it->is_boolean())
      why = std::string("\"ttl\" of type ") + it->type_name();
    else
      ttl = TtlOf(manifest);
  } catch (const std::exception& e) {
    why = ExceptionText(e);
  }
  if (why.empty()) return net::Ok;
  if (reason != nullptr) *reason = why;
  return net::ManifestParseFailed;
}

void FindPackageUrls(const json& manifest, const std::string& packageName, std::string& url,
                     std::string& signatureUrl) {
  url.clear();
  signatureUrl.clear();
  if (!manifest.is_object()) return;
  const auto packages = manifest.find("packages");
  if (packages == manifest.end()) return;
  for (const json* entry : Entries(*packages)) {
    // Entries of unexpected shape never match.
    if (!entry->is_object()) continue;
    const auto name = entry->find("name");
    const std::string entryName =
        name == entry->end() ? std::string() : (name->is_string() ? name->get<std::string>() : "\x01");
    if (entryName != packageName) continue;
    const auto signatures = entry->find("signatures");
    if (signatures == entry->end() || !signatures->is_object()) continue;
    const auto u = entry->find("url");
    const auto s = signatures->find("sigv1");
    if ((u != entry->end() && !u->is_string()) || (s != signatures->end() && !s->is_string()))
      continue;
    url = u == entry->end() ? std::string() : u->get<std::string>();
    signatureUrl = s == signatures->end() ? std::string() : s->get<std::string>();
    return;
  }
}

UpdateManager::UpdateManager() {
  ResetSettings();
  downloadManager = std::make_unique<net::DownloadManager>();
  downloadManager->timeoutMs = 1800000;
  fwuLock.timer.SetInterval(std::chrono::milliseconds(600000));
  fwuLock.timer.AddTask([this] { fwuLock.locked.store(false); });
  cleanupThread_ = std::thread([this] { RunCleanup(); });
}

UpdateManager::~UpdateManager() {
  if (cleanupThread_.joinable()) cleanupThread_.join();
}

void UpdateManager::RunCleanup() {
  // Whatever happens here, the downloads waiting for the clean-up go on, and
  // nothing escapes the thread (that would end the process).
  try {
    platform::SetThreadName("CleanupDownloadLocation");
    app::CleanupDownloadLocation("");
  } catch (const std::exception& e) {
    logging::Error("CleanupDownloadLocation stopped by an unexpected error: {0}", e.what());
  } catch (...) {
    logging::Error("CleanupDownloadLocation stopped by an unexpected error.");
  }
  {
    std::lock_guard<std::mutex> lock(cleanupMutex_);
    cleanupDone_ = true;
  }
  cleanupCv_.notify_all();
}

void UpdateManager::WaitForCleanup() {
  std::unique_lock<std::mutex> lock(cleanupMutex_);
  cleanupCv_.wait(lock, [this] { return cleanupDone_; });
}

void UpdateManager::ResetSettings() {
  manifestUrl = DefaultManifestUrl();
  brand = "corvane";
  channel.clear();
  orgId.clear();
}

void UpdateManager::LoadUpdateSettings(const std::string& entryName) {
  std::string text;
  if (!app::ReadWholeFile(app::GetDataFilePath(kConfigFileName), text)) {
    ResetSettings();
    return;
  }
  LoadUpdateSettingsFromText(text, entryName);
}

void UpdateManager::LoadUpdateSettingsFromText(const std::string& text,
                                               const std::string& entryName) {
  ResetSettings();
  try {
    // The first JSON value of the file; whatever follows it is not examined.
    std::istringstream in(text);
    json doc;
    in >> doc;
    if (doc.is_null() || doc.empty() || !doc.is_object()) return;
    const auto morla = doc.find("morla");
    if (morla == doc.end()) return;
    std::string selected = StringMember(*morla, "current");
    if (!entryName.empty()) selected = entryName;
    const auto available = morla->find("available");
    if (available == morla->end()) return;
    if (!available->is_array() && !available->is_object())
      throw json::type_error::create(302, "\"available\" is not a list", nullptr);
    for (const json* entry : Entries(*available)) {
      if (StringMember(*entry, "name") == selected) {
        CheckForUpdateSettings(*entry);
        return;
      }
    }
  } catch (const std::exception&) {
    // Unreadable or unexpected configuration: the defaults stay in force.
    ResetSettings();
  }
}

void UpdateManager::CheckForUpdateSettings(const json& entry) {
  const std::string url = StringMember(entry, "url");
  const std::string entryBrand = StringMember(entry, "brand");
  const std::string entryChannel = StringMember(entry, "channel");
  const std::string entryOrgId = StringMember(entry, "orgId");
  const std::string name = StringMember(entry, "name");
  if (url.empty()) return;
  if (url.find(std::string(kVendorDomain) + "/") == std::string::npos) {
    logging::Info("[UpdateManager] invalid url {0} skipped", logging::Escaped(url));
    return;
  }
  logging::Info("[UpdateManager]. Overwriting update settings[{0}]. Url = {1}", logging::Escaped(name),
                logging::Escaped(url));
  manifestUrl = url;
  if (entryBrand == "corvane" || entryBrand == "tamberlo") brand = entryBrand;
  channel = entryChannel;
  orgId = entryOrgId;
  logging::Info(
      "[UpdateManager::CheckForUpdateSettings]. Update settings. Brand = {0}. Channel = {1}. "
      "Organization Id = {2}",
      brand, logging::Escaped(channel), logging::Escaped(orgId));
  std::string query;
  for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"brand", &brand},
                                   {"channel", &channel},
                                   {"orgId", &orgId}}) {
    if (value->empty()) continue;
    if (!query.empty()) query += "&";
    query += std::string(key) + "=" + *value;
  }
  if (!query.empty()) manifestUrl += "?" + query;
}

std::int32_t UpdateManager::DownloadLatestUpdateManifest(const std::string& entryName) {
  if (!manifest.empty() && platform::MonotonicNanoseconds() < manifestExpiry)
    logging::Info("[UpdateManager] manifest is downloaded again even not expired TTL={0}",
                  manifestTtl);
  LoadUpdateSettings(entryName);
  manifest.clear();  // keeps the type: {} [] "" false 0 null

  std::vector<char> body;
  long status = 0;
  downloadManager->SetHeader(kApiKeyHeader, kApiKey);
  const std::int32_t rc = downloadManager->DownloadToMemory(manifestUrl, status, body);
  downloadManager->RemoveHeader(kApiKeyHeader);
  if (rc != net::Ok) {
    // The update server's own refusal of the key (a proxy that refuses
    // credentials with 401 has answered 407 first).
    if (status == 401 && !downloadManager->proxyAuthRequired)
      logging::Error(
          "[DownloadLatestUpdateManifest] - The update server refused the program's API key: "
          "the manifest request {0} was answered 401 (Unauthorized). Result: {1}",
          logging::Escaped(manifestUrl), rc);
    logging::Debug("[DownloadLatestUpdateManifest] - Failed to download update manifest. Result: {0}",
                   rc);
    return rc;
  }
  std::int32_t ttl = 0;
  std::string reason;
  const std::int32_t parsed = ParseManifestBody(body, manifest, ttl, &reason);
  body = std::vector<char>();
  if (parsed != net::Ok) {
    logging::Error("[DownloadLatestUpdateManifest] - Update manifest {0} is not usable: {1}. Result: {2}",
                   logging::Escaped(manifestUrl), logging::Escaped(reason), parsed);
    return parsed;
  }
  manifestTtl = ttl;
  manifestExpiry = platform::MonotonicNanoseconds() + static_cast<std::int64_t>(ttl) * 1000000000LL;
  return net::Ok;
}

std::int32_t UpdateManager::DownloadUpdatePackage(std::uint32_t kind, std::string& path,
                                                  platform::win::FileHandle* held) {
  const std::int32_t fetched = DownloadLatestUpdateManifest("");
  if (fetched != net::Ok) return fetched;
  if (kind > AppManifest) return net::EmptyUrl;
  const PackageKind& k = kKinds[kind];

  // The clean-up lists the download folder once; fresh downloads must not
  // be there before it has.
  WaitForCleanup();
  // Nothing is downloaded into a folder that another account controls.
  if (!app::PrepareDownloadFolder()) return net::MissingOutput;
  path = app::MakeTempDownloadPath(k.stem, k.extension);
  std::string signaturePath = app::MakeTempDownloadPath(k.packageName, ".sig");

  std::string url;
  std::string signatureUrl;
  FindPackageUrls(manifest, k.packageName, url, signatureUrl);
  if (url.empty() || signatureUrl.empty()) {
    logging::Error("[UpdateManager] the manifest names no url and sigv1 signature for {0}. Result: {1}",
                   k.packageName, net::EmptyUrl);
    return net::EmptyUrl;
  }

  downloadManager->progressEnabled = k.progress;
  static const std::regex kZipAtEnd(".zip$", std::regex::ECMAScript);
  std::int32_t rc;
  if (std::regex_search(url, kZipAtEnd)) {
    const std::string& inputOnly = path;
    rc = downloadManager->DownloadAndValidate(url, signatureUrl, &inputOnly, &signaturePath, held);
  } else {
    rc = downloadManager->DownloadAndValidate(url, signatureUrl, &path, &signaturePath, held);
  }
  downloadManager->progressEnabled = false;
  if (!signaturePath.empty() && app::FileExists(signaturePath))
    app::DeleteFileIfExists(signaturePath);
  if (rc != net::Ok && !path.empty() && app::FileExists(path)) app::DeleteFileIfExists(path);
  return rc;
}

}  // namespace update
