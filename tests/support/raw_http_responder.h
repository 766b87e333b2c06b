#pragma once
// A misbehaving HTTP server on 127.0.0.1 for fault tests: every request gets
// exactly the bytes a script returns for it, after which the connection is
// closed. Unlike a real server library it sends whatever it is told: a
// Content-Length that does not match the body, a body cut short, a redirect
// to itself. Requests are served one at a time on one thread. It runs on
// both backends (Winsock on Windows).
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_socket.h"

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

  // Listens on 127.0.0.1 at a free port (port() is 0 when it cannot).
  explicit RawHttpResponder(Script script);
  ~RawHttpResponder();
  RawHttpResponder(const RawHttpResponder&) = delete;
  RawHttpResponder& operator=(const RawHttpResponder&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Request targets in order of arrival.
  [[nodiscard]] std::vector<std::string> Targets() const;
  // Forgets the requests seen so far (nth counts start again from 1).
  void Clear();
  // How many requests asked for a target ending in suffix (query ignored).
  [[nodiscard]] int Count(const std::string& suffix) const;

 private:
  void Serve();
  void Answer(sock::Handle conn);

  Script script_;
  sock::Handle listener_ = sock::kNone;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  std::map<std::string, int> counts_;
};

}  // namespace zyra_test
