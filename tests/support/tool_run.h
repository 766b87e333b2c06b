#pragma once
// Running the project's tools from tests: exit code, standard output and
// standard error of one run, in a folder of the test's own.
#include <map>
#include <string>
#include <vector>

namespace zyra_test {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// A fresh folder under the temporary folder, removed with the object.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs argv in workDir to completion (killed after timeoutSeconds), with
// env added to the test's environment.
ToolRun RunTool(const std::vector<std::string>& argv, const std::string& workDir,
                double timeoutSeconds = 120, const std::map<std::string, std::string>& env = {});

// A whole file, empty when it cannot be read.
std::string ReadText(const std::string& path);

}  // namespace zyra_test
