// CorvZyraProvisionStub: prepares a meeting-room computer for management.
// Arguments and environment are ignored; the exit code is the result code.
#include "app/provisioning_run.h"

int main(int /*argc*/, char** /*argv*/) {
  return static_cast<int>(app::ProvisioningRun());
}
