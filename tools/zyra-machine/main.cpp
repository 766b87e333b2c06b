// zyra-machine: lays out a fresh emulated Windows machine with the builder of
// the whole-run tests, runs the provisioning stub in it and reports the run.
//
//   zyra-machine --root FOLDER [--log-level N] [--installed-agent VERSION]
//                [--offer-agent VERSION [--installer-exit N]]
//                [--handler-service ARGS] [--token TEXT]
//                [--real-clock] [--times FILE] [--build DIR]
//
// FOLDER must be missing or empty; the machine stays there after the run.
// --offer-agent serves a signed installer double and its version manifest
// from zyra-update-server on loopback for the stub's run and points
// "zyra-config.json" at it. --handler-service installs the handler double as
// the "CorvZyraHandler" service with these arguments (one string, split at
// spaces; write it as --handler-service=...). The stub runs under libfaketime
// (x100) or, with --real-clock, on the real clock; --times writes the real
// time (ns since the epoch) of its start and of its end. Standard output
// shows the server's requests, the handler's output, the log, the installed
// agent version, the exit code and the result file; the exit code is the
// stub's (1 when it did not end within 90 s).
//
// The programs (the stub, the doubles, zyra-update-server, zyra-sign) and
// the development key packages are signed with are those of the build this
// zyra-machine belongs to: the build folder two levels above its own file
// (<build>/tools/zyra-machine/zyra-machine), wherever that folder has been
// copied or moved; --build DIR names another build folder.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/machine.h"
#include "tools/cli/tool_cli.h"

namespace fs = std::filesystem;

namespace {

std::int64_t RealTimeNanoseconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::vector<std::string> SplitAtSpaces(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The last "DisplayVersion" line of the emulated registry.
std::string InstalledAgentLine(const std::string& registry) {
  std::istringstream in(WithoutCarriageReturns(registry));
  std::string found;
  for (std::string line; std::getline(in, line);)
    if (line.find("DisplayVersion") != std::string::npos) found = line;
  return found;
}

void Section(const std::string& title, const std::string& text) {
  std::cout << "\n== " << title << " ==\n" << text;
  if (!text.empty() && text.back() != '\n') std::cout << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Lays out a fresh emulated Windows machine, runs the provisioning stub in it and "
               "reports the run.",
               "zyra-machine"};
  zyra_tools::SetUpTool(app);
  std::string root;
  std::optional<int> logLevel;
  std::string installedAgent, offeredAgent, timesFile;
  std::optional<std::string> handler, tokenText;
  int installerExit = 0;
  bool realClock = false;
  app.add_option("--root", root, "Folder of the machine (missing or empty; kept)")->required();
  app.add_option("--log-level", logLevel, "\"log_level\" in the registry (0 trace .. 6 off)")
      ->check(CLI::Range(0, 6));
  app.add_option("--installed-agent", installedAgent, "Installed agent version (\"DisplayVersion\")");
  app.add_option("--offer-agent", offeredAgent, "Agent version the update server offers");
  app.add_option("--installer-exit", installerExit, "Exit code of the offered installer double");
  app.add_option("--handler-service", handler,
                 "Install the handler double as the CorvZyraHandler service with these arguments");
  app.add_option("--token", tokenText, "Provisioning token beside the program");
  app.add_flag("--real-clock", realClock, "Run the stub on the real clock (not libfaketime x100)");
  app.add_option("--times", timesFile, "Write the real start and end time of the stub's run");
  std::string build;
  app.add_option("--build", build,
                 "Build folder whose programs and development key to use (default: the one "
                 "this zyra-machine belongs to)");
  int exitCode = 0;
  if (!zyra_tools::ParseArguments(app, argc, argv, exitCode)) return exitCode;

  std::error_code ec;
  const fs::path rootPath = fs::absolute(root, ec);
  if (ec || (fs::exists(rootPath) && !(fs::is_directory(rootPath) && fs::is_empty(rootPath))))
    return zyra_tools::UsageError(app, "--root " + root + " is neither missing nor an empty folder");
  if (installerExit != 0 && offeredAgent.empty())
    return zyra_tools::UsageError(app, "--installer-exit needs --offer-agent");
  if (build.empty()) {
    // <build>/tools/zyra-machine/zyra-machine, wherever the build folder is now.
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return zyra_tools::UsageError(app, "cannot find its own file: give --build DIR");
    build = self.parent_path().parent_path().parent_path().string();
  }
  const zyra_test::MachinePrograms programs = zyra_test::MachineProgramsOf(build);
  const std::vector<std::string> missing =
      zyra_test::MissingPrograms(programs, !offeredAgent.empty());
  if (!missing.empty()) {
    std::string names;
    for (const std::string& m : missing) names += "\n  " + m;
    return zyra_tools::UsageError(app, "the build folder " + build + " lacks:" + names +
                                           "\n(--build DIR names a build folder)");
  }
  zyra_test::UseMachinePrograms(programs);

  std::cout << "== Programs of the build " << build << " ==\n";
  std::cout << "== Creating a fresh emulated machine in " << rootPath.string() << " ==\n";
  zyra_test::EmulatedMachine m(rootPath.string());
  if (logLevel) m.SetLogLevel(*logLevel);
  if (!installedAgent.empty()) m.SetInstalledAgentVersion(installedAgent);
  if (!offeredAgent.empty()) {
    std::cout << "== Publishing ZyraAgent " << offeredAgent
              << " (installer double, signed with the development key) ==\n";
    m.OfferAgent(offeredAgent, installerExit);
  }
  if (handler) {
    std::cout << "== Installing the handler double as the CorvZyraHandler service ==\n";
    m.InstallHandlerService(SplitAtSpaces(*handler));
  }
  m.InstallStub();
  if (tokenText) m.PutToken(*tokenText + "\n");
  if (realClock) m.RunOnRealClock();

  std::cout << "== Running C:\\Program Files\\CorvZyra\\CorvZyraProvisionStub ("
            << (realClock ? "real clock" : "clock x100") << ") ==\n"
            << std::flush;
  const std::int64_t start = RealTimeNanoseconds();
  const zyra_test::StubRun run = m.RunStub();
  const std::int64_t end = RealTimeNanoseconds();
  if (!timesFile.empty()) std::ofstream(timesFile) << start << " " << end << "\n";

  const std::string& r = m.root();
  Section("Update server requests", m.ReadFile(r + "/server.log"));
  Section("Handler service said", m.ReadFile(r + "/handler.out"));
  Section("Log: C:\\ProgramData\\Corvane\\CorvZyra\\CorvZyraProvisionStub.log",
          WithoutCarriageReturns(m.ReadFile(m.LogFile())));
  Section("Installed agent (registry)", InstalledAgentLine(m.ReadFile(r + "/registry.reg")));
  std::cout << "\n== Exit code: " << run.exitCode << " ==\n";
  std::cout << "== Result file: C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt ==\n"
            << WithoutCarriageReturns(m.ReadFile(m.ResultFile())) << std::flush;
  if (run.exitCode < 0) {
    std::cerr << "zyra-machine: the stub did not end within 90 s\n";
    return 1;
  }
  return run.exitCode;
}
