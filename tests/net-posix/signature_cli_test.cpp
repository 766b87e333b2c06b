// zyra-sign and the openssl command line agree: a signature made by
// "openssl dgst -md5 -sign" validates, and one made by the publisher's code
// verifies with "openssl dgst -md5 -verify".
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "net/signature.h"
#include "platform/files.h"
#include "platform/posix/machine.h"
#include "tools/zyra-sign/signing.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OpensslRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = platform::posix::MachineRoot() + "/openssl-roundtrip";
    fs::create_directories(dir_);
    std::ofstream(dir_ + "/package.exe", std::ios::binary) << std::string(100000, 'p') << "end";
  }
  std::string dir_;
};

}  // namespace

TEST_F(OpensslRoundTrip, OpensslSignatureValidates) {
  const std::string cmd = "openssl dgst -md5 -sign '" + std::string(ZYRA_DEV_PRIVATE_KEY) +
                          "' -out '" + dir_ + "/sig.bin' '" + dir_ + "/package.exe'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string raw = Slurp(dir_ + "/sig.bin");
  ASSERT_EQ(raw.size(), 256u);
  std::ofstream(dir_ + "/package.exe.sig", std::ios::binary)
      << net::BytesToHex(net::Bytes(raw.begin(), raw.end()));
  EXPECT_TRUE(net::ValidateSignature(platform::win::FromHostPath(dir_ + "/package.exe"),
                                     platform::win::FromHostPath(dir_ + "/package.exe.sig")));
}

TEST_F(OpensslRoundTrip, PublisherSignatureVerifiesWithOpenssl) {
  const std::string pkg = Slurp(dir_ + "/package.exe");
  net::Bytes sig;
  std::string error;
  ASSERT_TRUE(zyra_sign::SignBytes(ZYRA_DEV_PRIVATE_KEY, net::Bytes(pkg.begin(), pkg.end()), sig,
                                   error))
      << error;
  std::ofstream(dir_ + "/sig.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(sig.data()), static_cast<std::streamsize>(sig.size()));
  const std::string pub = dir_ + "/public.pem";
  ASSERT_EQ(std::system(("openssl pkey -in '" + std::string(ZYRA_DEV_PRIVATE_KEY) +
                         "' -pubout -out '" + pub + "'")
                            .c_str()),
            0);
  const std::string cmd = "openssl dgst -md5 -verify '" + pub + "' -signature '" + dir_ +
                          "/sig.bin' '" + dir_ + "/package.exe' >/dev/null";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}
