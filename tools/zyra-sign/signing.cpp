#include "tools/zyra-sign/signing.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "net/package_key.h"
#include "tools/zyra-sign/key_file.h"

namespace zyra_sign {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};
struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free(b); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct BnFree {
  void operator()(BIGNUM* b) const noexcept { BN_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

std::string OpenSslError(const std::string& what) {
  const unsigned long e = ERR_get_error();
  char buf[256] = {};
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  return e != 0 ? what + ": " + buf : what;
}

// The only keys the program checks signatures with.
constexpr int kKeyBits = 2048;
constexpr unsigned long kExponent = 65537;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 && data != nullptr ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

// An RSA key of the program's kind: 2048 bits, exponent 65537.
bool CheckKeyShape(const EVP_PKEY* key, const std::string& path, std::string& error) {
  if (EVP_PKEY_get_bits(key) != kKeyBits) {
    error = path + " is a " + std::to_string(EVP_PKEY_get_bits(key)) +
            "-bit key; the program checks 2048-bit keys only";
    return false;
  }
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &raw) != 1) {
    error = OpenSslError("cannot read the exponent of " + path);
    return false;
  }
  BnPtr e(raw);
  if (!BN_is_word(e.get(), kExponent)) {
    char* dec = BN_bn2dec(e.get());
    error = path + " has the public exponent " + (dec != nullptr ? dec : "?") +
            "; the program checks keys with exponent 65537 only";
    OPENSSL_free(dec);
    return false;
  }
  return true;
}

}  // namespace

bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     bool replace, std::string& error) {
  namespace fs = std::filesystem;
  if (!replace) {
    // Both paths are checked before anything is written: never half a pair.
    for (const std::string* p : {&privatePath, &publicPath}) {
      std::error_code ec;
      if (fs::exists(fs::symlink_status(*p, ec))) {
        error = *p + " exists: not replaced (--force replaces it)";
        return false;
      }
    }
  }
  CtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  EVP_PKEY* raw = nullptr;
  BnPtr e(BN_new());
  if (!ctx || !e || BN_set_word(e.get(), kExponent) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kKeyBits) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
    error = OpenSslError("key generation failed");
    return false;
  }
  PkeyPtr key(raw);
  std::string privatePem, publicPem;
  {
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (!mem || PEM_write_bio_PrivateKey(mem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
      error = OpenSslError("cannot encode the private key");
      return false;
    }
    privatePem = BioText(mem.get());
  }
  {
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (!mem || PEM_write_bio_PUBKEY(mem.get(), key.get()) != 1) {
      error = OpenSslError("cannot encode the public key");
      return false;
    }
    publicPem = BioText(mem.get());
  }
  if (!WriteKeyFile(privatePath, privatePem, true, replace, error)) return false;
  return WriteKeyFile(publicPath, publicPem, false, replace, error);
}

namespace {

// What OpenSSL's pass-phrase callback works with while one key is read.
struct PassPhraseRequest {
  const std::string* path;
  PassPhrase* pass;
  bool asked = false;
};

// OpenSSL asks for the pass-phrase of an encrypted key: the one given, or
// asked for on the terminal once; never a prompt without a terminal.
int OnPassPhrase(char* buf, int size, int /*rwflag*/, void* userdata) {
  auto* request = static_cast<PassPhraseRequest*>(userdata);
  request->asked = true;
  PassPhrase* pass = request->pass;
  if (pass == nullptr) return -1;
  if (!pass->known && pass->mayAsk) {
    char entered[1024] = {};
    const std::string prompt = "Pass-phrase of " + *request->path + ": ";
    const bool read = EVP_read_pw_string(entered, sizeof entered, prompt.c_str(), 0) == 0;
    if (read) {
      pass->text = entered;
      pass->known = true;
    }
    OPENSSL_cleanse(entered, sizeof entered);
    pass->mayAsk = false;  // asked once, whatever came of it
    if (!read) return -1;
  }
  if (!pass->known || pass->text.size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buf, pass->text.data(), pass->text.size());
  return static_cast<int>(pass->text.size());
}

// Loads the publisher's private key and starts an MD5 signing context with
// PKCS #1 v1.5 padding.
bool StartSigning(const std::string& privatePemPath, PkeyPtr& key, EVP_MD_CTX* md,
                  std::string& error, PassPhrase* pass) {
  BioPtr in(BIO_new_file(privatePemPath.c_str(), "rb"));
  if (!in) {
    error = OpenSslError("cannot read " + privatePemPath);
    return false;
  }
  PassPhraseRequest request{&privatePemPath, pass};
  key.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, OnPassPhrase, &request));
  if (!key && request.asked) {
    ERR_clear_error();
    error = pass != nullptr && pass->known
                ? "the pass-phrase does not open " + privatePemPath
                : privatePemPath +
                      " is protected by a pass-phrase: give it with --pass-file FILE (the "
                      "file's first line is the pass-phrase); zyra-sign asks for it only when "
                      "its standard input is a terminal";
    return false;
  }
  if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
    error = OpenSslError(privatePemPath + " is not an RSA private key");
    return false;
  }
  if (!CheckKeyShape(key.get(), privatePemPath, error)) return false;
  EVP_PKEY_CTX* pctx = nullptr;
  if (md == nullptr || EVP_DigestSignInit(md, &pctx, EVP_md5(), nullptr, key.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
    error = OpenSslError("signing failed");
    return false;
  }
  return true;
}

