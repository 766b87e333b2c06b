// Package signature validation against the compiled-in (development) key,
// with signatures made by the publisher's code and by raw RSA operations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/md5.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include "app/file_helpers.h"
#include "net/signature.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "tests/support/test_support.h"
#include "tools/zyra-sign/signing.h"

namespace {

using net::Bytes;

struct RsaFree {
  void operator()(RSA* r) const noexcept { RSA_free(r); }
};

std::unique_ptr<RSA, RsaFree> DevKey() {
  const std::string pem = zyra_test::ReadBytes(platform::win::FromHostPath(ZYRA_DEV_PRIVATE_KEY));
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  RSA* rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
  EVP_PKEY_free(pkey);
  return std::unique_ptr<RSA, RsaFree>(rsa);
}

Bytes Md5(const Bytes& data) {
  Bytes d(MD5_DIGEST_LENGTH);
  MD5(data.data(), data.size(), d.data());
  return d;
}

std::string Hex(Bytes b) { return net::BytesToHex(b); }

class Signature : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = DevKey();
    ASSERT_TRUE(key_) << "cannot load " << ZYRA_DEV_PRIVATE_KEY;
    std::string temp;
    platform::win::GetTempPathA(temp);
    dir_ = temp + "zyra-signature-test";
    platform::win::SHCreateDirectoryExA(dir_);
    package_ = Bytes(70000);
    for (std::size_t i = 0; i < package_.size(); ++i)
      package_[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 7));
    WritePackage(package_);
  }
  void WritePackage(const Bytes& b) {
    ASSERT_TRUE(zyra_test::WriteBytes(Pkg(), std::string(b.begin(), b.end())));
  }
  void WriteSig(const std::string& text) { ASSERT_TRUE(zyra_test::WriteBytes(Sig(), text)); }
  std::string Pkg() const { return dir_ + "\\package.exe"; }
  std::string Sig() const { return dir_ + "\\package.exe.sig"; }
  bool Valid() const { return net::ValidateSignature(Pkg(), Sig()); }

  Bytes SignMd5(const Bytes& data) const {
    Bytes sig;
    std::string error;
    EXPECT_TRUE(zyra_sign::SignBytes(ZYRA_DEV_PRIVATE_KEY, data, sig, error)) << error;
    return sig;
  }
  // Type 1 padding around raw bytes, no DigestInfo.
  Bytes RawSign(const Bytes& payload) const {
    Bytes sig(static_cast<std::size_t>(RSA_size(key_.get())));
    const int n = RSA_private_encrypt(static_cast<int>(payload.size()), payload.data(),
                                      sig.data(), key_.get(), RSA_PKCS1_PADDING);
    EXPECT_EQ(n, 256);
    return sig;
  }

  std::unique_ptr<RSA, RsaFree> key_;
  std::string dir_;
  Bytes package_;
};

}  // namespace

TEST_F(Signature, ValidInEitherByteOrderAndInEitherLetterCase) {
  Bytes sig = SignMd5(package_);
  WriteSig(Hex(sig));
  EXPECT_TRUE(Valid());
  std::string upper = Hex(sig);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  WriteSig(upper);
  EXPECT_TRUE(Valid());
  std::reverse(sig.begin(), sig.end());
  WriteSig(Hex(sig));
  EXPECT_TRUE(Valid());
}

TEST_F(Signature, LineBreakAfterTheDigitsSpoilsIt) {
  const std::string hex = Hex(SignMd5(package_));
  WriteSig(hex + "\n");
  EXPECT_FALSE(Valid());
  WriteSig(hex + "\r\n");  // read in text mode: the same single line feed
  EXPECT_FALSE(Valid());
}

TEST_F(Signature, OneChangedPackageByteOrAnotherKeyFails) {
  WriteSig(Hex(SignMd5(package_)));
  ASSERT_TRUE(Valid());
  Bytes changed = package_;
  changed[12345] ^= 0x01;
  WritePackage(changed);
  EXPECT_FALSE(Valid());

  WritePackage(package_);
  RSA* other = RSA_new();
  BIGNUM* e = BN_new();
  BN_set_word(e, 65537);
  ASSERT_EQ(RSA_generate_key_ex(other, 2048, e, nullptr), 1);
  Bytes digest = Md5(package_);
  Bytes sig(256);
  unsigned int len = 0;
  ASSERT_EQ(RSA_sign(NID_md5, digest.data(), 16, sig.data(), &len, other), 1);
  RSA_free(other);
  BN_free(e);
  WriteSig(Hex(sig));
  EXPECT_FALSE(Valid());
}

TEST_F(Signature, EmptyOrMissingInputsFail) {
  WriteSig(Hex(SignMd5(package_)));
  EXPECT_FALSE(net::ValidateSignature(Pkg(), ""));
  EXPECT_FALSE(net::ValidateSignature(Pkg(), dir_ + "\\absent.sig"));
  EXPECT_FALSE(net::ValidateSignature(dir_ + "\\absent.exe", Sig()));
  WriteSig("");
  EXPECT_FALSE(Valid());
  WriteSig(Hex(SignMd5(package_)));
  WritePackage({});
  EXPECT_FALSE(Valid());
}

