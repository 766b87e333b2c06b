#pragma once
// The publisher's side of package signatures: key generation and signing.
#include <cstdio>
#include <string>

#include <openssl/rsa.h>

#include "net/signature.h"

namespace zyra_sign {

// How a private key protected by a pass-phrase is opened: with the
// pass-phrase given (--pass-file), or, when asking is allowed (standard
// input is a terminal), asked for once and kept for the next loads of the
// run. Otherwise loading such a key fails with an error that names
// --pass-file. A key without a pass-phrase never uses it.
struct PassPhrase {
  std::string text;
  bool known = false;
  bool mayAsk = false;
};

// Writes a new RSA-2048 key pair (e = 65537) as PEM files: the private key
// readable by its owner only (mode 0600), the public key by everyone. An
// existing file at either path is an error unless replace is set (then the
// new file takes its place in one rename).
[[nodiscard]] bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                                   bool replace, std::string& error);

// Whether the private key is the one this build checks packages against
// (the compiled-in public key's modulus). False with error when the key
// cannot be read or is not a usable signing key.
[[nodiscard]] bool IsBuildKey(const std::string& privatePemPath, bool& matches,
                              std::string& error, PassPhrase* pass = nullptr);

// Loads a PEM public key (SubjectPublicKeyInfo or PKCS #1) for verify --key;
// only RSA-2048 keys with exponent 65537 are accepted. The RSA key is the
// caller's (RSA_free).
[[nodiscard]] RSA* LoadVerifyKey(const std::string& publicPemPath, std::string& error);

// PKCS #1 v1.5 signature with an MD5 DigestInfo over data, most significant
// byte first (what "openssl dgst -md5 -sign" makes).
[[nodiscard]] bool SignBytes(const std::string& privatePemPath, const net::Bytes& data,
                             net::Bytes& signature, std::string& error,
                             PassPhrase* pass = nullptr);

// The same signature over everything the open (binary) stream still holds,
// read in blocks: for packages of any size.
[[nodiscard]] bool SignOpenFile(const std::string& privatePemPath, std::FILE* file,
                                net::Bytes& signature, std::string& error,
                                PassPhrase* pass = nullptr);

}  // namespace zyra_sign
