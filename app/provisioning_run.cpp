#include "app/provisioning_run.h"

#include <string>

#include "app/file_helpers.h"
#include "app/handler_handoff.h"
#include "app/token_staging.h"
#include "logging/logger.h"

namespace app {

const char* ResultCodeDescription(ResultCode code) {
  switch (code) {
    case ResultCode::RoomProvisioned: return "Room successfully provisioned";
    case ResultCode::AgentDownloadComplete: return "zyra agent download complete";
    case ResultCode::ProvisioningInProgress: return "provisioning in progress";
    case ResultCode::TokenNotFound: return "Provisioning Token not found";
    case ResultCode::AgentDownloadFailed: return "Zyraagent Download failed";
    case ResultCode::AgentInstallFailed: return "Zyraagent Installation failed";
    case ResultCode::RoomProvisioningFailed: return "Room provisioning failed";
  }
  return "UNKNOWN";
}

void WriteResultFile(ResultCode code, bool final) {
  std::string text = std::to_string(static_cast<unsigned>(code));
  if (final) text = "provision_result_code: " + text;
  text += "\n";
  WriteWholeFile(kResultFile, text);
}

ResultCode ProvisioningRun() {
  RunState run;

  const std::int32_t level = logging::ReadLogLevel(kSettingsKey);
  const std::string logPath = GetDataFilePath(kLogFileName);
  logging::InitLogger(logPath, kLoggerName, level);

  // TODO(proxy issue): log "ProvStub Proxies: {0}" with ProxyDetector::DescribeAll here.

  run.provisionFolder = GetProvisionFolder();
  run.tokenDestination = run.provisionFolder + "/" + kStagedTokenName;

  // TODO(update manager issue): create the UpdateManager here; its
  // construction starts the clean-up of the download folder.

  run.installerPath = MakeTempDownloadPath(kInstallerName, kInstallerExtension);
  run.manifestPath = MakeTempDownloadPath(kManifestName, kManifestExtension);

  run.ownVersion = std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                   std::to_string(kVersionBuild);
  logging::Info("Running CorvZyraProvisionStub version {0}", run.ownVersion);

  logging::Info("Result {0} is written to {1}",
                std::to_string(static_cast<unsigned>(ResultCode::ProvisioningInProgress)),
                kResultFile);
  WriteResultFile(ResultCode::ProvisioningInProgress, false);

  if (!StageProvisionToken(run)) {
    run.resultCode = ResultCode::TokenNotFound;
  } else {
    // TODO(agent step issue): UpdateAgent (run) goes here; it ends the run
    // with 123, 124 or 125, or writes the interim 8 and continues.
    const bool provisioned = HandOffToHandler();
    run.resultCode = provisioned ? run.pendingCode : ResultCode::RoomProvisioningFailed;
  }

  WriteResultFile(run.resultCode, true);
  logging::Info("CorvZyraProvisionStub completed.");
  logging::Info("provision_result_code {0}", static_cast<unsigned>(run.resultCode));
  logging::InfoText(ResultCodeDescription(run.resultCode));

  // TODO(update manager issue): the UpdateManager is destroyed here.
  return run.resultCode;
}

}  // namespace app
