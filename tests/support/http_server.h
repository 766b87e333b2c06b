#pragma once
// An in-process HTTP or HTTPS server on 127.0.0.1 that answers an ordered
// list of expected requests. A request that was not expected, or arrives out
// of order, fails the test; so does an expected request that never came
// (checked when the server is destroyed, or by Verify).
#include <gtest/gtest.h>
#include <httplib.h>

#include <deque>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zyra_test {

class TestHttpServer {
 public:
  using Respond = std::function<void(const httplib::Request&, httplib::Response&)>;

  struct Seen {
    std::string method;
    std::string path;
    httplib::Headers headers;
  };

  // Plain HTTP.
  TestHttpServer() : server_(std::make_unique<httplib::Server>()) { Start(); }
  // HTTPS with the given PEM certificate and key files (host paths).
  TestHttpServer(const std::string& certFile, const std::string& keyFile)
      : server_(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())),
        https_(true) {
    Start();
  }
  ~TestHttpServer() {
    Verify();
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string Url(const std::string& path) const {
    return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Expects `times` requests of method and path in a row, answered by respond.
  void Expect(const std::string& method, const std::string& path, Respond respond,
              int times = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < times; ++i) expected_.push_back({method, path, respond});
  }
  // Shorthand: answer with a status and a body.
  void Expect(const std::string& method, const std::string& path, int status,
              const std::string& body = "", int times = 1) {
    Expect(
        method, path,
        [status, body](const httplib::Request&, httplib::Response& res) {
          res.status = status;
          res.set_content(body, "application/octet-stream");
        },
        times);
  }

  // Answers every GET of path with 200 and body, however often it comes
  // (and outside the ordered expectations): a PAC script, for example.
  void Always(const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    always_[path] = body;
  }

  // Fails the test for expectations still pending; clears them.
  void Verify() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& e : expected_)
      ADD_FAILURE() << "expected request never came: " << e.method << " " << e.path;
    expected_.clear();
    for (const auto& u : unexpected_) ADD_FAILURE() << "unexpected request: " << u;
    unexpected_.clear();
  }

  [[nodiscard]] std::vector<Seen> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  struct Expectation {
    std::string method;
    std::string path;
    Respond respond;
  };

  void Start() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int i = 0; i < 2000 && !server_->is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  void Handle(const httplib::Request& req, httplib::Response& res) {
    Respond respond;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back({req.method, req.path, req.headers});
      if (const auto a = always_.find(req.path); req.method == "GET" && a != always_.end()) {
        res.status = 200;
        res.set_content(a->second, "application/x-ns-proxy-autoconfig");
        return;
      }
      if (expected_.empty() || expected_.front().method != req.method ||
          expected_.front().path != req.path) {
        unexpected_.push_back(req.method + " " + req.path +
                              (expected_.empty() ? " (none expected)"
                                                 : " (expected " + expected_.front().method +
                                                       " " + expected_.front().path + ")"));
        res.status = 500;
        return;
      }
      respond = expected_.front().respond;
      expected_.pop_front();
    }
    respond(req, res);
  }

  std::unique_ptr<httplib::Server> server_;
  bool https_ = false;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::deque<Expectation> expected_;
  std::map<std::string, std::string> always_;
  std::vector<std::string> unexpected_;
  std::vector<Seen> seen_;
};

}  // namespace zyra_test
