// Every scenario of the Scenario suite, on both machines.
#include "tests/scenarios/scenario.h"

namespace zyra_scenarios {

INSTANTIATE_TEST_SUITE_P(Machine, Scenario,
                         ::testing::Values(MachineKind::kEmulated, MachineKind::kWine), KindName);

}  // namespace zyra_scenarios
