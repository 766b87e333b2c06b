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
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/machine.h"
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
// Async-signal-safe helpers: the launcher and the waiter run them between
// fork and exec (or instead of exec), where only such calls are allowed.

// Decimal digits of v into buf (no terminator); returns the length.
std::size_t FormatDecimal(unsigned long long v, char* buf) {
  char tmp[24];
  std::size_t n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (std::size_t i = 0; i < n; ++i) buf[i] = tmp[n - 1 - i];
  return n;
}

// Up to size - 1 bytes of a small file, null-terminated, with plain system
// calls only (safe in a process that may call nothing else); false when the
// file cannot be opened.
bool ReadRaw(const char* path, char* buf, std::size_t size, std::size_t& len) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  len = 0;
  for (;;) {
    const ssize_t r = ::read(fd, buf + len, size - 1 - len);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    len += static_cast<std::size_t>(r);
    if (len == size - 1) break;
  }
  ::close(fd);
  buf[len] = '\0';
  return true;
}

// Start time (clock ticks since boot, field 22 of /proc/<pid>/stat) and
// scheduler state (field 3) of a process.
bool ReadProcStat(pid_t pid, unsigned long long& start, char& state) {
  char path[48] = "/proc/";
  std::size_t n = 6;
  n += FormatDecimal(static_cast<unsigned long long>(pid), path + n);
  const char tail[] = "/stat";
  for (std::size_t i = 0; i < sizeof tail; ++i) path[n + i] = tail[i];
  char buf[1024];
  std::size_t len = 0;
  if (!ReadRaw(path, buf, sizeof buf, len)) return false;
  // The command name (field 2) may hold blanks and parentheses: fields 3 and
  // on follow the last ')'.
  const char* p = nullptr;
  for (std::size_t i = 0; i < len; ++i)
    if (buf[i] == ')') p = buf + i;
  if (p == nullptr) return false;
  ++p;
  int field = 2;
  while (*p != '\0') {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    ++field;
    if (field == 3) state = *p;
    if (field == 22) {
      unsigned long long v = 0;
      bool digits = false;
      for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + static_cast<unsigned long long>(*p - '0');
        digits = true;
      }
      start = v;
      return digits;
    }
    while (*p != ' ' && *p != '\0') ++p;
  }
  return false;
}

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t w = ::write(fd, data, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    data += w;
    size -= static_cast<std::size_t>(w);
  }
}

// ---------------------------------------------------------------------------
// The service's runtime files.

struct ProcessId {
  pid_t pid = 0;
  unsigned long long start = 0;
};

struct PidRecord {
  bool fileExists = false;
  bool valid = false;
  ProcessId service;
  ProcessId waiter;
};

// True while the process lives and is still the one recorded (same start
// time; a zombie counts as ended).
bool Alive(const ProcessId& p) {
  if (p.pid <= 0) return false;
  if (::kill(p.pid, 0) != 0 && errno != EPERM) return false;
  unsigned long long start = 0;
  char state = '?';
  if (!ReadProcStat(p.pid, start, state)) return false;
  if (state == 'Z' || state == 'X') return false;
  return start == p.start;
}