bool FinishSigning(EVP_MD_CTX* md, net::Bytes& signature, std::string& error) {
  std::size_t len = 0;
  if (EVP_DigestSignFinal(md, nullptr, &len) != 1) {
    error = OpenSslError("signing failed");
    return false;
  }
  net::Bytes out(len);
  if (EVP_DigestSignFinal(md, out.data(), &len) != 1) {
    error = OpenSslError("signing failed");
    return false;
  }
  out.resize(len);
  signature.swap(out);
  return true;
}

using MdPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

}  // namespace

bool SignBytes(const std::string& privatePemPath, const net::Bytes& data, net::Bytes& signature,
               std::string& error, PassPhrase* pass) {
  MdPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  PkeyPtr key;
  if (!StartSigning(privatePemPath, key, md.get(), error, pass)) return false;
  if (EVP_DigestSignUpdate(md.get(), data.data(), data.size()) != 1) {
    error = OpenSslError("signing failed");
    return false;
  }
  return FinishSigning(md.get(), signature, error);
}

bool SignOpenFile(const std::string& privatePemPath, std::FILE* file, net::Bytes& signature,
                  std::string& error, PassPhrase* pass) {
  MdPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  PkeyPtr key;
  if (!StartSigning(privatePemPath, key, md.get(), error, pass)) return false;
  std::vector<unsigned char> block(net::kDigestBlockSize);
  bool any = false;
  std::size_t n;
  while ((n = std::fread(block.data(), 1, block.size(), file)) > 0) {
    any = true;
    if (EVP_DigestSignUpdate(md.get(), block.data(), n) != 1) {
      error = OpenSslError("signing failed");
      return false;
    }
  }
  if (std::ferror(file) != 0 || !any) {
    error = "cannot read the file (or it is empty)";
    return false;
  }
  return FinishSigning(md.get(), signature, error);
}

bool IsBuildKey(const std::string& privatePemPath, bool& matches, std::string& error,
                PassPhrase* pass) {
  MdPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  PkeyPtr key;
  if (!StartSigning(privatePemPath, key, md.get(), error, pass)) return false;
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &raw) != 1) {
    error = OpenSslError("cannot read the modulus of " + privatePemPath);
    return false;
  }
  BnPtr n(raw);
  // The compiled-in modulus: a leading zero byte, then 256 bytes.
  unsigned char modulus[sizeof net::kPackageKeyModulus - 1];
  matches = BN_bn2binpad(n.get(), modulus, sizeof modulus) == static_cast<int>(sizeof modulus) &&
            std::memcmp(modulus, net::kPackageKeyModulus + 1, sizeof modulus) == 0;
  return true;
}

RSA* LoadVerifyKey(const std::string& publicPemPath, std::string& error) {
  BioPtr in(BIO_new_file(publicPemPath.c_str(), "rb"));
  if (!in) {
    error = OpenSslError("cannot read " + publicPemPath);
    return nullptr;
  }
  PkeyPtr key(PEM_read_bio_PUBKEY(in.get(), nullptr, nullptr, nullptr));
  if (!key) {
    // A PKCS #1 "RSA PUBLIC KEY" file.
    ERR_clear_error();
    BIO_reset(in.get());
    RSA* rsa = PEM_read_bio_RSAPublicKey(in.get(), nullptr, nullptr, nullptr);
    if (rsa != nullptr) {
      key.reset(EVP_PKEY_new());
      if (!key || EVP_PKEY_assign_RSA(key.get(), rsa) != 1) {
        RSA_free(rsa);
        key.reset();
      }
    }
  }
  if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
    error = OpenSslError(publicPemPath + " is not an RSA public key (PEM)");
    return nullptr;
  }
  if (!CheckKeyShape(key.get(), publicPemPath, error)) return nullptr;
  RSA* rsa = EVP_PKEY_get1_RSA(key.get());
  if (rsa == nullptr) error = OpenSslError("cannot use " + publicPemPath);
  return rsa;
}

}  // namespace zyra_sign
