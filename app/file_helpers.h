#pragma once
// Data folders, download paths and the small file helpers every step uses.
// Paths are Windows-form narrow strings.
#include <functional>
#include <string>
#include <vector>

namespace app {

inline constexpr const char* kDataSubfolder = "Corvane\\CorvZyra";
inline constexpr const char* kExchangeSubfolder = "CorvZyra";
inline constexpr const char* kDownloadSubfolder = "ZHDownload";

// A file in the data folder (created here); the file name alone when the
// machine-wide application-data folder cannot be resolved.
[[nodiscard]] std::string GetDataFilePath(const std::string& fileName);

// The download folder: temporary folder + "CorvZyra\ZHDownload" (not created).
[[nodiscard]] std::string GetDownloadFolder();

// A fresh path in the download folder (the folder is made trustworthy, see
// PrepareDownloadFolder): name-<ms since 1970>ext, or Installer-<ms>ext
// when both are empty.
[[nodiscard]] std::string MakeTempDownloadPath(const std::string& name,
                                               const std::string& extension);

// A folder the program may trust: a real folder (no junction, symbolic link
// or mount point), owned by SYSTEM, Administrators or the program's own
// account, that no other account may change. Null when it is one, otherwise
// why not ("is a junction or symbolic link", ...); "is missing" when nothing
// is there.
[[nodiscard]] const char* UntrustedFolderReason(const std::string& folder);

// Makes "CorvZyra" under the temporary folder and "ZHDownload" in it
// trustworthy: a missing one is created with a protected DACL; one that
// fails the checks is moved aside (a warning) and created afresh. False,
// with an error line, when that fails: nothing may be downloaded then.
[[nodiscard]] bool PrepareDownloadFolder();

// Deletes every plain file in the download folder except exceptPath. Does
// nothing unless the download folder and "CorvZyra" above it are
// trustworthy; never follows a link.
void CleanupDownloadLocation(const std::string& exceptPath);

// The plain files of a folder (no subfolders, no links or junctions, no
// "." or "..").
[[nodiscard]] std::vector<std::string> ListFiles(const std::string& folder);

// WriteWholeFile for the result and status files: refuses (a warning,
// false) when the file or its folder is a junction or symbolic link, so the
// write never lands elsewhere.
bool WriteExchangeFile(const std::string& path, const std::string& text);

// True when the file can be opened for reading.
[[nodiscard]] bool FileExists(const std::string& path);
// Whole file in text mode; false (text unchanged) when it cannot be opened.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& text);
// Writes text over the file in text mode; false when it cannot be opened.
bool WriteWholeFile(const std::string& path, const std::string& text);
void DeleteFileIfExists(const std::string& path);

[[nodiscard]] bool StringEquals(const std::string& a, const std::string& b, bool ignoreCase);
[[nodiscard]] std::vector<std::string> Tokenize(const std::string& text,
                                                const std::string& delimiters);

// Sleeps the whole number of seconds (nothing when not positive). Tests
// replace the sleeper through platform::win::SetSleepHookForTesting.
void SleepSeconds(double seconds);

// Tests replace the listing used by the clean-up (to make it slow or
// observe it); an empty function restores ListFiles.
using Lister = std::function<std::vector<std::string>(const std::string& folder)>;
void SetCleanupListerForTesting(Lister lister);

}  // namespace app
