// The emulated machine's transfers use OpenSSL, which checks no revocation.
#include "platform/tls.h"

namespace platform::win {

bool RevocationCheckIsBestEffort() { return false; }

}  // namespace platform::win