bool ReadSmallFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool ParseDword(const std::string& token, DWORD& value) {
  if (token.empty() || token.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long long>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  value = static_cast<DWORD>(v);
  return true;
}

PidRecord ReadPidFile(const std::string& dir) {
  PidRecord rec;
  std::string text;
  if (!ReadSmallFile(dir + "/pid", text)) return rec;
  rec.fileExists = true;
  std::istringstream in(text);
  long long spid = 0;
  long long wpid = 0;
  if (in >> spid >> rec.service.start >> wpid >> rec.waiter.start && spid > 0 && wpid > 0) {
    rec.service.pid = static_cast<pid_t>(spid);
    rec.waiter.pid = static_cast<pid_t>(wpid);
    rec.valid = true;
  }
  return rec;
}

struct StateFile {
  bool present = false;
  DWORD state = kServiceRunning;
  DWORD checkPoint = 0;
  DWORD waitHint = 0;
  DWORD exitCode = 0;  // of a STOPPED report
};

// The service's own report. An absent, empty or malformed file is no report.
StateFile ReadStateFile(const std::string& dir) {
  StateFile result;
  std::string text;
  if (!ReadSmallFile(dir + "/state", text)) return result;
  std::istringstream in(text);
  std::string word;
  std::string cp;
  std::string hint;
  std::string extra;
  in >> word >> cp >> hint >> extra;
  if (!extra.empty()) return result;
  if (word == "RUNNING" && cp.empty()) {
    result.present = true;
    return result;
  }
  if (word == "STOPPED") {
    if (!hint.empty() || !ParseDword(cp, result.exitCode)) return result;
    result.state = kServiceStopped;
    result.present = true;
    return result;
  }
  DWORD state = 0;
  if (word == "START_PENDING") {
    state = kServiceStartPending;
  } else if (word == "STOP_PENDING") {
    state = kServiceStopPending;
  } else {
    return result;
  }
  if (!ParseDword(cp, result.checkPoint) || !ParseDword(hint, result.waitHint)) return result;
  result.state = state;
  result.present = true;
  return result;
}

struct Observed {
  ServiceStatusProcess status;
  bool processAlive = false;  // the service's own process lives
  bool ending = false;        // reported STOPPED, or ended: its end is being recorded
};

// What the manager shows of a service that has started but not reported
// yet, as Windows does until the service's first SetServiceStatus: start
// pending, check point 0, wait hint 2 seconds, no controls accepted.
constexpr DWORD kInitialWaitHintMs = 2000;

Observed Observe(const std::string& dir) {
  Observed o;
  ServiceStatusProcess& s = o.status;
  s.dwServiceType = kServiceWin32OwnProcess;
  const PidRecord rec = ReadPidFile(dir);
  if (rec.valid && Alive(rec.service)) {
    o.processAlive = true;
    const StateFile st = ReadStateFile(dir);
    if (!st.present) {
      s.dwCurrentState = kServiceStartPending;
      s.dwWaitHint = kInitialWaitHintMs;
    } else {
      s.dwCurrentState = st.state;
      s.dwCheckPoint = st.checkPoint;
      s.dwWaitHint = st.waitHint;
    }
    if (s.dwCurrentState == kServiceStopped) {
      // Reported stopped; its process is on its way out.
      s.dwWin32ExitCode = st.exitCode;
      o.ending = true;
      return o;
    }
    s.dwControlsAccepted = s.dwCurrentState == kServiceRunning ? kServiceAcceptStop : 0;
    s.dwProcessId = static_cast<DWORD>(rec.service.pid);
    return o;
  }
  if (rec.valid && Alive(rec.waiter)) {
    // The process has ended; its waiter is recording the exit code. A
    // service that reported STOPPED is stopped already.
    o.ending = true;
    const StateFile st = ReadStateFile(dir);
    if (st.present && st.state == kServiceStopped) {
      s.dwCurrentState = kServiceStopped;
      s.dwWin32ExitCode = st.exitCode;
      return o;
    }
    std::string text;
    DWORD code = 0;
    if (ReadSmallFile(dir + "/exitcode", text) && ParseDword(text.substr(0, text.find('\n')), code)) {
      // Recorded; the waiter is about to end.
      s.dwCurrentState = kServiceStopped;
      s.dwWin32ExitCode = code;
      return o;
    }
    s.dwCurrentState = kServiceStopPending;
    s.dwWaitHint = 1000;
    return o;
  }
  s.dwCurrentState = kServiceStopped;
  std::string text;
  DWORD code = 0;
  if (ReadSmallFile(dir + "/exitcode", text)) {
    std::istringstream in(text);
    std::string token;
    in >> token;
    s.dwWin32ExitCode = ParseDword(token, code) ? code : kErrorProcessAborted;
  } else {
    s.dwWin32ExitCode = rec.fileExists ? kErrorProcessAborted : kErrorServiceNeverStarted;
  }
  return o;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    out.flush();
    if (!out) return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

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
  WriteAll(3, line, n);
}

[[noreturn]] void RunWaiter(const LaunchPaths& paths, char* const argv[], char* const envp[]) {
  int execPipe[2];
  if (::pipe2(execPipe, O_CLOEXEC) != 0) {
    Report(0, 0, 0, 0, errno);
    ::_exit(0);
  }
  const pid_t service = ::fork();
  if (service < 0) {
    Report(0, 0, 0, 0, errno);
    ::_exit(0);
  }
  if (service == 0) {
    ::close(execPipe[0]);
    ::close(3);
    ::setsid();
    ResetSignals();
    if (::chdir(paths.dir.c_str()) == 0) ::execve(paths.program.c_str(), argv, envp);
    const int e = errno;
    WriteAll(execPipe[1], reinterpret_cast<const char*>(&e), sizeof e);
    ::_exit(127);
  }
  ::close(execPipe[1]);
  int execError = 0;
  std::size_t got = 0;
  while (got < sizeof execError) {
    const ssize_t r =
        ::read(execPipe[0], reinterpret_cast<char*>(&execError) + got, sizeof execError - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  ::close(execPipe[0]);
  if (got != sizeof execError) execError = 0;

  // The service is our unreaped child: its /proc entry is there even if it
  // has already ended.
  unsigned long long serviceStart = 0;
  unsigned long long waiterStart = 0;
  char ignored = '?';
  (void)ReadProcStat(service, serviceStart, ignored);
  (void)ReadProcStat(::getpid(), waiterStart, ignored);
  Report(service, serviceStart, ::getpid(), waiterStart, execError);
  ::close(3);

  int status = 0;
  while (::waitpid(service, &status, 0) < 0 && errno == EINTR) {
  }
  if (execError != 0) ::_exit(0);

  const DWORD exitCode = ExitCodeOfReport(paths.state.c_str());
  char text[24];
  std::size_t n = FormatDecimal(exitCode, text);
  text[n++] = '\n';
  const int fd = ::open(paths.exitCodeTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    WriteAll(fd, text, n);
    ::close(fd);
    ::rename(paths.exitCodeTmp.c_str(), paths.exitCode.c_str());
  }
  ::unlink(paths.state.c_str());
  ::_exit(0);
}

[[noreturn]] void RunLauncher(const LaunchPaths& paths, char* const argv[], char* const envp[],
                              int statusRead, int statusWrite, int maxFd) {
  ::close(statusRead);
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
  const pid_t launcher = ::fork();
  if (launcher < 0) {
    error = ExecErrorToWin32(errno);
    ::close(statusPipe[0]);
    ::close(statusPipe[1]);
    return false;
  }
  if (launcher == 0) RunLauncher(paths, argv, envp.data(), statusPipe[0], statusPipe[1], maxFd);

  ::close(statusPipe[1]);
  while (::waitpid(launcher, nullptr, 0) < 0 && errno == EINTR) {
  }
  std::string report;
  char buf[256];
  for (;;) {
    const ssize_t r = ::read(statusPipe[0], buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    report.append(buf, static_cast<std::size_t>(r));
  }
  ::close(statusPipe[0]);

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

// ---------------------------------------------------------------------------

std::string ServicesRoot() { return posix::MachineRoot() + "/services"; }

using posix::EqualsIgnoreCase;

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
  DIR* d = ::opendir(root.c_str());
  if (d == nullptr) return {};
  std::string found;
  std::string exact;
  while (dirent* e = ::readdir(d)) {
    const std::string entry = e->d_name;
    if (entry == name) exact = entry;
    if (found.empty() && EqualsIgnoreCase(entry, name)) found = entry;
  }
  ::closedir(d);
  if (!exact.empty()) found = exact;
  if (found.empty()) return {};
  const std::string dir = root + "/" + found;
  if (!posix::IsHostDirectory(dir) || !IsExecutableFile(dir + "/service")) return {};
  return dir;
}

// Holds an exclusive lock on the service's folder: starts of one service
// are serialised across processes.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir)
      : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

std::uint64_t MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// How long ControlService waits for the service to answer a control, as
// Windows waits for the service's control handler: 30 seconds, then
// ERROR_SERVICE_REQUEST_TIMEOUT.
constexpr unsigned kControlAnswerMs = 30000;
std::atomic<unsigned> g_controlAnswerMs{kControlAnswerMs};

// How long StartServiceW lets a service that reported STOPPED finish its
// process before it counts as still running.
constexpr std::uint64_t kStoppedProcessEndMs = 30000;

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
  const std::uint64_t begin = MonotonicMs();
  const std::uint64_t limit = g_controlAnswerMs.load();
  for (;;) {
    now = Observe(service->dir);
    const DWORD state = now.status.dwCurrentState;
    if (state == kServiceStopped || (now.processAlive && state == kServiceStopPending)) break;
    if (MonotonicMs() - begin >= limit) {
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
  const std::uint64_t begin = MonotonicMs();
  while (now.ending && MonotonicMs() - begin < kStoppedProcessEndMs) {
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
