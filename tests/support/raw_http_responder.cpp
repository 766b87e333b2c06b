#include "tests/support/raw_http_responder.h"

namespace zyra_test {

RawHttpResponder::RawHttpResponder(Script script) : script_(std::move(script)) {
  int port = 0;
  listener_ = sock::ListenOnLoopback(port);
  if (listener_ == sock::kNone) return;
  port_ = port;
  thread_ = std::thread([this] { Serve(); });
}

RawHttpResponder::~RawHttpResponder() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  sock::Close(listener_);
}

std::vector<std::string> RawHttpResponder::Targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void RawHttpResponder::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.clear();
  counts_.clear();
}

int RawHttpResponder::Count(const std::string& suffix) const {
  int n = 0;
  for (const std::string& t : Targets()) {
    const std::string path = t.substr(0, t.find('?'));
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
      ++n;
  }
  return n;
}

void RawHttpResponder::Serve() {
  while (!stop_) {
    if (sock::WaitReadable(listener_, 20) <= 0) continue;
    const sock::Handle conn = sock::Accept(listener_);
    if (conn == sock::kNone) continue;
    Answer(conn);
    sock::Close(conn);
  }
}

void RawHttpResponder::Answer(sock::Handle conn) {
  std::string request;
  char buf[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    if (stop_ || sock::WaitReadable(conn, 2000) <= 0) return;
    const long n = sock::Receive(conn, buf, sizeof buf);
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
    const long n = sock::Send(conn, response.data() + sent, response.size() - sent);
    if (n <= 0) return;  // the client gave up
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace zyra_test
