// Signature files: HexToBytes and the checks of ValidateSignature on what it
// read (ValidateSignatureText), against the key compiled into the program.
//
// Input: the package bytes, a NUL, the signature file's text.
#include <openssl/md5.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "net/signature.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using net::Bytes;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decoding: one byte per pair (a leading "0" for odd lengths); plain
// hexadecimal text decodes digit by digit; a pair that starts with a
// character strtol cannot start a number with fails the whole decode.
void CheckHexToBytes(const std::string& text) {
  Bytes bytes{0xAA};
  const bool ok = net::HexToBytes(text, bytes);
  if (ok) {
    FUZZ_CHECK(bytes.size() == (text.size() + 1) / 2);
  } else {
    FUZZ_CHECK(bytes == Bytes{0xAA});  // untouched
  }
  const std::string hex = text.size() % 2 != 0 ? "0" + text : text;
  bool plain = true;
  bool startsBad = false;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    if (HexValue(hex[i]) < 0) plain = false;
    if (i % 2 == 0 && HexValue(hex[i]) < 0 && !IsSpace(hex[i]) && hex[i] != '+' && hex[i] != '-')
      startsBad = true;
  }
  if (plain) {
    FUZZ_CHECK(ok);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      FUZZ_CHECK(bytes[i] == HexValue(hex[2 * i]) * 16 + HexValue(hex[2 * i + 1]));
  }
  if (startsBad) FUZZ_CHECK(!ok);
}

// Encoding and decoding give the bytes back, in either letter case.
void CheckRoundTrip(const Bytes& bytes) {
  const std::string hex = net::BytesToHex(bytes);
  FUZZ_CHECK(hex.size() == 2 * bytes.size());
  Bytes back;
  FUZZ_CHECK(net::HexToBytes(hex, back) && back == bytes);
  std::string upper = hex;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  back.clear();
  FUZZ_CHECK(net::HexToBytes(upper, back) && back == bytes);
}

// The public-key operation on one byte order ends with the package's MD5.
bool RecoversDigest(const Bytes& package, const Bytes& signature) {
  std::unique_ptr<RSA, decltype(&RSA_free)> key(RSA_new(), RSA_free);
  if (!key || !net::LoadPublicKey(key.get())) return false;
  Bytes block(static_cast<std::size_t>(RSA_size(key.get())));
  const int n = RSA_public_decrypt(static_cast<int>(signature.size()), signature.data(),
                                   block.data(), key.get(), RSA_PKCS1_PADDING);
  if (n < MD5_DIGEST_LENGTH) return false;
  std::uint8_t digest[MD5_DIGEST_LENGTH];
  MD5(package.data(), package.size(), digest);
  return std::memcmp(block.data() + n - MD5_DIGEST_LENGTH, digest, MD5_DIGEST_LENGTH) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const Bytes package(data, data + (nul == std::string::npos ? size : nul));
  const std::string text = nul == std::string::npos ? std::string() : input.substr(nul + 1);

  CheckHexToBytes(text);
  CheckRoundTrip(Bytes(data, data + size));

  const bool valid = net::ValidateSignatureText(package, text);
  if (valid) {
    // Only a real signature of this package by the compiled-in key passes.
    FUZZ_CHECK(!package.empty());
    Bytes signature;
    FUZZ_CHECK(net::HexToBytes(text, signature));
    Bytes reversed(signature.rbegin(), signature.rend());
    FUZZ_CHECK(RecoversDigest(package, signature) || RecoversDigest(package, reversed));
    // Any other package fails with the same signature.
    Bytes other = package;
    other[0] = static_cast<std::uint8_t>(other[0] ^ 0x01);
    FUZZ_CHECK(!net::ValidateSignatureText(other, text));
  }
  // A line break after the digits shifts every pair.
  if (valid && text.size() % 2 == 0 && !text.empty())
    FUZZ_CHECK(!net::ValidateSignatureText(package, text + "\n"));
  return 0;
}
