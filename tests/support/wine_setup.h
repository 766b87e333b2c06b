#pragma once
// What every Wine machine of a test process shares: the Windows build under
// test and its signing key (checked once), the Wine loader and its tools, and
// the template prefix every machine is a copy of. Also the small host-side
// helpers the Wine machine runs its set-up with.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zyra_test::wine {

// The value of an environment variable ("" when unset).
std::string Env(const char* name);
// A host file's bytes ("" when it cannot be read).
std::string ReadAll(const std::string& path);
// Without trailing line ends and blanks.
std::string Trimmed(std::string s);
// Runs a shell command line; its standard output, or nullopt on a non-zero exit.
std::optional<std::string> Shell(const std::string& command, const std::string& outFile,
                                 double timeoutSeconds = 120);
std::string ShellQuoted(const std::string& s);

struct WineSetup {
  std::string build;
  std::string loader;      // runs the stub (ZYRA_WINE_LOADER)
  std::string toolLoader;  // runs reg, sc, wineboot: wine64 beside the loader when there
  std::string wineserver;
  std::string stub, installer, handler;
  std::string holder;  // zyra-file-holder.exe: built with the Windows tests
  std::string credWriter;  // zyra-cred-writer.exe: built with the Windows tests
  std::string privateKey;
  std::string vendorDomain;
  std::string templatePrefix;
};

// Checks the Windows build of ZYRA_WINDOWS_BUILD and finds its key pair;
// "" or the problem.
std::string Prepare(WineSetup& s);

// The environment of every Wine command of a prefix.
std::map<std::string, std::string> WineEnv(const std::string& prefix);

// Transfers go straight to loopback (or to the scenario's proxy), whatever
// the host's proxy settings.
extern const std::vector<std::string> kUnsetEnv;

// Makes the template prefix once; every test process waits on the lock while
// another one makes it. "" or the problem.
std::string EnsureTemplate(const WineSetup& s);

}  // namespace zyra_test::wine
