// The unit tests' emulated machine: a fresh root for the whole run.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace zyra_test {
namespace {

class MachineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/zyra-unit-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    namespace fs = std::filesystem;
    fs::create_directories(root_ + "/drive_c/ProgramData");
    fs::create_directories(root_ + "/drive_c/Windows/Temp");
    ::setenv("ZYRA_MACHINE_ROOT", root_.c_str(), 1);
    ::unsetenv("TMP");
    ::unsetenv("TEMP");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

 private:
  std::string root_;
};

}  // namespace

::testing::Environment* MakeBackendEnvironment() { return new MachineEnvironment; }

}  // namespace zyra_test
