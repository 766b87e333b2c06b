#pragma once
// The fixture of the cause and bound tests (cause_test.cpp, bounds_test.cpp):
// the real stub on the emulated machine, under libfaketime, offered agent
// 2.0.0 by a server of the test's own that can stall, stream without end or
// answer as a test says.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/machine.h"
#include "tests/support/run_checks.h"

namespace zyra_e2e {

using namespace zyra_test::checks;
namespace fs = std::filesystem;


inline constexpr const char* kResultPath =
    "C:\\Windows\\Temp\\CorvZyra\\CorvZyraProvisionStub_Result.txt";

// What the server does with one request.
struct Reply {
  enum Kind { kWhole, kStallAfterHeaders, kEndless } kind = kWhole;
  std::string bytes;  // kWhole: the whole response; otherwise the headers
};

inline std::string Ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// An HTTP server on 127.0.0.1 that answers one connection at a time: a whole
// response, headers and then nothing until the client hangs up, or headers
// and then bytes without end, streamed (never held) until the client hangs
// up or 2 GiB have gone.
class StreamingServer {
 public:
  using Script = std::function<Reply(const std::string& path, int nth)>;
  static constexpr long long kEndlessLimit = 2LL << 30;

  explicit StreamingServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~StreamingServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  [[nodiscard]] std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  [[nodiscard]] int Count(const std::string& suffix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& [path, count] : counts_)
      if (EndsWith(path, suffix)) n += count;
    return n;
  }
  [[nodiscard]] long long MostSent() const { return mostSent_; }

 private:
  void Serve() {
    while (!stop_) {
      const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) return;
      Answer(conn);
      ::close(conn);
    }
  }
  void Answer(int conn) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const long n = ::recv(conn, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<std::size_t>(n));
    }
    const auto sp1 = request.find(' ');
    const auto sp2 = request.find(' ', sp1 + 1);
    const std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string path = target.substr(0, target.find('?'));
    int nth = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      nth = ++counts_[path];
    }
    const Reply reply = script_(path, nth);
    if (!SendAll(conn, reply.bytes)) return;
    if (reply.kind == Reply::kStallAfterHeaders) {
      // Nothing more: wait for the client to give up (or the test to end).
      while (!stop_ && ::recv(conn, buf, sizeof buf, 0) > 0) {
      }
    } else if (reply.kind == Reply::kEndless) {
      const std::string chunk(1 << 16, 'x');
      long long sent = 0;
      while (!stop_ && sent < kEndlessLimit && SendAll(conn, chunk)) sent += chunk.size();
      mostSent_ = std::max(mostSent_.load(), sent);
    }
  }
  static bool SendAll(int conn, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const long n = ::send(conn, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long long> mostSent_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::map<std::string, int> counts_;
};

// Offers agent 2.0.0 (none installed) from the test's own server, which
// serves the signed files unless the current script says otherwise. The log
// level is 2: what an administrator's log shows.
class Cause : public ::testing::Test {
 protected:
  using Answer = std::function<std::optional<Reply>(const std::string& path, int nth)>;

  void SetUp() override {
    InstallStubAndHandler(m);
    m.OfferAgent("2.0.0");
    m.ServeFrom(server.BaseUrl());
    m.SetLogLevel(2);
  }

  void Inject(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
  }

  std::string Served(const std::string& path) const { return ServedFile(m, path); }

  // The signed update manifest with its "ttl" replaced by this JSON text
  // (kept as written: numbers beyond 64 bits included).
  std::string ManifestWithTtl(const std::string& ttl) const {
    nlohmann::json doc = nlohmann::json::parse(Served(kManifestPath));
    doc.erase("ttl");
    return "{\"ttl\":" + ttl + "," + doc.dump().substr(1);
  }

  std::string ManifestUrl() const { return server.BaseUrl() + "/corvane.com" + kManifestPath; }

  EmulatedMachine m;
  std::mutex mutex_;
  Answer answer_;
  StreamingServer server{[this](const std::string& path, int nth) {
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answer = answer_;
    }
    if (answer) {
      if (auto reply = answer(path, nth)) return *reply;
    }
    const std::string file = Served(path);
    if (file.empty())
      return Reply{Reply::kWhole, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
    return Reply{Reply::kWhole, Ok(file)};
  }};
};

// Index of the first line matching re, or -1.
inline long Find(const std::vector<std::string>& lines, const std::string& re, std::size_t from = 0) {
  const std::regex r(re);
  for (std::size_t i = from; i < lines.size(); ++i)
    if (std::regex_match(lines[i], r)) return static_cast<long>(i);
  return -1;
}

// A line matching causeRe, and the line right after it is exactly next.
inline void ExpectCauseThen(const StubRun& run, const std::string& causeRe, const std::string& next) {
  const auto& lines = run.consoleMessages;
  const long at = Find(lines, causeRe);
  ASSERT_GE(at, 0) << "no line matches " << causeRe << "\nlog:\n" << Joined(lines);
  ASSERT_LT(static_cast<std::size_t>(at + 1), lines.size());
  EXPECT_EQ(lines[at + 1], next) << "log:\n" << Joined(lines);
}

inline std::string Quote(const std::string& s) {  // a regex matching s literally
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(s, special, R"(\$&)");
}

inline void ExpectEnded(const EmulatedMachine& m, const StubRun& run, int code) {
  EXPECT_EQ(run.exitCode, code) << run.stdoutText;
  EXPECT_EQ(m.ReadFile(m.ResultFile()), "provision_result_code: " + std::to_string(code) + "\r\n");
}


}  // namespace zyra_e2e
