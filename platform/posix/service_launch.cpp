#include "platform/posix/service_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "platform/posix/descriptor.h"
#include "platform/posix/machine.h"
#include "platform/posix/proc_stat.h"
#include "platform/posix/service_files.h"
#include "platform/services.h"

namespace platform::win::scm {
namespace {

using posix::ReadAll;
using posix::RetryOnEintr;
using posix::ScopedFd;
using posix::WriteAll;

// ---------------------------------------------------------------------------
// Launching. The caller forks a launcher, which starts a session of its own,
// forks the waiter and ends at once (the caller reaps it, so no zombie is
// left behind). The waiter forks the service, which starts a session of its
// own and execs services/N/service in services/N/. The waiter reports the
// pids back through a pipe, then waits for the service, removes "state" and
// writes "exitcode". Waiter and service belong to init from then on, and the
// waiter's wait reaps the service.

struct LaunchPaths {
  std::string dir;
  std::string program;
  std::string state;
  std::string exitCode;
  std::string exitCodeTmp;
};

// Win32 exit code of an ended service process, as the service control
// manager records it: the code of the service's last report when that was
// STOPPED, else ERROR_PROCESS_ABORTED (the process ended without reporting
// that it stopped, whatever its exit status). Reads the state file with
// plain system calls: the waiter may call nothing else.
DWORD ExitCodeOfReport(const char* statePath) {
  char buf[64];
  std::size_t len = 0;
  if (!ReadRaw(statePath, buf, sizeof buf, len)) return kErrorProcessAborted;
  const char* p = buf;
  while (*p == ' ' || *p == '\t') ++p;
  const char word[] = "STOPPED";
  for (std::size_t i = 0; i + 1 < sizeof word; ++i, ++p)
    if (*p != word[i]) return kErrorProcessAborted;
  if (*p != ' ' && *p != '\t') return kErrorProcessAborted;
  while (*p == ' ' || *p == '\t') ++p;
  unsigned long long v = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + static_cast<unsigned long long>(*p - '0');
    if (++digits > 10) return kErrorProcessAborted;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  if (digits == 0 || *p != '\0' || v > 0xFFFFFFFFull) return kErrorProcessAborted;
  return static_cast<DWORD>(v);
}

void CloseFrom(int first, int maxFd) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0) return;
#endif
  for (int fd = first; fd < maxFd; ++fd) ::close(fd);
}

void ResetSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Status line "<pid> <start> <waiter pid> <waiter start> <errno>\n" on fd 3.
void Report(pid_t pid, unsigned long long start, pid_t waiter, unsigned long long waiterStart,
            int error) {
  char line[128];
  std::size_t n = 0;
  const unsigned long long values[] = {static_cast<unsigned long long>(pid), start,
                                       static_cast<unsigned long long>(waiter), waiterStart,
                                       static_cast<unsigned long long>(error)};
  for (unsigned long long v : values) {
    n += FormatDecimal(v, line + n);
    line[n++] = ' ';
  }
  line[n - 1] = '\n';
  (void)WriteAll(3, line, n);
}

