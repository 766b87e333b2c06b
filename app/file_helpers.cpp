#include "app/file_helpers.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/file_security.h"
#include "platform/files.h"
#include "platform/shell.h"

namespace app {
namespace w = platform::win;

namespace {

std::mutex g_hooksMutex;
Lister g_lister;

std::string TempPath() {
  std::string temp;
  w::GetTempPathA(temp);
  return temp;
}

}  // namespace

std::string GetDataFilePath(const std::string& fileName) {
  std::string common;
  if (w::SHGetFolderPathA(w::kCsidlCommonAppData, common) != w::kSOk) return fileName;
  const std::string folder = common + "\\" + kDataSubfolder;
  w::SHCreateDirectoryExA(folder);
  return folder + "\\" + fileName;
}

std::string GetDownloadFolder() {
  return TempPath() + kExchangeSubfolder + "\\" + kDownloadSubfolder;
}

namespace {

// Milliseconds since 1970, above every stamp given out before in this
// process: two calls within one millisecond would otherwise give the same
// name (a package and its signature would share one file).
std::int64_t NextStamp() {
  static std::atomic<std::int64_t> lastStamp{0};
  std::int64_t stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  std::int64_t previous = lastStamp.load();
  do {
    if (stamp <= previous) stamp = previous + 1;
  } while (!lastStamp.compare_exchange_weak(previous, stamp));
  return stamp;
}

const char* ReasonOf(const w::FolderInfo& info, FolderUse use) {
  if ((info.attributes & w::kFileAttributeReparsePoint) != 0)
    return "is a junction or symbolic link";
  if ((info.attributes & w::kFileAttributeDirectory) == 0) return "is not a folder";
  if (!info.ownerTrusted) return "is owned by another account";
  if (use == FolderUse::Download && info.othersMayWrite) return "can be changed by other accounts";
  return nullptr;
}

const char* ReasonOf(w::DWORD inspected, const w::FolderInfo& info, FolderUse use) {
  if (inspected == w::kErrorFileNotFound || inspected == w::kErrorPathNotFound) return "is missing";
  if (inspected != w::kErrorSuccess) return "cannot be examined";
  return ReasonOf(info, use);
}

std::mutex g_prepareMutex;

// One folder of the download path: kept when trustworthy for its use,
// otherwise moved aside; then made when missing.
bool PrepareFolder(const std::string& folder, FolderUse use) {
  w::FolderInfo info;
  const w::DWORD rc = w::InspectFolder(folder, info);
  if (rc != w::kErrorFileNotFound && rc != w::kErrorPathNotFound) {
    // Whatever cannot be examined is moved aside as well: whoever may delete
    // in the temporary folder may rename it, whatever its own access list.
    const char* reason = ReasonOf(rc, info, use);
    if (reason == nullptr) return true;
    const std::string aside = folder + ".untrusted-" + std::to_string(NextStamp());
    if (!w::MoveFileExA(folder, aside, 0)) {
      logging::Error("Cannot use folder {0}: it {1} and cannot be moved aside (error {2}).",
                     folder, reason, w::GetLastError());
      return false;
    }
    logging::Warn("Folder {0} {1}: moved aside to {2}; a new one is made.", folder, reason, aside);
  }
  // The exchange folder is made as any folder there, with the entries it
  // inherits, so that the handler service can use it whatever its account;
  // the download folder with a protected DACL from the start.
  const w::BOOL made = use == FolderUse::Exchange ? w::CreateDirectoryA(folder)
                                                  : w::CreateProtectedDirectoryA(folder);
  if (!made && w::GetLastError() != w::kErrorAlreadyExists) {
    logging::Error("Cannot create folder {0} (error {1}).", folder, w::GetLastError());
    return false;
  }
  if (const char* reason = UntrustedFolderReason(folder, use)) {
    logging::Error("Cannot use folder {0}: it {1}.", folder, reason);
    return false;
  }
  return true;
}

}  // namespace

const char* UntrustedFolderReason(const std::string& folder, FolderUse use) {
  w::FolderInfo info;
  const w::DWORD rc = w::InspectFolder(folder, info);
  return ReasonOf(rc, info, use);
}

bool PrepareDownloadFolder() {
  std::lock_guard<std::mutex> lock(g_prepareMutex);
  const std::string temp = TempPath();
  if (temp.empty()) {
    logging::Error("Cannot use the download folder: there is no temporary folder.");
    return false;
  }
  // The temporary folder itself is the system's; only a missing one is made.
  w::FolderInfo info;
  if (w::InspectFolder(temp, info) != w::kErrorSuccess) w::SHCreateDirectoryExA(temp);
  return PrepareFolder(temp + kExchangeSubfolder, FolderUse::Exchange) &&
         PrepareFolder(GetDownloadFolder(), FolderUse::Download);
}

std::string MakeTempDownloadPath(const std::string& name, const std::string& extension) {
  const std::string folder = GetDownloadFolder();
  (void)PrepareDownloadFolder();  // the downloads check it again and fail without it
  const std::int64_t stamp = NextStamp();
  if (!name.empty() || !extension.empty())
    return folder + "\\" + name + "-" + std::to_string(stamp) + extension;
  return folder + "\\" + "Installer-" + std::to_string(stamp) + extension;
}

void CleanupDownloadLocation(const std::string& exceptPath) {
  if (!exceptPath.empty()) logging::Info("CleanupDownloadLocation except {0}", exceptPath);
  const std::string folder = GetDownloadFolder();
  // A folder someone else controls (or a link to one) is not ours to empty:
  // its files may be anybody's.
  if (UntrustedFolderReason(TempPath() + kExchangeSubfolder, FolderUse::Exchange) != nullptr ||
      UntrustedFolderReason(folder, FolderUse::Download) != nullptr)
    return;
  Lister lister;
  {
    std::lock_guard<std::mutex> lock(g_hooksMutex);
    lister = g_lister;
  }
  const std::vector<std::string> names = lister ? lister(folder) : ListFiles(folder);
  for (const std::string& name : names) {
    const std::string full = folder + "\\" + name;
    if (StringEquals(full, exceptPath, true)) continue;
    if (!exceptPath.empty()) logging::Info("Removing {0}", full);
    if (FileExists(full)) w::DeleteFileA(full);
  }
}

std::vector<std::string> ListFiles(const std::string& folder) {
  std::vector<std::string> names;
  w::FindData data;
  w::FindHandle h = w::FindFirstFileA(folder + "\\*.*", data);
  if (!h.valid()) return names;
  do {
    if ((data.dwFileAttributes & (w::kFileAttributeDirectory | w::kFileAttributeReparsePoint)) != 0)
      continue;
    if (StringEquals(data.cFileName, ".", true) || StringEquals(data.cFileName, "..", true))
      continue;
    names.push_back(data.cFileName);
  } while (w::FindNextFileA(h, data));
  return names;
}

bool FileExists(const std::string& path) {
  if (path.empty()) return false;
  return w::OpenFile(path, "r") != nullptr;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  if (path.empty()) return false;
  w::FilePtr f = w::OpenFile(path, "r");
  if (!f) return false;
  std::string content;
  char buf[16 * 1024];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) content.append(buf, n);
  text.swap(content);
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& text, std::size_t limit,
                   bool& tooLong) {
  tooLong = false;
  if (path.empty()) return false;
  w::FilePtr f = w::OpenFile(path, "r");
  if (!f) return false;
  // One byte more than the limit tells a longer file; nothing beyond is read.
  std::string content(limit + 1, '\0');
  std::size_t got = 0;
  std::size_t n;
  while (got < content.size() &&
         (n = std::fread(&content[got], 1, content.size() - got, f.get())) > 0)
    got += n;
  if (got > limit) {
    tooLong = true;
    return false;
  }
  content.resize(got);
  text.swap(content);
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  if (path.empty()) return false;
  w::FilePtr f = w::OpenFile(path, "w");
  if (!f) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  if (w::CloseFile(f) && written) return true;
  // What was opened is already cut: a file that holds only part of the text
  // must not be read as if it were whole (a shorter code, half a status).
  // No file at all is what every reader knows as "nothing yet".
  const w::DWORD error = w::GetLastError();
  w::DeleteFileA(path);
  w::SetLastError(error);
  return false;
}

