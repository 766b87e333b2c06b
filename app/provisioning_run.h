#pragma once
// One provisioning run: stage the token, bring the agent up to date, hand
// over to the handler service, report the result code.
#include "app/run_state.h"

namespace app {

[[nodiscard]] ResultCode ProvisioningRun();

}  // namespace app
