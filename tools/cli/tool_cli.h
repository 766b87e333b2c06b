#pragma once
// Command-line parsing shared by the project's tools (CLI11): -h/--help and
// --version print on standard output and exit 0; a bad or missing argument
// is named on standard error, with a pointer to --help, and exits 2.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

namespace zyra_tools {

constexpr int kUsageError = 2;

// "--version" prints "<tool> <project version>". Options are written the
// same way on every system: "/name" is an argument (a path), never an option.
inline void SetUpTool(CLI::App& app) {
  app.set_version_flag("--version", app.get_name() + " " + ZYRA_PROJECT_VERSION,
                       "Print the version and exit");
  app.allow_windows_style_options(false);
}

// Parses argv into app. True: go on. False: the tool ends with exitCode
// (0 after --help or --version, kUsageError after a bad argument).
inline bool ParseArguments(CLI::App& app, int argc, char** argv, int& exitCode) {
  try {
    app.parse(argc, argv);
    return true;
  } catch (const CLI::Success& e) {
    exitCode = app.exit(e, std::cout, std::cerr);  // help or version, on stdout
    return false;
  } catch (const CLI::ParseError& e) {
    std::cerr << app.get_name() << ": " << e.what() << "\n"
              << "Run '" << app.get_name() << " --help' for the usage.\n";
    exitCode = kUsageError;
    return false;
  }
}

// A usage error found after parsing (a bad value CLI11 cannot judge).
inline int UsageError(const CLI::App& app, const std::string& reason) {
  std::cerr << app.get_name() << ": " << reason << "\n"
            << "Run '" << app.get_name() << " --help' for the usage.\n";
  return kUsageError;
}

}  // namespace zyra_tools