namespace {

// The exchange file's folder, or the file itself, when it is a junction or
// symbolic link; empty when neither is.
std::string LinkOnTheWay(const std::string& path) {
  const auto sep = path.find_last_of("\\/");
  const std::string folder = sep == std::string::npos ? std::string() : path.substr(0, sep);
  for (const std::string& entry : {folder, path}) {
    w::FolderInfo info;
    if (!entry.empty() && w::InspectFolder(entry, info) == w::kErrorSuccess &&
        (info.attributes & w::kFileAttributeReparsePoint) != 0)
      return entry;
  }
  return std::string();
}

// False (with the warning when one is given) when the exchange file or its
// folder is a junction or symbolic link.
bool NoLinkOnTheWay(const std::string& path, const char* warning) {
  const std::string link = LinkOnTheWay(path);
  if (link.empty()) return true;
  if (warning != nullptr) logging::Warn(warning, link, path);
  return false;
}

}  // namespace

bool WriteExchangeFile(const std::string& path, const std::string& text) {
  if (!NoLinkOnTheWay(path, "{0} is a junction or symbolic link: {1} is not written.")) return false;
  // A file another account made there before the run stays that account's
  // to change: never write into it, make a new one of our own.
  w::FolderInfo info;
  if (w::InspectFolder(path, info) == w::kErrorSuccess &&
      (info.attributes & w::kFileAttributeDirectory) == 0 && !info.ownerTrusted) {
    if (!w::DeleteFileA(path)) {
      logging::Warn("{0} is owned by another account and cannot be removed (error {1}): it is not "
                    "written.",
                    path, w::GetLastError());
      return false;
    }
    logging::Warn("{0} was owned by another account: it is removed and written afresh.", path);
  }
  return WriteWholeFile(path, text);
}

