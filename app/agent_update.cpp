#include "app/agent_update.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/file_helpers.h"
#include "logging/escape.h"
#include "logging/logger.h"
#include "platform/error_text.h"
#include "platform/services.h"
#include "platform/utils/cregistry.h"
#include "platform/utils/installer_launch.h"
#include "platform/utils/service_installer.h"
#include "platform/utf.h"
#include "update/update_manager.h"

namespace app {

std::string GetInstalledAgentVersion() {
  platform::CRegistry reg(kAgentKey);
  char16_t buffer[260] = {};
  if (!reg.GetString(u"DisplayVersion", buffer, 260)) return std::string();
  return NormalizeVersion(platform::ToUtf8(buffer));
}

std::string NormalizeVersion(const std::string& text) {
  const auto pieces = Tokenize(text, ".");
  if (pieces.size() < 4) return text;
  return pieces[0] + "." + pieces[1] + "." + pieces[2];
}

std::int32_t ParseComponent(const std::string& piece) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(piece.c_str(), &end, 10);
  if (end == piece.c_str() || errno == ERANGE || value > INT32_MAX || value < INT32_MIN) return 0;
  return static_cast<std::int32_t>(value);
}

int CompareVersions(const std::string& a, const std::string& b) {
  auto pa = Tokenize(a, ".");
  auto pb = Tokenize(b, ".");
  while (pa.size() < 3) pa.push_back("0");
  while (pb.size() < 3) pb.push_back("0");
  for (std::size_t i = 0; i < 3; ++i) {
    const std::int32_t x = ParseComponent(pa[i]);
    const std::int32_t y = ParseComponent(pb[i]);
    if (x > y) return 1;
    if (x < y) return -1;
  }
  return 0;
}

const char* InstallerExitDescription(std::int32_t exitCode) {
  switch (exitCode) {
    case 3: return "Newer version is detected";
    case 5: return "Reboot is required before installation";
    case 6:
    case 7: return "Reboot is required after installation";
    case 8: return "Failed: Missing file ";
    case 256: return "Failed: Wrong Password";
    default: return "UNKNOWN";
  }
}

namespace {

const char* ServiceStateWords(platform::win::DWORD state) {
  switch (state) {
    case 1: return "stopped";
    case 2: return "start pending";
    case 3: return "stop pending";
    case 4: return "running";
    case 5: return "continue pending";
    case 6: return "pause pending";
    case 7: return "paused";
    default: return "unknown";
  }
}

// The end of a line: "1067: The process terminated unexpectedly." with
// Windows' text for the code, "3." when it has none.
std::string CodeWithText(platform::win::DWORD code) {
  std::string text;
  if (platform::win::FormatMessageW(code, text) == 0) return std::to_string(code) + ".";
  return std::to_string(code) + ": " + text;
}

// After the restart: one line that says why no verdict can come, when the
// handler service is not installed, could not be started or is not running.
void NameAHandlerThatCannotAnswer(const platform::ServiceInstaller& service,
                                  platform::win::DWORD started) {
  namespace w = platform::win;
  const std::string name = platform::ToUtf8(kHandlerServiceName);
  if (started == w::kErrorServiceDoesNotExist) {
    logging::Error("ZyraHandler cannot answer: the handler service is not installed ({0}, error "
                   "0x{1:08x}).",
                   name, started);
    return;
  }
  if (started != 0) {
    logging::Error("ZyraHandler cannot answer: the handler service {0} could not be started, "
                   "error {1}",
                   name, CodeWithText(started));
    return;
  }
  w::ServiceStatusProcess status{};
  if (!service.QueryStatus(status) || status.dwCurrentState == w::kServiceRunning) return;
  logging::Error("ZyraHandler cannot answer: the handler service {0} is not running (state {1}, "
                 "{2}), exit code {3}",
                 name, status.dwCurrentState, ServiceStateWords(status.dwCurrentState),
                 CodeWithText(status.dwWin32ExitCode));
}

}  // namespace

bool RestartHandlerService() {
  platform::ServiceInstaller service(kHandlerServiceName);
  const auto stopped = service.Stop();
  SleepSeconds(5);
  const auto started = service.Start();
  NameAHandlerThatCannotAnswer(service, started);
  return stopped == 0 && started == 0;
}

