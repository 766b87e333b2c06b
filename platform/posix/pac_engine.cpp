#include "platform/posix/pac_engine.h"

#include <fcntl.h>
#include <pacparser.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/posix/machine.h"
#include "platform/posix/descriptor.h"

namespace platform::posix {
namespace {

std::atomic<unsigned> g_timeLimitMs{kPacTimeLimitMs};
std::atomic<void (*)(int)> g_childHook{nullptr};

// pacparser prints its complaints to stderr; WinHTTP reports a bad script by
// its error code only.
int Quiet(const char* /*fmt*/, va_list /*args*/) { return 0; }

// One started engine; cleaned up when it goes.
class Engine {
 public:
  Engine() : ok_(pacparser_init() != 0) {}
  ~Engine() { pacparser_cleanup(); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  [[nodiscard]] bool ok() const { return ok_; }

 private:
  bool ok_;
};

// The url as pacparser places it into a JavaScript string literal: every
// byte that could end the literal or change its meaning is %-escaped, as
// WinHTTP escapes unsafe characters of the URLs it handles.
std::string EscapeForScript(const std::string& url) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (char ch : url) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '\\' || c == '\'' || c == '"') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

bool IsSafeHost(const std::string& host) {
  if (host.empty()) return false;
  for (char ch : host) {
    const auto c = static_cast<unsigned char>(ch);
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':' && c != '%' &&
        c != '~')
      return false;
  }
  return true;
}

// The child's side: starts an engine, writes "R", evaluates and writes "1"
// and the answer, or "0", to fd.
[[noreturn]] void Evaluate(const std::string& script, const std::string& url,
                           const std::string& host, int fd) {
  pacparser_set_error_printer(Quiet);
  std::string out = "0";
  {
    Engine engine;
    const char started = 'R';
    (void)WriteAll(fd, &started, 1);
    if (engine.ok() && pacparser_parse_pac_string(script.c_str()) != 0) {
      const char* result = pacparser_find_proxy(url.c_str(), host.c_str());
      if (result != nullptr) out = std::string("1") + result;
    }
  }
  (void)WriteAll(fd, out.data(), out.size());
  ::_exit(0);
}

enum class ChildEnd { Done, TimedOut, NotStarted, Failed };

// True while the (single-threaded) child waits in the futex system call: a
// lock that another thread held when the child was forked, which nobody in
// the child will ever release.
bool WaitsOnALock(pid_t child) {
  const std::string path = "/proc/" + std::to_string(child) + "/syscall";
  const ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  std::string text;
  ReadAll(fd.get(), text);
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  return end != text.c_str() && number == SYS_futex;
}

// One evaluation in a forked child; out gets everything it wrote.
ChildEnd RunChild(const std::string& script, const std::string& url, const std::string& host,
                  int attempt, std::string& out) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return ChildEnd::Failed;
  ScopedFd readEnd(fds[0]);
  ScopedFd writeEnd(fds[1]);
  const pid_t child = ::fork();
  if (child < 0) return ChildEnd::Failed;
  if (child == 0) {
    readEnd.reset();
    if (auto hook = g_childHook.load()) hook(attempt);
    Evaluate(script, url, host, writeEnd.get());
  }
  writeEnd.reset();
  ChildEnd end = ChildEnd::Done;
  // On the host's clock: the evaluation takes the time it takes, however
  // fast a fake clock runs.
  const std::int64_t deadline = HostMonotonicMilliseconds() + g_timeLimitMs.load();
  int lockedPolls = 0;
  for (;;) {
    const bool started = !out.empty();
    // Before the engine has started, the child is looked at between short
    // polls: seen waiting on a lock twice in a row, it is stuck.
    if (!started && WaitsOnALock(child)) {
      if (++lockedPolls >= 2) {
        end = ChildEnd::NotStarted;
        break;
      }
    } else {
      lockedPolls = 0;
    }
    std::int64_t left = deadline - HostMonotonicMilliseconds();
    if (left <= 0) {
      end = ChildEnd::TimedOut;
      break;
    }
    if (!started && left > 50) left = 50;
    pollfd pfd{readEnd.get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left > 1000 ? 1000 : left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      end = ChildEnd::Failed;
      break;
    }
    if (ready == 0) continue;
    char buf[4096];
    const ssize_t r = RetryOnEintr([&] { return ::read(readEnd.get(), buf, sizeof buf); });
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  readEnd.reset();
  if (end != ChildEnd::Done) ::kill(child, SIGKILL);
  (void)RetryOnEintr([&] { return ::waitpid(child, nullptr, 0); });
  return end;
}

}  // namespace

PacResult RunPacScript(const std::string& script, const std::string& url, const std::string& host,
                       std::string& answer) {
  if (!IsSafeHost(host) || url.empty()) return PacResult::Failed;
  const std::string safeUrl = EscapeForScript(url);
  // The child is forked from a process with other threads: one of them may
  // have held a lock of the memory allocator at that moment (the sanitizer
  // runtimes do not release theirs in the child), and then the child's
  // engine never starts. Such a child is ended and a new one forked, up to
  // kPacStartAttempts children.
  std::string out;
  ChildEnd end = ChildEnd::NotStarted;
  for (int attempt = 1; attempt <= kPacStartAttempts && end == ChildEnd::NotStarted; ++attempt) {
    out.clear();
    end = RunChild(script, safeUrl, host, attempt, out);
  }
  if (end == ChildEnd::TimedOut) return PacResult::TimedOut;
  if (end != ChildEnd::Done || out.size() < 2 || out[0] != 'R' || out[1] != '1')
    return PacResult::Failed;
  answer = out.substr(2);
  return PacResult::Answered;
}

void SetPacChildHookForTesting(void (*childHook)(int attempt)) { g_childHook.store(childHook); }

void SetPacTimeLimitForTesting(unsigned milliseconds) {
  g_timeLimitMs.store(milliseconds == 0 ? kPacTimeLimitMs : milliseconds);
}

}  // namespace platform::posix