bool ReadExchangeFile(const std::string& path, std::string& text) {
  if (!NoLinkOnTheWay(path, nullptr)) return false;
  bool tooLong = false;
  if (ReadWholeFile(path, text, kExchangeFileReadLimit, tooLong)) return true;
  if (tooLong) {
    w::FolderInfo info;
    if (w::InspectFolder(path, info) == w::kErrorSuccess)
      logging::Warn("{0} holds {1} bytes, more than the {2} an answer can be: it is not read.",
                    path, info.size, kExchangeFileReadLimit);
    else
      logging::Warn("{0} holds more than the {1} bytes an answer can be: it is not read.", path,
                    kExchangeFileReadLimit);
  }
  return false;
}

void DeleteExchangeFile(const std::string& path) {
  if (NoLinkOnTheWay(path, nullptr)) DeleteFileIfExists(path);
}

bool RemoveExchangeFile(const std::string& path, std::string& link, std::uint32_t& error) {
  error = 0;
  link = LinkOnTheWay(path);
  if (!link.empty()) return false;
  if (w::DeleteFileA(path)) return true;
  error = w::GetLastError();
  return error == w::kErrorFileNotFound || error == w::kErrorPathNotFound;
}

void DeleteFileIfExists(const std::string& path) {
  if (!path.empty() && FileExists(path)) w::DeleteFileA(path);
}

bool StringEquals(const std::string& a, const std::string& b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  if (!ignoreCase) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    const auto lx = (x >= 'A' && x <= 'Z') ? x + 32 : x;
    const auto ly = (y >= 'A' && y <= 'Z') ? y + 32 : y;
    if (lx != ly) return false;
  }
  return true;
}

std::vector<std::string> Tokenize(const std::string& text, const std::string& delimiters) {
  std::vector<std::string> pieces;
  if (text.empty() || delimiters.empty()) return pieces;
  std::string cur;
  for (char c : text) {
    if (delimiters.find(c) != std::string::npos) {
      if (!cur.empty()) pieces.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) pieces.push_back(cur);
  return pieces;
}

void SleepSeconds(double seconds) {
  if (!(seconds > 0)) return;
  const int whole = static_cast<int>(seconds);
  if (whole <= 0) return;
  w::Sleep(static_cast<w::DWORD>(whole) * 1000u);
}

void SetCleanupListerForTesting(Lister lister) {
  std::lock_guard<std::mutex> lock(g_hooksMutex);
  g_lister = std::move(lister);
}

}  // namespace app
