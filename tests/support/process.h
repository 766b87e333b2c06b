#pragma once
// Starting the real binaries from tests.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zyra_test {

struct ProcessOptions {
  std::vector<std::string> argv;
  std::map<std::string, std::string> setEnv;  // added to (or replacing in) the test's environment
  std::vector<std::string> unsetEnv;
  std::string workDir;     // empty: the test's own
  std::string stdoutFile;  // empty: /dev/null
  std::string stderrFile;  // empty: /dev/null
};

class Process {
 public:
  explicit Process(const ProcessOptions& options);
  ~Process();  // kills a process still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  // Waits up to timeoutSeconds of real time; the exit code, or -1 on a
  // timeout (the process is then killed) or a signal.
  int Wait(double timeoutSeconds);
  // False once the process has ended (Wait then gives its exit code).
  [[nodiscard]] bool Running();
  // Ends the process and everything it started at once (SIGKILL to its
  // process group), as a machine that loses power would.
  void Kill();

 private:
  pid_t pid_ = -1;
  int exitCode_ = -1;  // of a process Running found ended
};

// Runs to completion; the exit code or -1.
int Run(const ProcessOptions& options, double timeoutSeconds);

// Wraps argv so that the program runs under libfaketime at the given speed.
std::vector<std::string> UnderFaketime(std::vector<std::string> argv, int speed = 100);

}  // namespace zyra_test
