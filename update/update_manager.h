#pragma once
// UpdateManager: the program's way to the vendor's update service. It builds
// the manifest request from built-in defaults and the agent configuration
// file, fetches the update manifest with the API key, and downloads a
// package named in it together with its validated signature.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/download_manager.h"
#include "platform/utils/timer.h"

namespace update {

enum UpdatePackageType : std::uint32_t {
  AgentSetup = 0,
  AgentSetupAlias = 1,
  AgentManifest = 2,
  AppSetup = 3,
  AppManifest = 4,
};

inline constexpr const char* kManifestPath = "/api/files/manifest/zyra/latest";
inline constexpr const char* kApiKeyHeader = "X-API-KEY";
inline constexpr const char* kApiKey = "TqWmRzKpHnVxLcJd";
inline constexpr const char* kConfigFileName = "zyra-config.json";

// https://<update host>/api/files/manifest/zyra/latest
[[nodiscard]] std::string DefaultManifestUrl();

// Parses a manifest body into manifest (the whole body must be one JSON
// value) and reads its "ttl" (7200 when absent) into ttl. Returns 0, or
// 30002 when the body is not a usable manifest; manifest then holds what the
// parse got to store, ttl is unchanged and reason (when given) says why: the
// parser's message with its position, what the document is instead of an
// object, or the type of "ttl".
[[nodiscard]] std::int32_t ParseManifestBody(const std::vector<char>& body, nlohmann::json& manifest,
                                             std::int32_t& ttl, std::string* reason = nullptr);

// Looks packageName up in the manifest's "packages": the first entry with
// that name and a "signatures" object gives url and signatureUrl ("sigv1").
// Both stay empty when there is none; entries of unexpected shape never match.
void FindPackageUrls(const nlohmann::json& manifest, const std::string& packageName,
                     std::string& url, std::string& signatureUrl);

class UpdateManager {
 public:
  // Creates the download manager (30-minute transfer limit), the two timers
  // (never started) and the thread that empties the download folder.
  UpdateManager();
  // Waits for the clean-up thread, then destroys the timers.
  virtual ~UpdateManager();
  UpdateManager(const UpdateManager&) = delete;
  UpdateManager& operator=(const UpdateManager&) = delete;

  // Resets the settings and applies the entry of "zyra-config.json" named
  // entryName (empty: the "current" one). Silent on every failure.
  void LoadUpdateSettings(const std::string& entryName);
  // The same for the configuration file's text.
  void LoadUpdateSettingsFromText(const std::string& text, const std::string& entryName);
  // Applies one configuration entry.
  void CheckForUpdateSettings(const nlohmann::json& entry);

  // Fetches and parses the manifest (0, a transfer code, or 30002).
  [[nodiscard]] std::int32_t DownloadLatestUpdateManifest(const std::string& entryName);
  // Fetches a fresh manifest, then the package of that kind with its
  // signature into the download folder; path receives the planned path.
  // With held, the validated package comes with the handle that holds it
  // against changes (for its launch). 30000 when the download folder cannot
  // be made trustworthy.
  [[nodiscard]] std::int32_t DownloadUpdatePackage(std::uint32_t kind, std::string& path,
                                                   platform::win::FileHandle* held = nullptr);

  // Blocks until the download folder's clean-up has finished. Every package
  // download waits for it, so the clean-up never removes a fresh download.
  void WaitForCleanup();

  nlohmann::json manifest;
  std::int64_t manifestExpiry = 0;
  std::int32_t manifestTtl = 0;
  std::string manifestUrl;
  std::string brand;
  std::string channel;
  std::string orgId;
  std::unique_ptr<net::DownloadManager> downloadManager;

 private:
  struct FwuLock {
    std::atomic<bool> locked{false};
    platform::Timer timer{"FwuLockTimer"};
  };

  void ResetSettings();
  void RunCleanup();

  std::thread cleanupThread_;
  std::mutex cleanupMutex_;
  std::condition_variable cleanupCv_;
  bool cleanupDone_ = false;

 public:
  platform::Timer failedUpdateTimer{"FailedUpdateTimer"};
  FwuLock fwuLock;
};

}  // namespace update
