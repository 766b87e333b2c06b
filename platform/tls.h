#pragma once
// TLS facade: how the build's TLS library is to treat a certificate whose
// revocation status cannot be learnt.
//
// Windows (Schannel) checks revocation for every server certificate and by
// default refuses the connection when no CRL distribution point or OCSP
// responder can be reached (CRYPT_E_NO_REVOCATION_CHECK 0x80092012,
// CRYPT_E_REVOCATION_OFFLINE 0x80092013). A program running as SYSTEM
// behind a company proxy often cannot reach them, so there the check is
// best effort: a certificate known to be revoked is still refused, one
// whose status cannot be had is accepted. The emulated machine's TLS
// library (OpenSSL) checks no revocation, and nothing changes there.
namespace platform::win {

// True when an unobtainable revocation status is to be let through.
[[nodiscard]] bool RevocationCheckIsBestEffort();

}  // namespace platform::win
