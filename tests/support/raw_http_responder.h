#pragma once
// A misbehaving HTTP server on 127.0.0.1 for fault tests: every request gets
// exactly the bytes a script returns for it, after which the connection is
// closed. Unlike a real server library it sends whatever it is told: a
// Content-Length that does not match the body, a body cut short, a redirect
// to itself. Requests are served one at a time on one thread.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zyra_test {

// A complete HTTP/1.1 response. announcedLength < 0 announces the body's
// true size; any other value is put into Content-Length as it is.
inline std::string HttpResponse(int status, const std::string& body,
                                long long announcedLength = -1,
                                const std::string& extraHeaders = "") {
  const long long length =
      announcedLength < 0 ? static_cast<long long>(body.size()) : announcedLength;
  return "HTTP/1.1 " + std::to_string(status) + " Fault\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

class RawHttpResponder {
 public:
  // target: the request target as sent (path and query); nth: how many
  // requests for that target have arrived, this one included (1 for the first).
  using Script = std::function<std::string(const std::string& target, int nth)>;

  explicit RawHttpResponder(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawHttpResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  RawHttpResponder(const RawHttpResponder&) = delete;
  RawHttpResponder& operator=(const RawHttpResponder&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Request targets in order of arrival.
  [[nodiscard]] std::vector<std::string> Targets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
  }
  // Forgets the requests seen so far (nth counts start again from 1).
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    targets_.clear();
    counts_.clear();
  }
  // How many requests asked for a target ending in suffix (query ignored).
  [[nodiscard]] int Count(const std::string& suffix) const {
    int n = 0;
    for (const std::string& t : Targets()) {
      const std::string path = t.substr(0, t.find('?'));
      if (path.size() >= suffix.size() &&
          path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
        ++n;
    }
    return n;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      Answer(conn);
      ::close(conn);
    }
  }

  void Answer(int conn) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      pollfd p{conn, POLLIN, 0};
      if (stop_ || ::poll(&p, 1, 2000) <= 0) return;
      const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<std::size_t>(n));
    }
    const auto sp1 = request.find(' ');
    const auto sp2 = request.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return;
    const std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
    int nth = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
      nth = ++counts_[target];
    }
    const std::string response = script_(target, nth);
    for (std::size_t sent = 0; sent < response.size() && !stop_;) {
      const ssize_t n = ::send(conn, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;  // the client gave up
      sent += static_cast<std::size_t>(n);
    }
  }

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  std::map<std::string, int> counts_;
};

}  // namespace zyra_test
