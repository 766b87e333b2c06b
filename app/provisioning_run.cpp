#include "app/provisioning_run.h"

#include <exception>
#include <memory>
#include <string>

#include "app/agent_update.h"
#include "app/file_helpers.h"
#include "app/handler_handoff.h"
#include "app/run_lock.h"
#include "app/token_staging.h"
#include "logging/escape.h"
#include "logging/logger.h"
#include "platform/files.h"
#include "platform/utils/proxy_detector.h"
#include "update/update_manager.h"

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

namespace {

// Steps 1 to 13 of the run: everything up to the final result line.
void RunSteps(RunState& run, std::unique_ptr<update::UpdateManager>& updateManager,
              const RunLock& runLock) {
  const std::int32_t level = logging::ReadLogLevel(kSettingsKey);
  const std::string logPath = GetDataFilePath(kLogFileName);
  logging::InitLogger(logPath, kLoggerName, level);
  runLock.LogHowItWasTaken();

  logging::Info("ProvStub Proxies: {0}", platform::ProxyDetector::DescribeAll());

  run.provisionFolder = GetProvisionFolder();
  run.tokenDestination = run.provisionFolder + "/" + kStagedTokenName;

  // Its construction starts the clean-up of the download folder.
  updateManager = std::make_unique<update::UpdateManager>();

  // Makes the download folder and the exchange folder above it trustworthy
  // before the first result-file write.
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
    return;
  }
  // Whatever an earlier run left for the handler must be gone before the
  // handler can be restarted and answer it.
  RemoveEarlierHandlerStatus();
  if (UpdateAgent(run, *updateManager)) {
    const bool provisioned = HandOffToHandler();
    run.resultCode = provisioned ? run.pendingCode : ResultCode::RoomProvisioningFailed;
  }
}

}  // namespace

ResultCode ProvisioningRun() {
  // Held until the run returns: a second run meanwhile waits for it before
  // it writes anything.
  const RunLock runLock;
  RunState run;
  std::unique_ptr<update::UpdateManager> updateManager;

  // Nothing may end the run without its final result line: anything a step
  // throws, from the set-up on, ends the run as a failed room provisioning.
  try {
    RunSteps(run, updateManager, runLock);
  } catch (const std::exception& e) {
    logging::Error("Provisioning stopped by an unexpected error: {0}", logging::Escaped(e.what()));
    run.resultCode = ResultCode::RoomProvisioningFailed;
  } catch (...) {
    logging::Error("Provisioning stopped by an unexpected error.");
    run.resultCode = ResultCode::RoomProvisioningFailed;
  }

  WriteResultFile(run.resultCode, true);
  logging::Info("CorvZyraProvisionStub completed.");
  logging::Info("provision_result_code {0}", static_cast<unsigned>(run.resultCode));
  logging::InfoText(ResultCodeDescription(run.resultCode));

  updateManager.reset();
  return run.resultCode;
}

}  // namespace app
