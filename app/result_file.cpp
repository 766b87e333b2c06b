// The result file: one line, the code alone while the run is under way,
// "provision_result_code: <code>" at its end.
#include "app/file_helpers.h"
#include "app/run_state.h"
#include "logging/logger.h"
#include "platform/files.h"

namespace app {

void WriteResultFile(ResultCode code, bool final) {
  std::string text = std::to_string(static_cast<unsigned>(code));
  if (final) text = "provision_result_code: " + text;
  text += "\n";
  if (!WriteExchangeFile(kResultFile, text)) {
    // The run goes on (the exit code still carries the result), but the
    // administrator must know that the file does not hold this code.
    const auto error = platform::win::GetLastError();
    logging::Error("Cannot write result {0} to {1}: error {2}.", static_cast<unsigned>(code),
                   kResultFile, error);
  }
}

}  // namespace app
