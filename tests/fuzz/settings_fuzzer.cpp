// The update settings from "zyra-config.json"
// (UpdateManager::LoadUpdateSettingsFromText, CheckForUpdateSettings).
//
// Input: the file's text. A first line "@name" selects that entry instead of
// the "current" one; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "logging/logger.h"
#include "tests/fuzz/fuzz_check.h"
#include "update/update_manager.h"
#include "update/vendor_config.h"

namespace {

update::UpdateManager* manager = nullptr;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Settings {
  std::string manifestUrl, brand, channel, orgId;
  bool operator==(const Settings& o) const {
    return manifestUrl == o.manifestUrl && brand == o.brand && channel == o.channel &&
           orgId == o.orgId;
  }
};

Settings Current() {
  return {manager->manifestUrl, manager->brand, manager->channel, manager->orgId};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The manager's clean-up thread empties the download folder of the
  // emulated machine: give it an empty machine of its own.
  static char root[] = "/tmp/zyra-fuzz-settings-XXXXXX";
  if (mkdtemp(root) == nullptr) std::abort();
  setenv("ZYRA_MACHINE_ROOT", root, 1);
  std::atexit([] { rmdir(root); });
  // The settings lines are formatted (into nothing), as in the program.
  auto logger = std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
  logger->set_level(spdlog::level::info);
  logging::LoggerHolder::Instance().Set(logger);
  manager = new update::UpdateManager();
  manager->WaitForCleanup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string entryName;
  if (!text.empty() && text[0] == '@') {
    const auto eol = text.find('\n');
    entryName = text.substr(1, eol == std::string::npos ? std::string::npos : eol - 1);
    text = eol == std::string::npos ? std::string() : text.substr(eol + 1);
  }

  // Start from settings that no configuration can produce: every load
  // resets first.
  manager->manifestUrl = "stale";
  manager->brand = "stale";
  manager->LoadUpdateSettingsFromText(text, entryName);
  const Settings s = Current();

  FUZZ_CHECK(s.brand == "corvane" || s.brand == "tamberlo");
  if (s.manifestUrl == update::DefaultManifestUrl()) {
    FUZZ_CHECK(s.brand == "corvane" && s.channel.empty() && s.orgId.empty());
  } else {
    // An accepted entry: the vendor's domain is in its URL and the query is
    // appended exactly once, after it.
    FUZZ_CHECK(s.manifestUrl.find(std::string(update::kVendorDomain) + "/") != std::string::npos);
    std::string query = "?brand=" + s.brand;
    if (!s.channel.empty()) query += "&channel=" + s.channel;
    if (!s.orgId.empty()) query += "&orgId=" + s.orgId;
    FUZZ_CHECK(EndsWith(s.manifestUrl, query));
    FUZZ_CHECK(s.manifestUrl.size() > query.size());
  }

  // Settings are not kept between loads: the same file gives the same
  // settings again.
  manager->LoadUpdateSettingsFromText(text, entryName);
  FUZZ_CHECK(Current() == s);
  return 0;
}
