#pragma once
// UpdateManager against an in-process update server: a fixture that keeps
// "zyra-config.json" and the download folder to each test, and signing with
// the development key.
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

#include "app/file_helpers.h"
#include "net/signature.h"
#include "platform/clock.h"
#include "platform/file_security.h"
#include "platform/files.h"
#include "platform/utils/installer_launch.h"
#include "tests/support/http_server.h"
#include "tests/support/test_support.h"
#include "tools/zyra-sign/signing.h"
#include "update/update_manager.h"

namespace zyra_test::update_fixture {

namespace w = platform::win;
using zyra_test::TestHttpServer;

inline const std::string kManifestPath = "/corvane.com/api/files/manifest/zyra/latest";

inline std::string Sign(const std::string& content) {
  net::Bytes sig;
  std::string error;
  EXPECT_TRUE(zyra_sign::SignBytes(ZYRA_DEV_PRIVATE_KEY, net::Bytes(content.begin(), content.end()),
                                   sig, error));
  return net::BytesToHex(sig);
}

class Update : public ::testing::Test {
 protected:
  void SetUp() override {
    w::SetSleepHookForTesting([](w::DWORD) {});
    config_ = app::GetDataFilePath("zyra-config.json");
    app::DeleteFileIfExists(config_);
    folder_ = app::GetDownloadFolder();
    // The clean-up lists only a download folder that is there and trustworthy.
    ASSERT_TRUE(app::PrepareDownloadFolder());
  }
  void TearDown() override {
    app::DeleteFileIfExists(config_);
    app::SetCleanupListerForTesting(nullptr);
    w::SetSleepHookForTesting(nullptr);
  }
  void Config(const std::string& text) { ASSERT_TRUE(app::WriteWholeFile(config_, text)); }
  // A configuration whose current entry points at the test server.
  void PointAt(const TestHttpServer& server, const std::string& extra = "") {
    Config(R"({"morla":{"current":"test","available":[{"name":"test","url":")" +
           server.Url(kManifestPath) + "\"" + extra + "}]}}");
  }
  std::vector<std::string> DownloadFolderFiles() const { return app::ListFiles(folder_); }

  std::string config_;
  std::string folder_;
};

}  // namespace zyra_test::update_fixture
