// The libcurl the Windows program links: TLS through Schannel (the Windows
// certificate store) and authentication through SSPI, so that a proxy asking
// for NTLM or Negotiate can be answered with the account the program runs as
// when the override file has no credentials.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

TEST(WindowsLibcurl, AuthenticatesThroughSspiWithEveryProxyScheme) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  ASSERT_NE(info, nullptr);
  EXPECT_NE(info->features & CURL_VERSION_SSPI, 0) << "libcurl built without SSPI";
  EXPECT_NE(info->features & CURL_VERSION_NTLM, 0) << "no NTLM";
  EXPECT_NE(info->features & CURL_VERSION_SPNEGO, 0) << "no Negotiate";
  EXPECT_NE(info->features & CURL_VERSION_KERBEROS5, 0) << "no Kerberos";
  EXPECT_NE(info->features & CURL_VERSION_SSL, 0);
  ASSERT_NE(info->ssl_version, nullptr);
  EXPECT_NE(std::string(info->ssl_version).find("Schannel"), std::string::npos)
      << info->ssl_version;
}

// Only http and https can be asked for; the option is known to this build.
TEST(WindowsLibcurl, AcceptsTheProtocolRestriction) {
  CURL* handle = curl_easy_init();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"), CURLE_OK);
  EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"), CURLE_OK);
  EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY)),
            CURLE_OK);
  curl_easy_cleanup(handle);
}
