// zyra-update-server: serves an update folder the way the vendor's update
// server answers the provisioning stub.
//
//   zyra-update-server --root FOLDER [--port N] [--bind ADDR]
//                      [--cert CERT.pem --key KEY.pem] [--api-key KEY]
//                      [--port-file FILE]
//
// GET .../api/files/manifest/zyra/latest (any prefix, any query) answers
// FOLDER/manifest.json, or 401 without the right X-API-KEY header. Every
// other GET answers the file of that name under FOLDER (no parent folders).
// The port is its own: a second server on a port in use fails to start.
// At start it prints what it serves; then every request is logged on
// standard output with its query and the names of its headers (never their
// values), and a refused one with its reason.
#include <sys/socket.h>

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/tool_cli.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kManifestSuffix = "/api/files/manifest/zyra/latest";
// The key the provisioning stub sends.
constexpr const char* kProgramApiKey = "TqWmRzKpHnVxLcJd";
httplib::Server* g_server = nullptr;

void Stop(int) {
  if (g_server != nullptr) g_server->stop();
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool ReadFile(const fs::path& p, std::string& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// A refusal: the status and a one-line reason, which is also the body
// (text/plain) and goes into the request's log line.
void Refuse(httplib::Response& res, int status, const std::string& reason) {
  res.status = status;
  res.set_content(std::to_string(status) + (status == 401 ? " Unauthorized: " : " Not Found: ") +
                      reason + "\n",
                  "text/plain");
}

// Only SO_REUSEADDR (a restart is not held up by connections still closing):
// cpp-httplib's default adds SO_REUSEPORT, which lets a second server bind
// the same port and take over half of the requests.
void ExclusiveSocketOptions(int sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// What the server offers, printed once at start.
void PrintWhatIsServed(const fs::path& base, const std::string& origin,
                       const std::string& apiKey) {
  std::printf("zyra-update-server: serving %s on %s\n", base.c_str(), origin.c_str());
  std::printf("  manifest URL: %s/%s%s (any path ending in %s, any query)\n", origin.c_str(),
              ZYRA_VENDOR_DOMAIN, kManifestSuffix, kManifestSuffix);
  std::printf("  it answers with %s to requests carrying the header X-API-KEY: %s%s\n",
              fs::is_regular_file(base / "manifest.json")
                  ? "manifest.json"
                  : "manifest.json (not there yet: 404 until zyra-sign manifest writes it)",
              apiKey.c_str(),
              apiKey == kProgramApiKey ? " (the program's key)" : " (not the program's key)");
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(base, ec)) {
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), base).generic_string());
  }
  std::sort(names.begin(), names.end());
  std::printf("  files (%zu): %s/<name>\n", names.size(), origin.c_str());
  for (const std::string& n : names) std::printf("    %s\n", n.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A small update server for local use: answers the provisioning stub's manifest request "
      "(any path ending in /api/files/manifest/zyra/latest, with the right X-API-KEY header) "
      "with FOLDER/manifest.json, and every other GET with the file of that name under FOLDER. "
      "Logs every request on standard output (header names, never their values) and the reason "
      "of every refusal.",
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
                 "Write the port listened on into this file once the server listens");
  int exitCode = 0;
  if (!zyra_tools::ParseArguments(app, argc, argv, exitCode)) return exitCode;
  if (apiKey.empty()) return zyra_tools::UsageError(app, "--api-key: the key must not be empty");

  const fs::path base = fs::canonical(root);

  std::unique_ptr<httplib::Server> server;
  if (!cert.empty())
    server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
  else
    server = std::make_unique<httplib::Server>();
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
    std::printf("%s %s%s -> %d [headers: %s]%s\n", req.method.c_str(), req.path.c_str(),
                query.c_str(), res.status, names.c_str(), refused.c_str());
    std::fflush(stdout);
  });

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
    const fs::path wanted = fs::weakly_canonical(base / req.path.substr(1));
    const std::string w = wanted.string();
    const std::string b = base.string() + "/";
    if (w.compare(0, b.size(), b) != 0) {
      Refuse(res, 404, "the path leads outside the served folder");
      return;
    }
    std::error_code ec;
    const auto size = fs::file_size(wanted, ec);
    auto file = std::make_shared<std::ifstream>(wanted, std::ios::binary);
    if (!fs::is_regular_file(wanted) || ec || !*file) {
      Refuse(res, 404, "no such file in the served folder");
      return;
    }
    if (size == 0) {
      res.set_content("", "application/octet-stream");
      return;
    }
    // Streamed in blocks: packages may be far larger than the server's memory should hold.
    res.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          char block[1 << 16];
          file->clear();
          file->seekg(static_cast<std::streamoff>(offset));
          file->read(block, static_cast<std::streamsize>(std::min(length, sizeof block)));
          const std::streamsize got = file->gcount();
          return got > 0 && sink.write(block, static_cast<std::size_t>(got));
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
                    apiKey);
  // Last: whoever waits for the port file finds the server described.
  if (!portFile.empty()) std::ofstream(portFile) << port << "\n";
  g_server = server.get();
  std::signal(SIGTERM, Stop);
  std::signal(SIGINT, Stop);
  return server->listen_after_bind() ? 0 : 1;
}
