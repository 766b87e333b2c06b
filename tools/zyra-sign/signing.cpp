#include "tools/zyra-sign/signing.h"

#include <cstdio>
#include <memory>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

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

std::string OpenSslError(const std::string& what) {
  const unsigned long e = ERR_get_error();
  char buf[256] = {};
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  return e != 0 ? what + ": " + buf : what;
}

}  // namespace

bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string& error) {
  CtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
    error = OpenSslError("key generation failed");
    return false;
  }
  PkeyPtr key(raw);
  BioPtr priv(BIO_new_file(privatePath.c_str(), "wb"));
  if (!priv || PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                        nullptr) != 1) {
    error = OpenSslError("cannot write " + privatePath);
    return false;
  }
  BioPtr pub(BIO_new_file(publicPath.c_str(), "wb"));
  if (!pub || PEM_write_bio_PUBKEY(pub.get(), key.get()) != 1) {
    error = OpenSslError("cannot write " + publicPath);
    return false;
  }
  return true;
}

namespace {

// Loads the publisher's private key and starts an MD5 signing context with
// PKCS #1 v1.5 padding.
bool StartSigning(const std::string& privatePemPath, PkeyPtr& key, EVP_MD_CTX* md,
                  std::string& error) {
  BioPtr in(BIO_new_file(privatePemPath.c_str(), "rb"));
  if (!in) {
    error = OpenSslError("cannot read " + privatePemPath);
    return false;
  }
  key.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
    error = OpenSslError(privatePemPath + " is not an RSA private key");
    return false;
  }
  if (EVP_PKEY_bits(key.get()) != 2048) {
    error = privatePemPath + " is not a 2048-bit key";
    return false;
  }
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
               std::string& error) {
  MdPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  PkeyPtr key;
  if (!StartSigning(privatePemPath, key, md.get(), error)) return false;
  if (EVP_DigestSignUpdate(md.get(), data.data(), data.size()) != 1) {
    error = OpenSslError("signing failed");
    return false;
  }
  return FinishSigning(md.get(), signature, error);
}

bool SignOpenFile(const std::string& privatePemPath, std::FILE* file, net::Bytes& signature,
                  std::string& error) {
  MdPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  PkeyPtr key;
  if (!StartSigning(privatePemPath, key, md.get(), error)) return false;
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

}  // namespace zyra_sign
