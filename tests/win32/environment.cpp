// Windows needs no preparation: the tests use the real machine (a fresh
// Wine prefix in the cross build).
#include "tests/support/test_support.h"

namespace zyra_test {

::testing::Environment* MakeBackendEnvironment() { return new ::testing::Environment; }

}  // namespace zyra_test