std::string ParseAvailableVersion(const std::string& text) {
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(text);
  } catch (const std::exception& e) {
    // The parser's message names the position: "parse error at line 1,
    // column 2: ..." (without the library's "[json.exception...] " tag).
    std::string why = e.what();
    const auto tag = why.rfind("[json.exception.", 0) == 0 ? why.find("] ") : std::string::npos;
    if (tag != std::string::npos) why.erase(0, tag + 2);
    throw std::runtime_error("it is not JSON (" + why + ")");
  }
  if (doc.empty()) return std::string();  // null, {} and [] name no version
  if (!doc.is_object())
    throw std::runtime_error(std::string("it is a JSON ") + doc.type_name() + ", not an object");
  const auto it = doc.find("version");
  if (it == doc.end()) throw std::runtime_error("it has no \"version\"");
  if (!it->is_string())
    throw std::runtime_error(std::string("its \"version\" is a ") + it->type_name() +
                             ", not a string");
  return it->get<std::string>();
}

namespace {

// The "version" of the downloaded version manifest. Throws
// std::runtime_error naming the problem when the file cannot be read or its
// text is not a usable version manifest.
std::string ReadAvailableVersion(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) throw std::runtime_error("the file cannot be opened");
  return ParseAvailableVersion(text);
}

}  // namespace

bool UpdateAgent(RunState& run, update::UpdateManager& updateManager) {
  run.installedVersion = GetInstalledAgentVersion();
  if (run.installedVersion.empty())
    logging::Info("No prior ZyraAgent found on the system");
  else
    logging::Info("Current ZyraAgent version is {0}", logging::Escaped(run.installedVersion));

  if (updateManager.DownloadUpdatePackage(update::AgentManifest, run.manifestPath) != 0) {
    logging::Error("Cannot download ZyraAgent version file.");
    run.resultCode = ResultCode::AgentDownloadFailed;
    return false;
  }
  try {
    run.availableVersion = ReadAvailableVersion(run.manifestPath);
  } catch (const std::exception& e) {
    // A version file we cannot use is as good as none: the agent cannot be
    // brought up to date.
    DeleteFileIfExists(run.manifestPath);
    logging::Error("Cannot read ZyraAgent version file: {0}.", logging::Escaped(e.what()));
    logging::Error("Cannot download ZyraAgent version file.");
    run.resultCode = ResultCode::AgentDownloadFailed;
    return false;
  }
  DeleteFileIfExists(run.manifestPath);

  if (CompareVersions(run.availableVersion, run.installedVersion) != 1) {
    logging::Info("ZyraAgent is up to date.");
    bool restarted = false;
    try {
      restarted = RestartHandlerService();
    } catch (const std::exception& e) {
      logging::Error("Cannot restart ZyraHandler: {0}", e.what());
    }
    if (!restarted) {
      run.resultCode = ResultCode::RoomProvisioningFailed;
      return false;
    }
    WriteResultFile(ResultCode::AgentDownloadComplete, false);
    return true;
  }

  // The offered version comes from the server: it is logged escaped.
  const std::string offered = logging::Escaped(run.availableVersion);
  logging::InfoText("Downloading ZyraAgent " + offered);
  // The installer stays held against changes from its validation to its
  // launch.
  platform::win::FileHandle held;
  if (updateManager.DownloadUpdatePackage(update::AgentSetup, run.installerPath, &held) != 0) {
    DeleteFileIfExists(run.installerPath);
    logging::Error("Cannot download ZyraAgent {0}.", offered);
    run.resultCode = ResultCode::AgentDownloadFailed;
    return false;
  }
  WriteResultFile(ResultCode::AgentDownloadComplete, false);
  logging::Info("Installing ZyraAgent version {0}.", offered);
  const auto exitCode = platform::utils::RunInstallerSilently(run.installerPath, std::move(held));
  if (!exitCode) {
    logging::Error("Cannot launch ZyraAgent version {0}", offered);
    run.resultCode = ResultCode::AgentInstallFailed;
    return false;
  }
  logging::Info("ZyraAgent version {0} installed.", offered);
  if (*exitCode == 0) return true;
  logging::Info("Failed to install ZyraAgent version {0}.", offered);
  logging::Info("Install error {0}: {1}", *exitCode, InstallerExitDescription(*exitCode));
  run.resultCode = ResultCode::AgentInstallFailed;
  return false;
}

}  // namespace app
