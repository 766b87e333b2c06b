#include "platform/utils/installer_launch.h"

#include "logging/logger.h"
#include "platform/files.h"
#include "platform/process.h"

namespace platform::utils {

std::optional<std::int32_t> RunInstallerSilently(const std::string& path) {
  return RunInstallerSilently(path, win::FileHandle());
}

std::optional<std::int32_t> RunInstallerSilently(const std::string& path, win::FileHandle held) {
  static const char* const kOrigin = "platform::utils::RunInstallerSilently";
  if (path.empty() || !win::OpenFile(path, "r")) return std::nullopt;

  win::ShellExecuteInfo info;
  info.fMask = win::kSeeMaskNoCloseProcess | win::kSeeMaskFlagNoUi;
  info.lpVerb = "open";
  info.lpFile = path;
  info.lpParameters = "/S";
  info.nShow = win::kSwHide;
  const win::BOOL launched = win::ShellExecuteExA(info);
  const win::ProcessHandle process(info.hProcess);
  // Once its process exists the installer's image is in use and cannot be
  // replaced any more.
  held.reset();
  if (!launched) {
    logging::Warn("[{0}] - Failed to launch {1}", kOrigin, path);
    return std::nullopt;
  }
  std::int32_t exitCode = -1;
  if (!process.valid()) {
    logging::Warn("[{0}] - Process handle is not valid", kOrigin);
    return std::nullopt;
  }
  if (win::WaitForSingleObject(process.get(), win::kInfinite) != win::kWaitObject0) {
    logging::Warn("[{0}] - Wait object", kOrigin);
    return std::nullopt;
  }
  win::DWORD code = 0;
  if (win::GetExitCodeProcess(process.get(), &code)) {
    exitCode = static_cast<std::int32_t>(code);
    logging::Info("[{0}] - ZyraAgent installation completed. Return code: {1}", kOrigin, exitCode);
  } else {
    logging::Warn("[{0}] - Failed to get return code", kOrigin);
  }
  return exitCode;
}

}  // namespace platform::utils
