// The service side on the emulated machine: the emulated service manager
// starts the service's program as a plain, detached process, tells it in
// ZYRA_SERVICE_STATE where to report its status, and asks it to stop with
// SIGTERM (docs/emulated-machine.md, "Services"). RunAsService reports as a
// Win32 service reports through SetServiceStatus: RUNNING before the body
// runs, STOP_PENDING when the stop request arrives (SIGTERM), and STOPPED
// with the body's result as the Win32 exit code when the body has returned.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/machine.h"
#include "platform/service_host.h"

namespace platform {
namespace {

std::atomic<bool> g_stopRequested{false};
std::atomic<bool> g_running{false};

// Where the reports go, and the temporary file each report is written to
// before it is renamed over the state file (a reader never sees half a
// line). Filled before the signal handler is installed; read by it.
char g_statePath[4096];
char g_stateTmpPath[4096 + 8];
bool g_reporting = false;

// Writes one report line atomically. Plain system calls only: the signal
// handler calls it.
void WriteReport(const char* line) {
  if (!g_reporting) return;
  const int saved = errno;
  posix::ScopedFd fd(::open(g_stateTmpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.valid()) {
    (void)posix::WriteAll(fd.get(), line, std::strlen(line));
    fd.reset();
    ::rename(g_stateTmpPath, g_statePath);
  }
  errno = saved;
}

extern "C" void OnTerminate(int) {
  // Answered as the Win32 host answers SERVICE_CONTROL_STOP.
  if (!g_stopRequested.exchange(true)) WriteReport("STOP_PENDING 1 5000\n");
}

void PrepareReports() {
  const char* path = ::getenv(posix::kServiceStateVariable);
  const std::size_t n = path == nullptr ? 0 : std::strlen(path);
  if (n == 0 || n >= sizeof g_statePath) return;
  std::memcpy(g_statePath, path, n + 1);
  std::memcpy(g_stateTmpPath, path, n);
  std::memcpy(g_stateTmpPath + n, ".tmp", 5);
  g_reporting = true;
}

}  // namespace

win::DWORD RunAsService(const std::u16string& /*name*/, const ServiceBody& body) {
  PrepareReports();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = &OnTerminate;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGTERM, &action, nullptr) != 0) return win::kErrorInvalidParameter;
  WriteReport("RUNNING\n");
  g_running.store(true);
  const win::DWORD result = body ? body() : 0;
  g_running.store(false);
  // Block the stop request while the last report is written: nothing may
  // replace STOPPED.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &term, nullptr);
  char line[32] = "STOPPED ";
  char digits[12];
  std::size_t n = 0;
  win::DWORD v = result;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  std::size_t pos = std::strlen(line);
  while (n > 0) line[pos++] = digits[--n];
  line[pos++] = '\n';
  line[pos] = '\0';
  WriteReport(line);
  return result;
}

bool ServiceStopRequested() { return g_stopRequested.load(); }

bool WaitForServiceStop(double seconds) {
  // Short slices, so that a stop request is noticed within a tenth of a
  // second.
  const auto total = static_cast<long long>(seconds * 1000.0);
  long long slept = 0;
  while (slept < total) {
    if (g_running.load() && g_stopRequested.load()) return true;
    const long long slice = total - slept < 100 ? total - slept : 100;
    win::Sleep(static_cast<win::DWORD>(slice));
    slept += slice;
  }
  return g_running.load() && g_stopRequested.load();
}

}  // namespace platform
