#pragma once
// The emulated machine's proxy sources under test: its registry, hosts file
// and override file, and a loopback server that serves PAC scripts from
// C:\pac. Shared by the tests of the Windows settings, discovery and PAC
// scripts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include "platform/files.h"
#include "platform/posix/machine.h"
#include "platform/posix/pac_engine.h"
#include "platform/utils/proxy_detector.h"
#include "platform/utf.h"
#include "platform/winhttp.h"

#include "tests/support/loopback.h"

namespace zyra_test::proxy {

namespace fs = std::filesystem;
namespace w = platform::win;
using platform::ProxyDetector;
using platform::ProxyMode;
using platform::ProxySource;
using platform::ProxyTarget;

constexpr const char* kConnectionsKey =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet "
    "Settings\\Connections]\n";
constexpr const char* kUserKey =
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\n";
constexpr const char* kTcpipKey =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n";
constexpr const char* kDirect = "source = System;target = none;autoConfigUrl = ;proxyBypass = ;proxy = ;";
constexpr const char* kNoOverride =
    "PAC file: can't read C:\\ProgramData\\Corvane\\CorvZyra\\ProxyAutoConfigUrl.txt\n";

// An HTTP server on loopback for one test. Handlers are added before Start.
class LoopbackServer {
 public:
  LoopbackServer() = default;
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer() { Stop(); }

  httplib::Server& http() { return server_; }

  // Binds (a free port when port is 0) and serves; false when it cannot bind.
  bool Start(const char* address = "127.0.0.1", int port = 0) {
    if (port == 0) {
      port_ = server_.bind_to_any_port(address);
    } else {
      port_ = server_.bind_to_port(address, port) ? port : -1;
    }
    if (port_ <= 0) return false;
    // The socket listens from here on; requests queue until the loop runs.
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      done_ = true;
    });
    return true;
  }

  void Stop() {
    if (!thread_.joinable()) return;
    while (!server_.is_running() && !done_) std::this_thread::yield();
    server_.stop();
    thread_.join();
  }

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  int port_ = -1;
};

// A loopback port nothing listens on.
inline int ClosedPort() { return FreeLoopbackPort(); }

inline std::string Host(const std::string& relative) {
  return platform::posix::MachineRoot() + "/" + relative;
}

inline void WriteHostFile(const std::string& hostPath, const std::string& bytes) {
  fs::create_directories(fs::path(hostPath).parent_path());
  std::ofstream(hostPath, std::ios::binary) << bytes;
}

class EmulatedProxy : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    // Serves C:\pac\<name> as /pac/<name>, read at each request.
    scripts_.http().Get(R"(/pac/([^/]+))", [](const httplib::Request& req,
                                              httplib::Response& res) {
      std::ifstream in(Host("drive_c/pac/" + std::string(req.matches[1])), std::ios::binary);
      if (!in) {
        res.status = 404;
        return;
      }
      std::ostringstream body;
      body << in.rdbuf();
      res.set_content(body.str(), "application/x-ns-proxy-autoconfig");
    });
    ASSERT_TRUE(scripts_.Start());
    scriptsPort_ = scripts_.port();
  }
  void TearDown() override {
    scripts_.Stop();
    Clean();
  }

  static void Clean() {
    std::error_code ec;
    fs::remove(Host("registry.reg"), ec);
    fs::remove(Host("drive_c/Windows/System32/drivers/etc/hosts"), ec);
    fs::remove_all(Host("drive_c/ProgramData/Corvane"), ec);
    fs::remove_all(Host("drive_c/pac"), ec);
  }
  static void Registry(const std::string& body) {
    WriteHostFile(Host("registry.reg"), "Windows Registry Editor Version 5.00\n\n" + body);
  }
  static void HostsFile(const std::string& text) {
    WriteHostFile(Host("drive_c/Windows/System32/drivers/etc/hosts"), text);
  }
  static void OverrideFile(const std::string& text) {
    WriteHostFile(Host("drive_c/ProgramData/Corvane/CorvZyra/ProxyAutoConfigUrl.txt"), text);
  }
  // Puts a PAC script at C:\pac\<name>; returns its URL on the test's
  // loopback server.
  static std::string Script(const std::string& body, const std::string& name = "proxy.pac") {
    WriteHostFile(Host("drive_c/pac/" + name), body);
    return ScriptUrl(name);
  }
  static std::string ScriptUrl(const std::string& name) {
    return "http://127.0.0.1:" + std::to_string(scriptsPort_) + "/pac/" + name;
  }
  static std::string Returning(const std::string& jsExpression) {
    return "function FindProxyForURL(url, host) { return " + jsExpression + "; }\n";
  }
  // A detector that knows a PAC URL, as after discovery.
  static ProxyDetector WithPac(const std::string& pacUrl) {
    ProxyDetector d;
    d.autoConfigUrl = pacUrl;
    d.target = ProxyTarget::Auto;
    d.source = ProxySource::PAC;
    return d;
  }

  LoopbackServer scripts_;
  static inline int scriptsPort_ = -1;
};

// Runs WinHttpGetProxyForUrl with a config URL; the error code, 0 on success.
inline w::DWORD FacadeProxyForUrl(const std::u16string& pacUrl, const std::u16string& url,
                           std::string& list) {
  w::InternetHandle session(
      w::WinHttpOpen(u"test", w::kWinhttpAccessTypeAutomaticProxy, nullptr, nullptr, 0));
  w::WinHttpAutoProxyOptions options;
  options.dwFlags = w::kWinhttpAutoproxyConfigUrl;
  options.lpszAutoConfigUrl = pacUrl.c_str();
  options.fAutoLogonIfChallenged = 1;
  w::WinHttpProxyInfo info;
  if (!w::WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info))
    return w::GetLastError();
  list = info.lpszProxy ? platform::ToUtf8(info.lpszProxy.get()) : "<null>";
  return 0;
}

}  // namespace zyra_test::proxy
