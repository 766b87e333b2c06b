// Emulated service control manager over $ZYRA_MACHINE_ROOT/services/.
//
// A service N is the folder services/N/ with an executable file "service" in
// it. Starting it runs that program as a real, detached process in a session
// of its own; stopping it sends SIGTERM. The files the manager keeps in the
// service's folder:
//   pid       "<pid> <start> <waiter pid> <waiter start>": the service's
//             process and the waiter that watches it, each with its start
//             time from /proc/<pid>/stat, so that a recycled pid is never
//             taken for the service
//   exitcode  the service's Win32 exit code, written by the waiter when the
//             service's process has ended
//   state     written by the service itself (its SetServiceStatus):
//             "START_PENDING <checkpoint> <waithint-ms>", "RUNNING",
//             "STOP_PENDING <checkpoint> <waithint-ms>" or "STOPPED
//             <win32-exit-code>"; the waiter reads it when the process has
//             ended (the exit code of the last STOPPED report, else 1067)
//             and removes it
// docs/emulated-machine.md ("Services") is the full contract.
//
// This file holds the handles and the manager's calls; beside it:
// service_launch.cpp starts a service and waits for its end, service_files.cpp
// reads and writes the files above, proc_stat.cpp tells processes apart
// through /proc, folder_lock.cpp serialises the starts of one service.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/folder_lock.h"
#include "platform/posix/machine.h"
#include "platform/posix/service_files.h"
#include "platform/posix/service_launch.h"
#include "platform/services.h"
#include "platform/utf.h"