[[noreturn]] void RunWaiter(const LaunchPaths& paths, char* const argv[], char* const envp[]) {
  ScopedFd statusOut(3);
  int execPipe[2];
  if (::pipe2(execPipe, O_CLOEXEC) != 0) {
    Report(0, 0, 0, 0, errno);
    ::_exit(0);
  }
  ScopedFd execRead(execPipe[0]);
  ScopedFd execWrite(execPipe[1]);
  const pid_t service = ::fork();
  if (service < 0) {
    Report(0, 0, 0, 0, errno);
    ::_exit(0);
  }
  if (service == 0) {
    execRead.reset();
    statusOut.reset();
    ::setsid();
    ResetSignals();
    if (::chdir(paths.dir.c_str()) == 0) ::execve(paths.program.c_str(), argv, envp);
    const int e = errno;
    (void)WriteAll(execWrite.get(), &e, sizeof e);
    ::_exit(127);
  }
  execWrite.reset();
  int execError = 0;
  const std::size_t got = ReadAll(execRead.get(), &execError, sizeof execError);
  execRead.reset();
  if (got != sizeof execError) execError = 0;

  // The service is our unreaped child: its /proc entry is there even if it
  // has already ended.
  unsigned long long serviceStart = 0;
  unsigned long long waiterStart = 0;
  char ignored = '?';
  (void)ReadProcStat(service, serviceStart, ignored);
  (void)ReadProcStat(::getpid(), waiterStart, ignored);
  Report(service, serviceStart, ::getpid(), waiterStart, execError);
  statusOut.reset();

  int status = 0;
  (void)RetryOnEintr([&] { return ::waitpid(service, &status, 0); });
  if (execError != 0) ::_exit(0);

  const DWORD exitCode = ExitCodeOfReport(paths.state.c_str());
  char text[24];
  std::size_t n = FormatDecimal(exitCode, text);
  text[n++] = '\n';
  ScopedFd fd(::open(paths.exitCodeTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.valid()) {
    (void)WriteAll(fd.get(), text, n);
    fd.reset();
    ::rename(paths.exitCodeTmp.c_str(), paths.exitCode.c_str());
  }
  ::unlink(paths.state.c_str());
  ::_exit(0);
}

[[noreturn]] void RunLauncher(const LaunchPaths& paths, char* const argv[], char* const envp[],
                              int statusWrite, int maxFd) {
  // The status pipe goes to fd 3; standard handles to /dev/null (a service
  // has no console, and must not hold the caller's pipes open); nothing else
  // of the caller's is inherited.
  const int high = ::fcntl(statusWrite, F_DUPFD_CLOEXEC, 10);
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull >= 0) {
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
  }
  if (high < 0 || ::dup2(high, 3) < 0) ::_exit(1);
  ::fcntl(3, F_SETFD, FD_CLOEXEC);
  CloseFrom(4, maxFd);

  ::setsid();
  ResetSignals();
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  ::sigaction(SIGPIPE, &ign, nullptr);
  ::sigaction(SIGHUP, &ign, nullptr);

  const pid_t waiter = ::fork();
  if (waiter < 0) Report(0, 0, 0, 0, errno);
  if (waiter != 0) ::_exit(0);
  RunWaiter(paths, argv, envp);
}

DWORD ExecErrorToWin32(int err) {
  switch (err) {
    case ENOEXEC: return kErrorBadExeFormat;
    case ENOMEM:
    case EAGAIN: return kErrorNotEnoughMemory;
    default: return posix::ErrnoToWin32(err);
  }
}

}  // namespace

// Starts the service's program; false with a Win32 error when it could not
// be run.
bool Launch(const std::string& dir, DWORD& error) {
  LaunchPaths paths{dir, dir + "/service", dir + "/state", dir + "/exitcode",
                    dir + "/exitcode.tmp"};
  std::string argv0 = paths.program;
  char* const argv[] = {argv0.data(), nullptr};
  // The caller's environment, plus where the service reports its status
  // (platform/service_host.h's RunAsService writes it there).
  std::string stateVariable = std::string(posix::kServiceStateVariable) + "=" + paths.state;
  std::vector<char*> envp;
  const std::string prefix = std::string(posix::kServiceStateVariable) + "=";
  for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) envp.push_back(*e);
  envp.push_back(stateVariable.data());
  envp.push_back(nullptr);
  const long openMax = ::sysconf(_SC_OPEN_MAX);
  const int maxFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;

  int statusPipe[2];
  if (::pipe2(statusPipe, O_CLOEXEC) != 0) {
    error = ExecErrorToWin32(errno);
    return false;
  }
  ScopedFd statusRead(statusPipe[0]);
  ScopedFd statusWrite(statusPipe[1]);
  const pid_t launcher = ::fork();
  if (launcher < 0) {
    error = ExecErrorToWin32(errno);
    return false;
  }
  if (launcher == 0) {
    statusRead.reset();
    RunLauncher(paths, argv, envp.data(), statusWrite.get(), maxFd);
  }

  statusWrite.reset();
  (void)RetryOnEintr([&] { return ::waitpid(launcher, nullptr, 0); });
  std::string report;
  ReadAll(statusRead.get(), report);
  statusRead.reset();

  std::istringstream in(report);
  long long pid = 0;
  long long waiter = 0;
  unsigned long long start = 0;
  unsigned long long waiterStart = 0;
  int execError = 0;
  if (!(in >> pid >> start >> waiter >> waiterStart >> execError)) {
    error = kErrorServiceRequestTimeout;
    return false;
  }
  if (execError != 0 || pid <= 0) {
    error = execError != 0 ? ExecErrorToWin32(execError) : kErrorServiceRequestTimeout;
    return false;
  }
  std::ostringstream rec;
  rec << pid << ' ' << start << ' ' << waiter << ' ' << waiterStart << '\n';
  if (!WriteFileAtomically(dir + "/pid", rec.str())) {
    // Without its record the service could not be told apart from any other
    // process: end it rather than leave it running untracked.
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    error = kErrorAccessDenied;
    return false;
  }
  return true;
}

}  // namespace platform::win::scm
