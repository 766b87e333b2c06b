#pragma once
// Validation of a downloaded package against its detached signature: an
// RSA-2048 PKCS #1 v1.5 signature over the package's MD5 digest, written as
// hexadecimal text, accepted in either byte order, checked against the
// publisher key compiled into the program.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <openssl/rsa.h>

#include "platform/file_security.h"

namespace net {

using Bytes = std::vector<std::uint8_t>;
using Md5Digest = std::array<std::uint8_t, 16>;

// True only when the signature file validates the package file. Writes no
// log and changes no file.
[[nodiscard]] bool ValidateSignature(const std::string& packagePath,
                                     const std::string& signaturePath);

// MD5 of everything from the stream's position to its end, read in blocks of
// kDigestBlockSize bytes: memory does not grow with the file, and no size or
// position is asked of the stream. False when a read fails or nothing is
// left to read. For a package that is already open (binary mode).
[[nodiscard]] bool DigestOpenFile(std::FILE* file, Md5Digest& digest);
constexpr std::size_t kDigestBlockSize = 1024 * 1024;

// Opens the package in binary mode and digests it; false when it cannot be
// opened or read, or is empty.
[[nodiscard]] bool DigestPackageFile(const std::string& path, Md5Digest& digest);

// The checks of ValidateSignature on the package's digest and the signature
// file's text: decode, then both byte orders. key: another public key to
// check against (the publisher's tool), null for the compiled-in one.
[[nodiscard]] bool ValidateSignatureDigest(const Md5Digest& digest,
                                           const std::string& signatureText,
                                           RSA* key = nullptr);

// The same for a package already open (held against changes until it is
// run): validates the bytes read through that handle from its current
// position to its end.
[[nodiscard]] bool ValidateSignatureOfOpenFile(const platform::win::FileHandle& package,
                                               const std::string& signaturePath);

// Opens a package for its validation and launch: reading only, shared for
// reading only (it cannot be written, replaced or deleted while the handle
// lives), never through a link.
[[nodiscard]] platform::win::FileHandle OpenPackageHeld(const std::string& packagePath);

// The same checks on the package bytes themselves (false for no bytes).
[[nodiscard]] bool ValidateSignatureText(const Bytes& package, const std::string& signatureText);

// One verification of one byte order, against the package's digest; key as
// for ValidateSignatureDigest.
[[nodiscard]] bool VerifySignatureDigest(const Md5Digest& digest, const Bytes& signature,
                                         RSA* key = nullptr);

// One verification of one byte order, against the package bytes (false for
// no bytes).
[[nodiscard]] bool VerifySignatureBlock(const Bytes& package, const Bytes& signature);

// Puts the compiled-in modulus and exponent into key.
[[nodiscard]] bool LoadPublicKey(RSA* key);

// Whole file, binary, read to its end; false when it cannot be read or is
// empty. For small files: the bytes are held in memory.
[[nodiscard]] bool ReadFileBytes(const std::string& path, Bytes& bytes);

// Two hexadecimal digits per byte, read pair by pair as strtol would (an odd
// length gets a leading "0"); false when a pair yields no number.
[[nodiscard]] bool HexToBytes(const std::string& text, Bytes& bytes);

// Lower-case hexadecimal text of bytes.
[[nodiscard]] std::string BytesToHex(const Bytes& bytes);

}  // namespace net