namespace platform::win {

struct ScHandleTag {
  bool manager = false;
  DWORD access = 0;
  std::string dir;  // host folder of the service (service handles)
};

namespace {

// ---------------------------------------------------------------------------
// Handles: every handle handed out is remembered, so a stale, foreign or
// doubly closed handle is refused with ERROR_INVALID_HANDLE instead of being
// dereferenced.

std::mutex g_handlesMutex;
std::set<const ScHandleTag*> g_handles;

SC_HANDLE NewHandle(bool manager, DWORD access, std::string dir) {
  auto* h = new ScHandleTag{manager, access, std::move(dir)};
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  g_handles.insert(h);
  return h;
}

bool IsHandle(SC_HANDLE h, bool manager) {
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  return h != nullptr && g_handles.count(h) != 0 && h->manager == manager;
}

BOOL Fail(DWORD error) {
  posix::SetLastError(error);
  return 0;
}

// ---------------------------------------------------------------------------

std::string ServicesRoot() { return posix::MachineRoot() + "/services"; }

using posix::EqualsIgnoreCase;
using scm::Alive;
using scm::FolderLock;
using scm::Launch;
using scm::Observe;
using scm::Observed;
using scm::PidRecord;
using scm::ReadPidFile;
using scm::WriteFileAtomically;

// A service name names one folder below services/: no separators, no "."
// or "..", at most 256 characters (as Windows limits service names).
bool ValidServiceName(const std::u16string& name) {
  if (name.empty() || name.size() > 256) return false;
  for (char16_t c : name)
    if (c == u'/' || c == u'\\' || c == 0) return false;
  return name != u"." && name != u"..";
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The host folder of the installed service of that name, matched ignoring
// letter case; empty when there is none.
std::string FindService(const std::string& name) {
  const std::string root = ServicesRoot();
  const posix::ScopedDir d(::opendir(root.c_str()));
  if (!d.valid()) return {};
  std::string found;
  std::string exact;
  while (dirent* e = ::readdir(d.get())) {
    const std::string entry = e->d_name;
    if (entry == name) exact = entry;
    if (found.empty() && EqualsIgnoreCase(entry, name)) found = entry;
  }
  if (!exact.empty()) found = exact;
  if (found.empty()) return {};
  const std::string dir = root + "/" + found;
  if (!posix::IsHostDirectory(dir) || !IsExecutableFile(dir + "/service")) return {};
  return dir;
}

// How long ControlService waits for the service to answer a control, as
// Windows waits for the service's control handler: 30 seconds, then
// ERROR_SERVICE_REQUEST_TIMEOUT.
constexpr unsigned kControlAnswerMs = 30000;
std::atomic<unsigned> g_controlAnswerMs{kControlAnswerMs};

// How long StartServiceW lets a service that reported STOPPED finish its
// process before it counts as still running.
constexpr std::int64_t kStoppedProcessEndMs = 30000;

void Pause() {
  timespec pause{0, 2 * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
}

void CopyStatus(const ServiceStatusProcess& in, ServiceStatus* out) {
  if (out == nullptr) return;
  out->dwServiceType = in.dwServiceType;
  out->dwCurrentState = in.dwCurrentState;
  out->dwControlsAccepted = in.dwControlsAccepted;
  out->dwWin32ExitCode = in.dwWin32ExitCode;
  out->dwServiceSpecificExitCode = in.dwServiceSpecificExitCode;
  out->dwCheckPoint = in.dwCheckPoint;
  out->dwWaitHint = in.dwWaitHint;
}

}  // namespace

}  // namespace platform::win

namespace platform::posix {

void SetServiceControlTimeoutForTesting(unsigned milliseconds) {
  win::g_controlAnswerMs.store(milliseconds == 0 ? win::kControlAnswerMs : milliseconds);
}

}  // namespace platform::posix

namespace platform::win {

SC_HANDLE OpenSCManagerW(const char16_t* machineName, const char16_t* databaseName,
                         DWORD desiredAccess) {
  if (machineName != nullptr && *machineName != 0) {
    posix::SetLastError(kRpcServerUnavailable);
    return nullptr;
  }
  if (databaseName != nullptr && *databaseName != 0) {
    std::string db;
    if (!Utf16ToUtf8(databaseName, db) || !EqualsIgnoreCase(db, "ServicesActive")) {
      posix::SetLastError(kErrorDatabaseDoesNotExist);
      return nullptr;
    }
  }
  if (!posix::IsHostDirectory(ServicesRoot())) {
    posix::SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  posix::SetLastError(kErrorSuccess);
  return NewHandle(true, desiredAccess, {});
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const char16_t* serviceName, DWORD desiredAccess) {
  if (!IsHandle(manager, true)) {
    posix::SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  std::string name;
  if (serviceName == nullptr || !ValidServiceName(serviceName) || !Utf16ToUtf8(serviceName, name)) {
    posix::SetLastError(kErrorInvalidName);
    return nullptr;
  }
  std::string dir = FindService(name);
  if (dir.empty()) {
    posix::SetLastError(kErrorServiceDoesNotExist);
    return nullptr;
  }
  posix::SetLastError(kErrorSuccess);
  return NewHandle(false, desiredAccess, std::move(dir));
}

BOOL QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) {
  if (!IsHandle(service, false)) return Fail(kErrorInvalidHandle);
  if ((service->access & kServiceQueryStatus) == 0) return Fail(kErrorAccessDenied);
  if (status == nullptr) return Fail(kErrorInvalidParameter);
  CopyStatus(Observe(service->dir).status, status);
  return 1;
}

// The account is the first line of services/<name>/account; LocalSystem
// when there is none.
BOOL QueryServiceConfigW(SC_HANDLE service, std::u16string& startName) {
  if (!IsHandle(service, false)) return Fail(kErrorInvalidHandle);
  if ((service->access & kServiceQueryConfig) == 0) return Fail(kErrorAccessDenied);
  std::string account;
  posix::ScopedFd fd(::open((service->dir + "/account").c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.valid()) {
    posix::ReadAll(fd.get(), account);
    account = account.substr(0, account.find_first_of("\r\n"));
  }
  if (account.empty()) account = "LocalSystem";
  if (!Utf8ToUtf16(account, startName)) return Fail(kErrorInvalidParameter);
  posix::SetLastError(kErrorSuccess);
  return 1;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, int infoLevel, std::uint8_t* buffer, DWORD bufferSize,
                          DWORD* bytesNeeded) {
  if (!IsHandle(service, false)) return Fail(kErrorInvalidHandle);
  if (infoLevel != kScStatusProcessInfo) return Fail(kErrorInvalidLevel);
  if ((service->access & kServiceQueryStatus) == 0) return Fail(kErrorAccessDenied);
  constexpr DWORD kSize = sizeof(ServiceStatusProcess);
  if (bytesNeeded != nullptr) *bytesNeeded = kSize;
  if (buffer == nullptr || bufferSize < kSize) return Fail(kErrorInsufficientBuffer);
  const ServiceStatusProcess status = Observe(service->dir).status;
  std::memcpy(buffer, &status, kSize);
  return 1;
}

BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) {
  if (!IsHandle(service, false)) return Fail(kErrorInvalidHandle);
  if (control != kServiceControlStop) return Fail(kErrorInvalidServiceControl);
  if ((service->access & kServiceStop) == 0) return Fail(kErrorAccessDenied);
  Observed now = Observe(service->dir);
  CopyStatus(now.status, status);
  const DWORD before = now.status.dwCurrentState;
  if (before == kServiceStopped) return Fail(kErrorServiceNotActive);
  // A service that is starting or stopping accepts no control.
  if (before == kServiceStopPending || before == kServiceStartPending)
    return Fail(kErrorServiceCannotAcceptCtrl);

  const PidRecord rec = ReadPidFile(service->dir);
  if (rec.valid && Alive(rec.service)) {
    // The service leads its own process group (it started a session): the
    // request reaches the processes it started too.
    const pid_t pid = rec.service.pid;
    int rc = ::getpgid(pid) == pid ? ::kill(-pid, SIGTERM) : ::kill(pid, SIGTERM);
    if (rc != 0 && errno != ESRCH) rc = ::kill(pid, SIGTERM);
    if (rc != 0 && errno == EPERM) return Fail(kErrorAccessDenied);
  }
  // Wait until the service answers: it reports STOP_PENDING or STOPPED, or
  // its process has ended (and the exit code is recorded).
  const std::int64_t begin = MonotonicMilliseconds();
  const std::int64_t limit = g_controlAnswerMs.load();
  for (;;) {
    now = Observe(service->dir);
    const DWORD state = now.status.dwCurrentState;
    if (state == kServiceStopped || (now.processAlive && state == kServiceStopPending)) break;
    if (MonotonicMilliseconds() - begin >= limit) {
      CopyStatus(now.status, status);
      return Fail(kErrorServiceRequestTimeout);
    }
    Pause();
  }
  CopyStatus(now.status, status);
  posix::SetLastError(kErrorSuccess);
  return 1;
}

BOOL StartServiceW(SC_HANDLE service) {
  if (!IsHandle(service, false)) return Fail(kErrorInvalidHandle);
  if ((service->access & kServiceStart) == 0) return Fail(kErrorAccessDenied);
  FolderLock lock(service->dir);
  Observed now = Observe(service->dir);
  // A service that has reported STOPPED is ending its process: let it go.
  const std::int64_t begin = MonotonicMilliseconds();
  while (now.ending && MonotonicMilliseconds() - begin < kStoppedProcessEndMs) {
    Pause();
    now = Observe(service->dir);
  }
  if (now.status.dwCurrentState != kServiceStopped || now.ending)
    return Fail(kErrorServiceAlreadyRunning);
  const std::string exitCode = service->dir + "/exitcode";
  std::remove(exitCode.c_str());
  DWORD error = 0;
  if (!Launch(service->dir, error)) {
    // The failure is kept as the exit code of the run that did not happen.
    (void)WriteFileAtomically(exitCode, std::to_string(error) + "\n");
    return Fail(error);
  }
  posix::SetLastError(kErrorSuccess);
  return 1;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  {
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    if (handle == nullptr || g_handles.erase(handle) == 0) return Fail(kErrorInvalidHandle);
  }
  delete handle;
  return 1;
}

DWORD GetModuleFileNameW(std::u16string& path) {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) {
    posix::SetLastError(posix::ErrnoToWin32(errno));
    return 0;
  }
  buf[n] = '\0';
  path = ToUtf16(posix::ToWindowsPath(buf));
  // A 260-character buffer: a longer name is cut to 259 characters and the
  // call returns the buffer size.
  if (path.size() >= kMaxPath) {
    path.resize(kMaxPath - 1);
    posix::SetLastError(kErrorInsufficientBuffer);
    return kMaxPath;
  }
  return static_cast<DWORD>(path.size());
}

}  // namespace platform::win
