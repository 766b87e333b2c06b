#pragma once
// The publisher's side of package signatures: key generation and signing.
#include <cstdio>
#include <string>

#include "net/signature.h"

namespace zyra_sign {

// Writes a new RSA-2048 key pair (e = 65537) as PEM files.
[[nodiscard]] bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                                   std::string& error);

// PKCS #1 v1.5 signature with an MD5 DigestInfo over data, most significant
// byte first (what "openssl dgst -md5 -sign" makes).
[[nodiscard]] bool SignBytes(const std::string& privatePemPath, const net::Bytes& data,
                             net::Bytes& signature, std::string& error);

// The same signature over everything the open (binary) stream still holds,
// read in blocks: for packages of any size.
[[nodiscard]] bool SignOpenFile(const std::string& privatePemPath, std::FILE* file,
                                net::Bytes& signature, std::string& error);

}  // namespace zyra_sign
