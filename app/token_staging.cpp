#include "app/token_staging.h"

#include <algorithm>
#include <cstdio>

#include "app/file_helpers.h"
#include "logging/logger.h"
#include "platform/file_security.h"
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

bool GetProgramPath(std::string& path) {
  // The narrow call cuts a name that does not fit its buffer and returns the
  // buffer's size: the buffer grows until the name fits, up to the longest
  // path Windows gives.
  w::DWORD size = w::kMaxPath;
  for (;;) {
    std::string got;
    const w::DWORD n = w::GetModuleFileNameA(got, size);
    if (n == 0) return false;
    if (n < size) {
      path = got;
      return true;
    }
    if (size > kLongestPath) return false;
    size = std::min<w::DWORD>(size * 2, kLongestPath + 1);
  }
}

bool FindProvisionToken(std::string& tokenSource) {
  std::string self;
  if (!GetProgramPath(self)) {
    logging::Error("Cannot get the program's own path (error {0}).", w::GetLastError());
    return false;
  }
  const auto cut = self.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? self : self.substr(0, cut);
  const std::string candidate = folder + "\\" + kTokenFileName;
  // Only the program's own folder is looked in: a token path the file
  // functions cannot open is not looked for anywhere else.
  if (candidate.size() >= w::kMaxPath) {
    logging::Error("Cannot look for the token beside the program: {0} is {1} characters long, more "
                   "than the {2} the file functions can open.",
                   candidate, candidate.size(), w::kMaxPath - 1);
    return false;
  }
  // Only a file is a token: a folder, or a junction or symbolic link (to
  // whatever it may point at), is not.
  w::FolderInfo info;
  if (w::InspectFolder(candidate, info) == w::kErrorSuccess) {
    const char* what = (info.attributes & w::kFileAttributeReparsePoint) != 0
                           ? "a junction or symbolic link"
                           : (info.attributes & w::kFileAttributeDirectory) != 0 ? "a folder"
                                                                                 : nullptr;
    if (what != nullptr) {
      logging::Error("{0} is {1}, not a file: it is not taken as the token.",
                     candidate, what);
      return false;
    }
  }
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
  // The token is read through a handle on the file itself, never through a
  // link, and held against writing while it is copied.
  const w::FileHandle in =
      w::CreateFileA(source, w::kGenericRead, w::kFileShareRead, w::kOpenExisting,
                     w::kFileFlagOpenReparsePoint);
  if (!in.valid()) {
    logging::Error("Cannot read the token {0}: error {1}.", source,
                   w::GetLastError());
    return false;
  }
  // Copied whole beside the staged token and put in its place in one step:
  // a copy that fails leaves the earlier staged token as it was.
  const std::string partial = destination + kPartialSuffix;
  w::FilePtr out = w::OpenFile(partial, "wb");
  if (!out) {
    logging::Error("Cannot write the token to {0}: error {1}.", partial, w::GetLastError());
    return false;
  }
  enum class Failed { kNothing, kRead, kWrite, kEmpty, kReplace };
  Failed failed = Failed::kNothing;
  w::DWORD error = 0;
  char buf[64 * 1024];
  std::size_t total = 0;
  for (;;) {
    w::DWORD n = 0;
    if (!w::ReadFile(in, buf, sizeof buf, &n)) {
      failed = Failed::kRead;
      error = w::GetLastError();
      break;
    }
    if (n == 0) break;
    if (std::fwrite(buf, 1, n, out.get()) != n) break;  // the flush below names the error
    total += n;
  }
  if (failed == Failed::kNothing && !w::FlushFileBuffers(out.get())) {
    failed = Failed::kWrite;
    error = w::GetLastError();
  }
  if (!w::CloseFile(out) && failed == Failed::kNothing) {
    failed = Failed::kWrite;
    error = w::GetLastError();
  }
  if (failed == Failed::kNothing && total == 0) failed = Failed::kEmpty;
  if (failed == Failed::kNothing &&
      !w::MoveFileExA(partial, destination, w::kMoveFileReplaceExisting | w::kMoveFileWriteThrough)) {
    failed = Failed::kReplace;
    error = w::GetLastError();
  }
  if (failed == Failed::kNothing) return true;
  w::DeleteFileA(partial);
  switch (failed) {
    case Failed::kRead:
      logging::Error("Cannot read the token {0}: error {1}.", source, error);
      break;
    case Failed::kWrite:
      logging::Error("Cannot write the token to {0}: error {1}.", partial, error);
      break;
    case Failed::kEmpty:
      logging::Error("The token {0} is empty: there is nothing to stage.", source);
      break;
    default:
      logging::Error("Cannot put the token in place of {0}: error {1}.", destination, error);
      break;
  }
  return false;
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
