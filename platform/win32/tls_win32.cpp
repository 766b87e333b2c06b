// Schannel: a revocation status that cannot be had (CRL or OCSP responder
// out of reach) does not refuse the server.
#include "platform/tls.h"

namespace platform::win {

bool RevocationCheckIsBestEffort() { return true; }

}  // namespace platform::win
