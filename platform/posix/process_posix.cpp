// Emulated ShellExecuteExA "open": the file runs as a program (it is given
// execute permission first, as Windows has no such bit) with the parameters
// as its arguments (split at blanks), standard input, output and error on
// /dev/null (the hidden window). The handle is the child's pid; the wait has
// no time limit; the exit status is the exit code (128 + the signal number
// when a signal ended it).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/descriptor.h"
#include "platform/posix/machine.h"
#include "platform/process.h"

namespace platform::win {

struct ProcessTag {
  pid_t pid = -1;
  bool reaped = false;
  int status = 0;
};

BOOL ShellExecuteExA(ShellExecuteInfo& info) {
  info.hProcess = nullptr;
  if (!info.lpVerb.empty() && info.lpVerb != "open") {
    posix::SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::string host;
  DWORD err = 0;
  if (!posix::ToHostPath(info.lpFile, host, err)) {
    posix::SetLastError(err);
    return 0;
  }
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    posix::SetLastError(kErrorFileNotFound);
    return 0;
  }
  ::chmod(host.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH);

  std::vector<std::string> args = {host};
  std::istringstream params(info.lpParameters);
  for (std::string a; params >> a;) args.push_back(a);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string workDir;
  if (!info.lpDirectory.empty() && !posix::ToHostPath(info.lpDirectory, workDir, err)) {
    posix::SetLastError(err);
    return 0;
  }

  // The child reports a failed exec through a close-on-exec pipe.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    posix::SetLastError(posix::ErrnoToWin32(errno));
    return 0;
  }
  posix::ScopedFd reportRead(report[0]);
  posix::ScopedFd reportWrite(report[1]);
  const pid_t pid = ::fork();
  if (pid < 0) {
    posix::SetLastError(posix::ErrnoToWin32(errno));
    return 0;
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);  // the program gets the copies only
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
      const int e = errno;
      (void)posix::WriteAll(reportWrite.get(), &e, sizeof e);
      ::_exit(127);
    }
    ::execv(host.c_str(), argv.data());
    const int e = errno;
    (void)posix::WriteAll(reportWrite.get(), &e, sizeof e);
    ::_exit(127);
  }
  reportWrite.reset();
  int childErrno = 0;
  const std::size_t n = posix::ReadAll(reportRead.get(), &childErrno, sizeof childErrno);
  reportRead.reset();
  if (n == sizeof childErrno) {
    (void)posix::RetryOnEintr([&] { return ::waitpid(pid, nullptr, 0); });
    // ERROR_BAD_EXE_FORMAT for a file that is not a program.
    posix::SetLastError(childErrno == ENOEXEC ? 193 : posix::ErrnoToWin32(childErrno));
    return 0;
  }
  if ((info.fMask & kSeeMaskNoCloseProcess) != 0) {
    auto* h = new ProcessTag;
    h->pid = pid;
    info.hProcess = h;
  }
  return 1;
}

DWORD WaitForSingleObject(HANDLE process, DWORD /*milliseconds*/) {
  if (process == nullptr) return kWaitFailed;
  if (process->reaped) return kWaitObject0;
  int status = 0;
  const pid_t r = posix::RetryOnEintr([&] { return ::waitpid(process->pid, &status, 0); });
  if (r != process->pid) return kWaitFailed;
  process->reaped = true;
  process->status = status;
  return kWaitObject0;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  if (process == nullptr || exitCode == nullptr || !process->reaped) return 0;
  if (WIFEXITED(process->status)) {
    *exitCode = static_cast<DWORD>(WEXITSTATUS(process->status));
  } else {
    *exitCode = 128u + static_cast<DWORD>(WTERMSIG(process->status));
  }
  return 1;
}

BOOL CloseHandle(HANDLE process) {
  delete process;
  return 1;
}

}  // namespace platform::win
