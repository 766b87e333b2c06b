// zyra-update-server: serves an update folder the way the vendor's update
// server answers the provisioning stub.
//
//   zyra-update-server --root FOLDER [--port N] [--bind ADDR]
//                      [--cert CERT.pem --key KEY.pem] [--api-key KEY]
//                      [--port-file FILE]
//
// GET .../api/files/manifest/zyra/latest (any prefix, any query) answers
// FOLDER/manifest.json, or 401 without the right X-API-KEY header. Every
// other GET answers the file of that name directly in FOLDER, if it is
// published: a regular file, not hidden, not a key file by its name or its
// content (tools/release). The port is its own: a second server on a port
// in use fails to start. At start it prints what it serves and what it will
// not serve, and why; then every request is logged on standard output with
// its query and the names of its headers (never their values), a refused
// one with its reason, and a failed TLS handshake (a plain-HTTP request to
// the HTTPS port among them). SIGINT and SIGTERM stop it: it says so,
// removes its port file and exits with 0.
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/cli/tool_cli.h"
#include "tools/release/release_files.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kManifestSuffix = "/api/files/manifest/zyra/latest";
// The key the provisioning stub sends.
constexpr const char* kProgramApiKey = "TqWmRzKpHnVxLcJd";
// The signal that stopped the server, 0 while none has.
std::atomic<int> g_stoppedBy{0};

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool ReadFile(const fs::path& p, std::string& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void Log(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

const char* StatusText(int status) {
  switch (status) {
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    default: return "Not Found";
  }
}

// A refusal: the status and a one-line reason, which is also the body
// (text/plain) and goes into the request's log line.
void Refuse(httplib::Response& res, int status, const std::string& reason) {
  res.status = status;
  res.set_content(std::to_string(status) + " " + StatusText(status) + ": " + reason + "\n",
                  "text/plain");
}

// Only SO_REUSEADDR (a restart is not held up by connections still closing):
// cpp-httplib's default adds SO_REUSEPORT, which lets a second server bind
// the same port and take over half of the requests.
void ExclusiveSocketOptions(int sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// The files found to hold a private key (at start, or while being sent),
// by name, with the size and modification time they had then: refused at
// once from then on.
class KnownKeys {
 public:
  void Add(const fs::path& path) {
    std::error_code ec;
    const auto version = Version(path, ec);
    if (ec) return;
    std::lock_guard<std::mutex> lock(mutex_);
    known_[path.filename().string()] = version;
  }
  bool Has(const fs::path& path) {
    std::error_code ec;
    const auto version = Version(path, ec);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = known_.find(path.filename().string());
    return !ec && it != known_.end() && it->second == version;
  }

 private:
  using FileVersion = std::pair<std::uintmax_t, fs::file_time_type>;
  static FileVersion Version(const fs::path& path, std::error_code& ec) {
    const auto size = fs::file_size(path, ec);
    if (ec) return {};
    return {size, fs::last_write_time(path, ec)};
  }
  std::mutex mutex_;
  std::map<std::string, FileVersion> known_;
};

// What the server offers and what it will not serve, printed once at start.
void PrintWhatIsServed(const fs::path& base, const std::string& origin,
                       const std::string& apiKey, KnownKeys& keys) {
  std::printf("zyra-update-server: serving %s on %s\n", base.c_str(), origin.c_str());
  std::printf("  manifest URL: %s/%s%s (any path ending in %s, any query)\n", origin.c_str(),
              ZYRA_VENDOR_DOMAIN, kManifestSuffix, kManifestSuffix);
  std::printf("  it answers with %s to requests carrying the header X-API-KEY: %s%s\n",
              fs::is_regular_file(base / "manifest.json")
                  ? "manifest.json"
                  : "manifest.json (not there yet: 404 until zyra-sign manifest writes it)",
              apiKey.c_str(),
              apiKey == kProgramApiKey ? " (the program's key)" : " (not the program's key)");
  std::vector<std::string> served;
  std::vector<std::pair<std::string, std::string>> refused;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(base, ec)) {
    const std::string name = e.path().filename().string();
    std::string why = zyra_release::NotPublishedBecause(base, name);
    if (why == zyra_release::kHoldsPrivateKey) keys.Add(base / name);
    if (why.empty())
      served.push_back(name);
    else
      refused.emplace_back(name, std::move(why));
  }
  std::sort(served.begin(), served.end());
  std::sort(refused.begin(), refused.end());
  std::printf("  files (%zu): %s/<name>\n", served.size(), origin.c_str());
  for (const std::string& n : served) std::printf("    %s\n", n.c_str());
  if (!refused.empty()) {
    std::printf("  not served (%zu):\n", refused.size());
    for (const auto& [name, why] : refused) std::printf("    %s: %s\n", name.c_str(), why.c_str());
  }
  std::fflush(stdout);
}

// "host:port" of the other end of a socket.
std::string Peer(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  char host[NI_MAXHOST] = "?";
  char port[NI_MAXSERV] = "?";
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV);
  return std::string(host) + ":" + port;
}

// Logs a TLS handshake that failed: the server would otherwise drop the
// connection without a word (a plain-HTTP request to the HTTPS port, a
// client that does not trust the certificate).
void OnTlsState(const SSL* ssl, int where, int ret) {
  if ((where & SSL_CB_HANDSHAKE_START) != 0) {
    ERR_clear_error();  // what the queue holds from now on is this handshake's
    return;
  }
  if ((where & SSL_CB_ACCEPT_EXIT) != SSL_CB_ACCEPT_EXIT || ret > 0) return;
  const unsigned long error = ERR_peek_last_error();
  if (error == 0) return;  // waiting for more bytes, not a failure
  std::string why;
  if (ERR_GET_REASON(error) == SSL_R_HTTP_REQUEST) {
    why = "a plain-HTTP request to this HTTPS port (the URL must begin with https://)";
  } else {
    const char* reason = ERR_reason_error_string(error);
    why = reason != nullptr ? reason : "error " + std::to_string(error);
  }
  Log("TLS handshake with " + Peer(SSL_get_fd(ssl)) + " failed: " + why);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A small update server for local use: answers the provisioning stub's manifest request "
      "(any path ending in /api/files/manifest/zyra/latest, with the right X-API-KEY header) "
      "with FOLDER/manifest.json, and every other GET with the file of that name directly in "
      "FOLDER. Never serves a folder's content, a hidden file or a key file (by its name or by "
      "its content); names each such file at start. Logs every request on standard output "
      "(header names, never their values) and the reason of every refusal.",
      "zyra-update-server"};
  zyra_tools::SetUpTool(app);
  std::string root, cert, key, bind = "127.0.0.1", apiKey = kProgramApiKey, portFile;
  int port = 0;
  app.add_option("--root", root, "The folder to serve (made by zyra-sign manifest)")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("--port", port, "TCP port; 0 (the default) picks a free one")
      ->check(CLI::Range(0, 65535));
  app.add_option("--bind", bind, "Address to listen on (default 127.0.0.1)");
  CLI::Option* certOpt =
      app.add_option("--cert", cert, "Serve HTTPS with this PEM certificate (needs --key)")
          ->check(CLI::ExistingFile);
  CLI::Option* keyOpt =
      app.add_option("--key", key, "The certificate's PEM private key (needs --cert)")
          ->check(CLI::ExistingFile);
  certOpt->needs(keyOpt);
  keyOpt->needs(certOpt);
  app.add_option("--api-key", apiKey,
                 std::string("The X-API-KEY the manifest request must carry (default: the "
                             "program's own, ") +
                     kProgramApiKey + ")");
  app.add_option("--port-file", portFile,
                 "Write the port listened on into this file once the server listens (its "
                 "folder must exist); removed when the server stops");
  int exitCode = 0;
  if (!zyra_tools::ParseArguments(app, argc, argv, exitCode)) return exitCode;
  if (apiKey.empty()) return zyra_tools::UsageError(app, "--api-key: the key must not be empty");
  if (!portFile.empty()) {
    const fs::path folder = fs::absolute(portFile).parent_path();
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
      return zyra_tools::UsageError(app, "--port-file " + portFile + ": the folder " +
                                             folder.string() + " does not exist");
  }

  // SIGINT and SIGTERM go to one thread of their own (sigwait), blocked in
  // every other thread, the server's workers included.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  std::signal(SIGINT, SIG_DFL);  // a shell starts background jobs with SIGINT ignored
  std::signal(SIGTERM, SIG_DFL);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const fs::path base = fs::canonical(root);

  std::unique_ptr<httplib::Server> server;
  if (!cert.empty()) {
    auto tls = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (tls->is_valid()) SSL_CTX_set_info_callback(tls->ssl_context(), OnTlsState);
    server = std::move(tls);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  if (!server->is_valid()) {
    std::fprintf(stderr, "zyra-update-server: cannot use the certificate %s with the key %s\n",
                 cert.c_str(), key.c_str());
    return 2;
  }
  server->set_socket_options(ExclusiveSocketOptions);

  server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
    std::string names;
    for (const auto& h : req.headers) names += (names.empty() ? "" : ",") + h.first;
    std::string query;
    for (const auto& p : req.params) query += (query.empty() ? "?" : "&") + p.first + "=" + p.second;
    std::string refused;
    if (res.status >= 400 && res.get_header_value("Content-Type") == "text/plain") {
      refused = res.body;
      while (!refused.empty() && refused.back() == '\n') refused.pop_back();
      refused = " refused: " + refused.substr(refused.find(": ") + 2);
    }
    Log(req.method + " " + req.path + query + " -> " + std::to_string(res.status) +
        " [headers: " + names + "]" + refused);
  });

  KnownKeys keys;
  server->Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    std::string body;
    if (EndsWith(req.path, kManifestSuffix)) {
      if (!req.has_header("X-API-KEY")) {
        Refuse(res, 401, "the request has no X-API-KEY header");
        return;
      }
      if (req.get_header_value("X-API-KEY") != apiKey) {
        Refuse(res, 401, "the X-API-KEY header does not carry the expected key");
        return;
      }
      if (!ReadFile(base / "manifest.json", body)) {
        Refuse(res, 404, "the served folder has no manifest.json (zyra-sign manifest writes it)");
        return;
      }
      res.set_content(body, "application/json");
      return;
    }
    const std::string name = req.path.substr(1);
    if (name.find('/') != std::string::npos) {
      Refuse(res, 404, "only the files directly in the served folder are served");
      return;
    }
    if (const std::string why = zyra_release::NameProblem(name); !why.empty()) {
      Refuse(res, 403, "not served: " + why);
      return;
    }
    const fs::path path = base / name;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) {
      Refuse(res, 404, "no such file in the served folder");
      return;
    }
    if (const std::string why = zyra_release::EntryProblem(path); !why.empty()) {
      Refuse(res, 403, "not served: " + why);
      return;
    }
    if (keys.Has(path)) {
      Refuse(res, 403, std::string("not served: ") + zyra_release::kHoldsPrivateKey);
      return;
    }
    // Checked and served from the same open file: its first MiB now,
    // every later block for a PEM key before it is sent.
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    const auto size = fs::file_size(path, ec);
    if (ec || !*file) {
      Refuse(res, 404, "no such file in the served folder");
      return;
    }
    if (zyra_release::StartsWithPrivateKey(*file)) {
      keys.Add(path);
      Refuse(res, 403, std::string("not served: ") + zyra_release::kHoldsPrivateKey);
      return;
    }
    if (size == 0) {
      res.set_content("", "application/octet-stream");
      return;
    }
    // Streamed in blocks: packages may be far larger than the server's memory should hold.
    res.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [file, path, &keys](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          const std::size_t carry = std::min(offset, zyra_release::kPemCarry);
          std::vector<char> block(carry + std::min(length, std::size_t{1} << 16));
          file->clear();
          file->seekg(static_cast<std::streamoff>(offset - carry));
          file->read(block.data(), static_cast<std::streamsize>(block.size()));
          const auto got = static_cast<std::size_t>(file->gcount());
          if (got <= carry) return false;
          if (zyra_release::HoldsPemPrivateKey(std::string_view(block.data(), got))) {
            keys.Add(path);
            Log("GET /" + path.filename().string() + ": stopped after " + std::to_string(offset) +
                " bytes: " + zyra_release::kHoldsPrivateKey + " (refused from now on)");
            return false;
          }
          return sink.write(block.data() + carry, got - carry);
        });
  });

  errno = 0;
  const int requested = port;
  if (requested == 0) {
    port = server->bind_to_any_port(bind);
  } else if (!server->bind_to_port(bind, requested)) {
    port = -1;
  }
  if (port <= 0) {
    const int error = errno;
    std::string why = error == EADDRINUSE ? "the port is in use (another server listens on it)"
                      : error != 0        ? std::strerror(error)
                                          : "the address cannot be used";
    std::fprintf(stderr, "zyra-update-server: cannot listen on %s port %s: %s\n", bind.c_str(),
                 requested != 0 ? std::to_string(requested).c_str() : "(any)",
                 why.c_str());
    return 1;
  }
  const std::string host = bind.find(':') != std::string::npos ? "[" + bind + "]" : bind;
  PrintWhatIsServed(base, std::string(cert.empty() ? "http" : "https") + "://" + host + ":" +
                              std::to_string(port),
                    apiKey, keys);

  httplib::Server* running = server.get();
  std::thread([stopSignals, running, portFile] {
    int signal = 0;
    if (sigwait(&stopSignals, &signal) != 0) return;
    Log(std::string("zyra-update-server: ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
        " received: stopping" + (portFile.empty() ? "" : " and removing " + portFile));
    g_stoppedBy = signal;
    // stop() is only heard once the server listens.
    while (!running->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    running->stop();
  }).detach();

  // Last: whoever waits for the port file finds the server described.
  if (!portFile.empty()) {
    std::ofstream out(portFile);
    out << port << "\n";
    out.close();
    if (!out) {
      std::fprintf(stderr, "zyra-update-server: cannot write the port file %s\n", portFile.c_str());
      return 2;
    }
  }
  const bool listened = server->listen_after_bind();
  if (!portFile.empty()) {
    std::error_code ec;
    fs::remove(portFile, ec);
  }
  if (g_stoppedBy != 0) {
    Log("zyra-update-server: stopped");
    return 0;
  }
  return listened ? 0 : 1;
}
