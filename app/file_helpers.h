#pragma once
// Data folders, download paths and the small file helpers every step uses.
// Paths are Windows-form narrow strings.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
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

// What a folder under the temporary folder is for, and so what makes it
// trustworthy. Either must be a real folder (no junction, symbolic link or
// mount point) owned by SYSTEM, Administrators, TrustedInstaller or the
// program's own account.
enum class FolderUse {
  // "CorvZyra": the exchange folder the handler service shares. The entries
  // it inherits from the temporary folder (which let users add files there)
  // do not count against it.
  Exchange,
  // "CorvZyra\ZHDownload": the program's alone; no other account may change
  // anything in it.
  Download,
};

// Null when the folder is trustworthy for its use, otherwise why not ("is a
// junction or symbolic link", ...); "is missing" when nothing is there,
// "cannot be examined" when its owner and access list cannot be read.
[[nodiscard]] const char* UntrustedFolderReason(const std::string& folder, FolderUse use);

// Makes "CorvZyra" under the temporary folder and "ZHDownload" in it
// trustworthy. A folder that fails its check, or cannot be examined, is
// moved aside (a warning) and made afresh: "CorvZyra" as any folder there
// (with the entries it inherits, so the handler service can use it whatever
// its account), "ZHDownload" with a protected DACL. False, with an error
// line, when that fails: nothing may be downloaded then.
[[nodiscard]] bool PrepareDownloadFolder();

// Deletes every plain file in the download folder except exceptPath. Does
// nothing unless the download folder and "CorvZyra" above it are
// trustworthy; never follows a link.
void CleanupDownloadLocation(const std::string& exceptPath);

// The plain files of a folder (no subfolders, no links or junctions, no
// "." or "..").
[[nodiscard]] std::vector<std::string> ListFiles(const std::string& folder);

// The result and status files in the exchange folder. None of them ever
// works through a junction or symbolic link, at the file or at its folder.
//
// WriteWholeFile that refuses (a warning, false) when the file or its
// folder is a link, and never writes into a file another account owns (made
// there before the run): that file is removed and written afresh (a
// warning), or, when it cannot be removed, not written (a warning, false).
bool WriteExchangeFile(const std::string& path, const std::string& text);
// The most ReadExchangeFile reads of a file: an answer of the handler is one
// short line.
inline constexpr std::size_t kExchangeFileReadLimit = 4096;
// ReadWholeFile that refuses (false, text unchanged) to read through a link.
// A file of more than kExchangeFileReadLimit bytes is not read (one line
// gives its size), so the memory a read takes stays bounded whatever the
// file holds.
[[nodiscard]] bool ReadExchangeFile(const std::string& path, std::string& text);
// DeleteFileIfExists, but nothing is deleted through a link.
void DeleteExchangeFile(const std::string& path);
// Removes the file, never through a link: true when it is gone (or was never
// there); false with the reason otherwise ("is a junction or symbolic link"
// with the link in link, or the system's error in error).
[[nodiscard]] bool RemoveExchangeFile(const std::string& path, std::string& link,
                                      std::uint32_t& error);

// True when the file can be opened for reading.
[[nodiscard]] bool FileExists(const std::string& path);
// Whole file in text mode; false (text unchanged) when it cannot be opened.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& text);
// ReadWholeFile of at most limit bytes (as read, in text mode): a longer file
// is not read (false, text unchanged, tooLong set).
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& text, std::size_t limit,
                                 bool& tooLong);
// Writes text over the file in text mode. False, with the last error, when
// it cannot be opened, or the text cannot be written whole (a short write, a
// failed flush or close): the file, cut by the open, is then removed.
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
