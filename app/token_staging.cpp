#include "app/token_staging.h"

#include <cstdio>

#include "app/file_helpers.h"
#include "logging/logger.h"
#include "platform/files.h"
#include "platform/shell.h"

namespace app {
namespace w = platform::win;

std::string GetProvisionFolder() {
  std::string path;
  if (w::SHGetFolderPathA(w::kCsidlCommonAppData, path) == w::kSOk)
    return path + "\\" + kDataSubfolder;
  if (w::SHGetFolderPathA(w::kCsidlAppData, path) == w::kSOk)
    return path + "\\" + kDataSubfolder;
  return std::string();
}

bool FindProvisionToken(std::string& tokenSource) {
  std::string self;
  w::GetModuleFileNameA(self);
  const auto cut = self.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? self : self.substr(0, cut);
  const std::string candidate = folder + "\\" + kTokenFileName;
  if (!FileExists(candidate)) return false;
  tokenSource = candidate;
  return true;
}

bool CreateProvisionFolder(const std::string& folder) {
  const auto cut = folder.find_last_of("\\/");
  const std::string parent = cut == std::string::npos ? folder : folder.substr(0, cut);
  if (!w::CreateDirectoryA(parent) && w::GetLastError() != w::kErrorAlreadyExists) return false;
  if (!w::CreateDirectoryA(folder) && w::GetLastError() != w::kErrorAlreadyExists) return false;
  return true;
}

bool CopyToken(const std::string& source, const std::string& destination) {
  w::FilePtr in = w::OpenFile(source, "rb");
  w::FilePtr out = w::OpenFile(destination, "wb");
  if (!in || !out) return false;
  char buf[64 * 1024];
  std::size_t total = 0;
  std::size_t n;
  bool writeFailed = false;
  while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0) {
    if (std::fwrite(buf, 1, n, out.get()) != n) {
      writeFailed = true;
      break;
    }
    total += n;
  }
  const bool readFailed = std::ferror(in.get()) != 0;
  const bool flushFailed = std::fflush(out.get()) != 0 || std::ferror(out.get()) != 0;
  // Copying nothing at all counts as a failure, as a stream transfer of an
  // empty source fails.
  return total > 0 && !readFailed && !writeFailed && !flushFailed;
}

bool ConfirmCopiedToken() {
  return FileExists(GetProvisionFolder() + "\\" + kStagedTokenName);
}

bool StageProvisionToken(RunState& run) {
  if (!FindProvisionToken(run.tokenSource)) {
    logging::Error("Cannot find provision token.");
    return false;
  }
  if (!CreateProvisionFolder(run.provisionFolder)) {
    logging::Error("Cannot create provision folder.");
    return false;
  }
  if (!CopyToken(run.tokenSource, run.tokenDestination)) {
    logging::Error("Cannot copy token to provision folder.");
    return false;
  }
  if (!ConfirmCopiedToken()) {
    logging::Error("Cannot find copied provision token.");
    run.pendingCode = ResultCode::TokenNotFound;
  }
  return true;
}

}  // namespace app
