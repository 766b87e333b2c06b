// The emulated machine's message table: Windows' English texts for the
// codes its calls give (services, files), as FormatMessage gives them.
#include <string>

#include "platform/error_text.h"

namespace platform::win {

DWORD FormatMessageW(DWORD code, std::string& text) {
  const char* found = nullptr;
  switch (code) {
    case 0: found = "The operation completed successfully."; break;
    case 2: found = "The system cannot find the file specified."; break;
    case 3: found = "The system cannot find the path specified."; break;
    case 5: found = "Access is denied."; break;
    case 8: found = "Not enough memory resources are available to process this command."; break;
    case 32:
      found = "The process cannot access the file because it is being used by another process.";
      break;
    case 112: found = "There is not enough space on the disk."; break;
    case 193: found = "%1 is not a valid Win32 application."; break;
    case 1053:
      found = "The service did not respond to the start or control request in a timely fashion.";
      break;
    case 1056: found = "An instance of the service is already running."; break;
    case 1060: found = "The specified service does not exist as an installed service."; break;
    case 1061: found = "The service cannot accept control messages at this time."; break;
    case 1062: found = "The service has not been started."; break;
    case 1067: found = "The process terminated unexpectedly."; break;
    case 1077: found = "No attempts to start the service have been made since the last boot."; break;
    default: return 0;
  }
  text = found;
  return static_cast<DWORD>(text.size());
}

}  // namespace platform::win
