#pragma once
// The runtime files the emulated service manager keeps in a service's
// folder ("pid", "state", "exitcode"; services_posix.cpp describes them) and
// the status it reads from them.
#include <string>

#include "platform/posix/proc_stat.h"
#include "platform/services.h"

namespace platform::win::scm {

struct PidRecord {
  bool fileExists = false;
  bool valid = false;
  ProcessId service;
  ProcessId waiter;
};

// The "pid" file of the service in dir.
PidRecord ReadPidFile(const std::string& dir);

struct Observed {
  ServiceStatusProcess status;
  bool processAlive = false;  // the service's own process lives
  bool ending = false;        // reported STOPPED, or ended: its end is being recorded
};

// The service's status as the manager shows it, from its files and its
// process.
Observed Observe(const std::string& dir);

// Writes text to path through a temporary file and a rename.
bool WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace platform::win::scm
