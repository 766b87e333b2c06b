#include "platform/posix/service_files.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace platform::win::scm {
namespace {

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

// What the manager shows of a service that has started but not reported
// yet, as Windows does until the service's first SetServiceStatus: start
// pending, check point 0, wait hint 2 seconds, no controls accepted.
constexpr DWORD kInitialWaitHintMs = 2000;

}  // namespace

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

Observed Observe(const std::string& dir) {
  Observed o;
  ServiceStatusProcess& s = o.status;
  s.dwServiceType = kServiceWin32OwnProcess;
  const PidRecord rec = ReadPidFile(dir);
  // A service that has not reported yet is starting, unless it ended
  // between the two looks: its waiter then took the report away, and it is
  // looked at as an ended one below.
  StateFile st;
  const bool alive = rec.valid && Alive(rec.service) &&
                     ((st = ReadStateFile(dir)).present || Alive(rec.service));
  if (alive) {
    o.processAlive = true;
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
    st = ReadStateFile(dir);
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

}  // namespace platform::win::scm
