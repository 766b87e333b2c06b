#include "tests/support/tool_run.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "tests/support/process.h"

namespace zyra_test {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "zyra-tool-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  if (!path_.empty() && std::getenv("ZYRA_KEEP_MACHINES") == nullptr) fs::remove_all(path_, ec);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ToolRun RunTool(const std::vector<std::string>& argv, const std::string& workDir,
                double timeoutSeconds, const std::map<std::string, std::string>& env) {
  static int counter = 0;
  const std::string base = workDir + "/.run-" + std::to_string(++counter);
  ProcessOptions o;
  o.argv = argv;
  o.workDir = workDir;
  o.setEnv = env;
  o.stdoutFile = base + ".out";
  o.stderrFile = base + ".err";
  ToolRun r;
  r.exitCode = Run(o, timeoutSeconds);
  r.out = ReadText(o.stdoutFile);
  r.err = ReadText(o.stderrFile);
  std::error_code ec;
  fs::remove(o.stdoutFile, ec);
  fs::remove(o.stderrFile, ec);
  return r;
}

}  // namespace zyra_test
