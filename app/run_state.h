#pragma once
// What the steps of a run share with the driver and with each other: the
// file and key names, the run's state and the result file. The driver
// (provisioning_run.h) runs the steps; no step includes it.
#include <string>

#include "app/result_code.h"
#include "app/version.h"

namespace app {

inline constexpr const char* kResultFile =
    "C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt";
inline constexpr const char* kStatusFile =
    "C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt";
// The handler service, which the run restarts and which answers in the
// status file.
inline constexpr const char16_t* kHandlerServiceName = u"CorvZyraHandler";
inline constexpr const char* kLogFileName = "CorvZyraProvisionStub.log";
inline constexpr const char* kLoggerName = "__zyra_stub_logger___";
inline constexpr const char* kSettingsKey = "Software\\Corvane\\CorvZyraStub";
inline constexpr const char* kInstallerName = "CorvZyraAgent-Setup";
inline constexpr const char* kInstallerExtension = ".exe";
inline constexpr const char* kManifestName = "CorvZyraAgent-Setup.exe";
inline constexpr const char* kManifestExtension = ".manifest";

// State of one run, owned by ProvisioningRun for its whole duration.
struct RunState {
  ResultCode resultCode = ResultCode::RoomProvisioned;
  ResultCode pendingCode = ResultCode::RoomProvisioned;
  std::string ownVersion;
  std::string provisionFolder;
  std::string tokenSource;
  std::string tokenDestination;
  std::string installerPath;
  std::string manifestPath;
  std::string installedVersion;
  std::string availableVersion;
};

// Writes the one line of the result file: the code alone (interim) or
// "provision_result_code: <code>" (final). The outcome is ignored.
void WriteResultFile(ResultCode code, bool final);

}  // namespace app
