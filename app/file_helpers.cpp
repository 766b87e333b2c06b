#include "app/file_helpers.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "logging/logger.h"
#include "platform/clock.h"
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

std::string MakeTempDownloadPath(const std::string& name, const std::string& extension) {
  const std::string folder = GetDownloadFolder();
  w::SHCreateDirectoryExA(folder);
  // Two calls within one millisecond would give the same name (the package
  // and its signature would share one file), so each call takes a stamp
  // above the previous one.
  static std::atomic<std::int64_t> lastStamp{0};
  std::int64_t stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  std::int64_t previous = lastStamp.load();
  do {
    if (stamp <= previous) stamp = previous + 1;
  } while (!lastStamp.compare_exchange_weak(previous, stamp));
  if (!name.empty() || !extension.empty())
    return folder + "\\" + name + "-" + std::to_string(stamp) + extension;
  return folder + "\\" + "Installer-" + std::to_string(stamp) + extension;
}

void CleanupDownloadLocation(const std::string& exceptPath) {
  if (!exceptPath.empty()) logging::Info("CleanupDownloadLocation except {0}", exceptPath);
  const std::string folder = GetDownloadFolder();
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
    if ((data.dwFileAttributes & w::kFileAttributeDirectory) != 0) continue;
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

bool WriteWholeFile(const std::string& path, const std::string& text) {
  if (path.empty()) return false;
  w::FilePtr f = w::OpenFile(path, "w");
  if (!f) return false;
  std::fwrite(text.data(), 1, text.size(), f.get());
  return true;
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