TEST_F(Signature, BareDigestIsAcceptedOnlyWhenEveryByteMatches) {
  Bytes digest = Md5(package_);
  WriteSig(Hex(RawSign(digest)));
  EXPECT_TRUE(Valid());
  for (std::size_t pos : {std::size_t{0}, std::size_t{7}, std::size_t{15}}) {
    Bytes wrong = digest;
    wrong[pos] ^= 0x80;
    WriteSig(Hex(RawSign(wrong)));
    EXPECT_FALSE(Valid()) << pos;
  }
  // Fifteen or seventeen bytes are neither a bare digest nor a DigestInfo.
  WriteSig(Hex(RawSign(Bytes(digest.begin(), digest.end() - 1))));
  EXPECT_FALSE(Valid());
  Bytes longer = digest;
  longer.push_back(0);
  WriteSig(Hex(RawSign(longer)));
  EXPECT_FALSE(Valid());
}

TEST_F(Signature, DigestInfoOfAnotherAlgorithmFails) {
  Bytes sha(SHA_DIGEST_LENGTH);
  SHA1(package_.data(), package_.size(), sha.data());
  Bytes sig(256);
  unsigned int len = 0;
  ASSERT_EQ(RSA_sign(NID_sha1, sha.data(), SHA_DIGEST_LENGTH, sig.data(), &len, key_.get()), 1);
  WriteSig(Hex(sig));
  EXPECT_FALSE(Valid());
}

TEST_F(Signature, LeadingZeroByteMustStillBeWrittenAsTwoDigits) {
  // Find a package whose signature starts with a zero byte.
  Bytes sig;
  Bytes pkg = package_;
  for (std::uint32_t salt = 0; salt < 20000; ++salt) {
    pkg[0] = static_cast<std::uint8_t>(salt);
    pkg[1] = static_cast<std::uint8_t>(salt >> 8);
    sig = SignMd5(pkg);
    if (sig[0] == 0) break;
  }
  ASSERT_EQ(sig[0], 0);
  WritePackage(pkg);
  WriteSig(Hex(sig));
  EXPECT_TRUE(Valid());
  WriteSig(Hex(sig).substr(2));  // 510 digits: 255 bytes
  EXPECT_FALSE(Valid());
}

TEST_F(Signature, LongerThanTheKeyOrNotHexFails) {
  const std::string hex = Hex(SignMd5(package_));
  WriteSig(hex + "00");
  EXPECT_FALSE(Valid());
  WriteSig("zz" + hex.substr(2));
  EXPECT_FALSE(Valid());
}

TEST(HexToBytes, ReadsPairsAsStrtolDoes) {
  Bytes b;
  ASSERT_TRUE(net::HexToBytes("0aFf10", b));
  EXPECT_EQ(b, (Bytes{0x0a, 0xff, 0x10}));
  ASSERT_TRUE(net::HexToBytes("abc", b));  // odd: read as 0abc
  EXPECT_EQ(b, (Bytes{0x0a, 0xbc}));
  ASSERT_TRUE(net::HexToBytes("", b));
  EXPECT_TRUE(b.empty());
  ASSERT_TRUE(net::HexToBytes(" f-1+a", b));  // blank and signs as strtol takes them
  EXPECT_EQ(b, (Bytes{0x0f, 0xff, 0x0a}));
  ASSERT_TRUE(net::HexToBytes("1g", b));  // stops at the first non-digit
  EXPECT_EQ(b, (Bytes{0x01}));
  b = {0x42};
  EXPECT_FALSE(net::HexToBytes("00zz", b));
  EXPECT_EQ(b, (Bytes{0x42}));  // unchanged on failure
}

TEST_F(Signature, PackagesAcrossDigestBlocksValidateAndTheirLastByteCounts) {
  const std::size_t block = net::kDigestBlockSize;
  for (std::size_t size : {block - 1, block, block + 1, 3 * block + 17}) {
    Bytes pkg(size);
    for (std::size_t i = 0; i < size; ++i) pkg[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 11));
    WritePackage(pkg);
    WriteSig(Hex(SignMd5(pkg)));
    EXPECT_TRUE(Valid()) << size;
    pkg.back() ^= 0x01;
    WritePackage(pkg);
    EXPECT_FALSE(Valid()) << size;
    pkg.back() ^= 0x01;
    pkg[std::min(size, block) - 1] ^= 0x40;  // the last byte of the first block
    WritePackage(pkg);
    EXPECT_FALSE(Valid()) << size;
  }
}

TEST_F(Signature, AnOpenPackageIsDigestedFromItsPositionToItsEnd) {
  platform::win::FilePtr f = platform::win::OpenFile(Pkg(), "rb");
  ASSERT_TRUE(f);
  char head[100];
  ASSERT_EQ(std::fread(head, 1, sizeof head, f.get()), sizeof head);
  net::Md5Digest digest{};
  ASSERT_TRUE(net::DigestOpenFile(f.get(), digest));
  const Bytes rest = Md5(Bytes(package_.begin() + sizeof head, package_.end()));
  EXPECT_EQ(Bytes(digest.begin(), digest.end()), rest);
  // Nothing left: not a digest of an empty package.
  EXPECT_FALSE(net::DigestOpenFile(f.get(), digest));
  EXPECT_FALSE(net::DigestOpenFile(nullptr, digest));

  ASSERT_TRUE(net::DigestPackageFile(Pkg(), digest));
  WriteSig(Hex(SignMd5(package_)));
  std::string text;
  ASSERT_TRUE(app::ReadWholeFile(Sig(), text));
  EXPECT_TRUE(net::ValidateSignatureDigest(digest, text));
  EXPECT_FALSE(net::DigestPackageFile(dir_ + "\\absent.exe", digest));
}
