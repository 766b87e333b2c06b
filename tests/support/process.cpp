#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace zyra_test {

Process::Process(const ProcessOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool drop = options.setEnv.count(name) != 0;
    for (const auto& u : options.unsetEnv) drop = drop || u == name;
    if (!drop) env.push_back(entry);
  }
  for (const auto& [k, v] : options.setEnv) env.push_back(k + "=" + v);

  std::vector<char*> argv;
  for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0) ::_exit(126);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(options.stdoutFile.empty() ? "/dev/null" : options.stdoutFile.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(options.stderrFile.empty() ? "/dev/null" : options.stderrFile.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Process::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  pid_ = -1;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return false;
}

void Process::Kill() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Process::Wait(double timeoutSeconds) {
  if (pid_ <= 0) return exitCode_;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int Run(const ProcessOptions& options, double timeoutSeconds) {
  Process p(options);
  return p.Wait(timeoutSeconds);
}

std::vector<std::string> UnderFaketime(std::vector<std::string> argv, int speed) {
  std::vector<std::string> wrapped = {"faketime", "-f", "+0 x" + std::to_string(speed)};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

}  // namespace zyra_test
