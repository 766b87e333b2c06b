#include "net/signature.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <openssl/bn.h>
#include <openssl/md5.h>
#include <openssl/objects.h>

#include "app/file_helpers.h"
#include "net/package_key.h"
#include "platform/files.h"

namespace net {
namespace {

struct RsaFree {
  void operator()(RSA* r) const noexcept { RSA_free(r); }
};
using RsaPtr = std::unique_ptr<RSA, RsaFree>;

struct BnFree {
  void operator()(BIGNUM* b) const noexcept { BN_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// DER prefix of a DigestInfo for MD5, followed by the 16 digest bytes.
constexpr std::uint8_t kMd5DigestInfoPrefix[18] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08,
                                                   0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d,
                                                   0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr int kMd5Length = 16;

}  // namespace

bool LoadPublicKey(RSA* key) {
  if (key == nullptr) return false;
  BnPtr n(BN_bin2bn(kPackageKeyModulus, sizeof kPackageKeyModulus, nullptr));
  BnPtr e(BN_bin2bn(kPackageKeyExponent, sizeof kPackageKeyExponent, nullptr));
  if (!n || !e) return false;
  if (RSA_set0_key(key, n.get(), e.get(), nullptr) != 1) return false;
  n.release();  // owned by the key now
  e.release();
  return true;
}

bool ReadFileBytes(const std::string& path, Bytes& bytes) {
  platform::win::FilePtr f = platform::win::OpenFile(path, "rb");
  if (!f) return false;
  // Read to the end: a file position does not fit a 32-bit long beyond 2 GiB.
  Bytes data;
  std::uint8_t block[64 * 1024];
  std::size_t n;
  while ((n = std::fread(block, 1, sizeof block, f.get())) > 0)
    data.insert(data.end(), block, block + n);
  if (std::ferror(f.get()) != 0 || data.empty()) return false;
  bytes.swap(data);
  return true;
}

namespace {

// MD5 of the blocks read() hands over until it gives none, in one pass over
// one block of kDigestBlockSize bytes: memory does not grow with the
// package. False when a read fails or there was nothing to read.
template <typename Read>
bool DigestBlocks(Read read, Md5Digest& digest) {
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kDigestBlockSize]);
  if (!block) return false;
  MD5_CTX ctx;
  if (MD5_Init(&ctx) != 1) return false;
  bool any = false;
  for (;;) {
    std::size_t n = 0;
    if (!read(block.get(), kDigestBlockSize, n)) return false;
    if (n == 0) break;
    any = true;
    if (MD5_Update(&ctx, block.get(), n) != 1) return false;
  }
  if (!any) return false;
  Md5Digest out{};
  if (MD5_Final(out.data(), &ctx) != 1) return false;
  digest = out;
  return true;
}

}  // namespace

bool DigestOpenFile(std::FILE* file, Md5Digest& digest) {
  if (file == nullptr) return false;
  return DigestBlocks(
      [file](std::uint8_t* block, std::size_t size, std::size_t& n) {
        n = std::fread(block, 1, size, file);
        return std::ferror(file) == 0;
      },
      digest);
}

bool DigestPackageFile(const std::string& path, Md5Digest& digest) {
  platform::win::FilePtr f = platform::win::OpenFile(path, "rb");
  return f && DigestOpenFile(f.get(), digest);
}

bool HexToBytes(const std::string& text, Bytes& bytes) {
  const std::string hex = text.size() % 2 != 0 ? "0" + text : text;
  Bytes out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const char pair[3] = {hex[i], hex[i + 1], '\0'};
    char* end = nullptr;
    const long value = std::strtol(pair, &end, 16);
    if (end == pair) return false;
    out.push_back(static_cast<std::uint8_t>(static_cast<unsigned long>(value) & 0xFF));
  }
  bytes.swap(out);
  return true;
}

std::string BytesToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

bool VerifySignatureDigest(const Md5Digest& digest, const Bytes& signature, RSA* otherKey) {
  if (signature.empty()) return false;
  RsaPtr compiledIn;
  if (otherKey == nullptr) {
    compiledIn.reset(RSA_new());
    if (!compiledIn || !LoadPublicKey(compiledIn.get())) return false;
  }
  RSA* const key = otherKey != nullptr ? otherKey : compiledIn.get();

  Bytes block(static_cast<std::size_t>(RSA_size(key)));
  const int n = RSA_public_decrypt(static_cast<int>(signature.size()), signature.data(),
                                   block.data(), key, RSA_PKCS1_PADDING);
  if (n < kMd5Length) return false;
  if (n == kMd5Length) return std::memcmp(block.data(), digest.data(), kMd5Length) == 0;
  if (n < static_cast<int>(sizeof kMd5DigestInfoPrefix) ||
      std::memcmp(block.data(), kMd5DigestInfoPrefix, sizeof kMd5DigestInfoPrefix) != 0)
    return false;
  return RSA_verify(NID_md5, digest.data(), kMd5Length, signature.data(),
                    static_cast<unsigned int>(signature.size()), key) == 1;
}

bool VerifySignatureBlock(const Bytes& package, const Bytes& signature) {
  if (package.empty()) return false;
  Md5Digest digest{};
  MD5(package.data(), package.size(), digest.data());
  return VerifySignatureDigest(digest, signature);
}

bool ValidateSignature(const std::string& packagePath, const std::string& signaturePath) {
  Md5Digest digest{};
  if (!DigestPackageFile(packagePath, digest)) return false;
  std::string text;
  if (signaturePath.empty() || !app::ReadWholeFile(signaturePath, text)) return false;
  return ValidateSignatureDigest(digest, text);
}

bool ValidateSignatureDigest(const Md5Digest& digest, const std::string& signatureText,
                             RSA* key) {
  Bytes signature;
  if (!HexToBytes(signatureText, signature)) return false;
  if (VerifySignatureDigest(digest, signature, key)) return true;
  std::reverse(signature.begin(), signature.end());
  return VerifySignatureDigest(digest, signature, key);
}

platform::win::FileHandle OpenPackageHeld(const std::string& packagePath) {
  namespace w = platform::win;
  return w::CreateFileA(packagePath, w::kGenericRead, w::kFileShareRead, w::kOpenExisting,
                        w::kFileFlagOpenReparsePoint);
}

bool ValidateSignatureOfOpenFile(const platform::win::FileHandle& package,
                                 const std::string& signaturePath) {
  if (!package.valid()) return false;
  Md5Digest digest{};
  const bool digested = DigestBlocks(
      [&package](std::uint8_t* block, std::size_t size, std::size_t& n) {
        platform::win::DWORD read = 0;
        if (!platform::win::ReadFile(package, block, static_cast<platform::win::DWORD>(size),
                                     &read))
          return false;
        n = read;
        return true;
      },
      digest);
  std::string text;
  if (!digested || signaturePath.empty() || !app::ReadWholeFile(signaturePath, text))
    return false;
  return ValidateSignatureDigest(digest, text);
}

bool ValidateSignatureText(const Bytes& package, const std::string& signatureText) {
  if (package.empty()) return false;
  Md5Digest digest{};
  MD5(package.data(), package.size(), digest.data());
  return ValidateSignatureDigest(digest, signatureText);
}

}  // namespace net
