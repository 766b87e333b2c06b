// Certificate revocation as the transfers ask for it, against the TLS
// library the build links: with Windows' Schannel a CRL that cannot be
// reached must not refuse a valid server (best effort); with OpenSSL, which
// checks no revocation, the option is left alone.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "net/download_manager.h"

namespace {

bool LinkedTlsIsSchannel() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return info != nullptr && info->ssl_version != nullptr &&
         std::string(info->ssl_version).find("Schannel") != std::string::npos;
}

TEST(TransferTls, RevocationIsBestEffortExactlyWhenTheTlsLibraryIsSchannel) {
  if (LinkedTlsIsSchannel()) {
    EXPECT_EQ(net::TransferSslOptions(), static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  } else {
    EXPECT_EQ(net::TransferSslOptions(), 0L) << "only Schannel builds change revocation checks";
  }
  // Best effort, never "no revocation check at all".
  EXPECT_EQ(net::TransferSslOptions() & static_cast<long>(CURLSSLOPT_NO_REVOKE), 0L);
}

TEST(TransferTls, TheLinkedLibcurlTakesTheOptionsTheTransfersSet) {
  CURL* handle = curl_easy_init();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, net::TransferSslOptions()), CURLE_OK);
  curl_easy_cleanup(handle);
}

}  // namespace
