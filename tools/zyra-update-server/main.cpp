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
// Every request is logged on standard output with its query and the names
// of its headers (never their values).
#include <httplib.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr const char* kManifestSuffix = "/api/files/manifest/zyra/latest";
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

int Usage() {
  std::fprintf(stderr,
               "usage: zyra-update-server --root FOLDER [--port N] [--bind ADDR]\n"
               "                          [--cert CERT.pem --key KEY.pem] [--api-key KEY]\n"
               "                          [--port-file FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root, cert, key, bind = "127.0.0.1", apiKey = "TqWmRzKpHnVxLcJd", portFile;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string v = argv[++i];
    if (a == "--root") root = v;
    else if (a == "--port") port = std::atoi(v.c_str());
    else if (a == "--bind") bind = v;
    else if (a == "--cert") cert = v;
    else if (a == "--key") key = v;
    else if (a == "--api-key") apiKey = v;
    else if (a == "--port-file") portFile = v;
    else return Usage();
  }
  if (root.empty() || !fs::is_directory(root) || cert.empty() != key.empty()) return Usage();
  const fs::path base = fs::canonical(root);

  std::unique_ptr<httplib::Server> server;
  if (!cert.empty())
    server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
  else
    server = std::make_unique<httplib::Server>();
  if (!server->is_valid()) {
    std::fprintf(stderr, "zyra-update-server: cannot use the certificate or key\n");
    return 2;
  }

  server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
    std::string names;
    for (const auto& h : req.headers) names += (names.empty() ? "" : ",") + h.first;
    std::string query;
    for (const auto& p : req.params) query += (query.empty() ? "?" : "&") + p.first + "=" + p.second;
    std::printf("%s %s%s -> %d [headers: %s]\n", req.method.c_str(), req.path.c_str(),
                query.c_str(), res.status, names.c_str());
    std::fflush(stdout);
  });

  server->Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    std::string body;
    if (EndsWith(req.path, kManifestSuffix)) {
      if (req.get_header_value("X-API-KEY") != apiKey) {
        res.status = 401;
        return;
      }
      if (!ReadFile(base / "manifest.json", body)) {
        res.status = 404;
        return;
      }
      res.set_content(body, "application/json");
      return;
    }
    const fs::path wanted = fs::weakly_canonical(base / req.path.substr(1));
    const std::string w = wanted.string();
    const std::string b = base.string() + "/";
    std::error_code ec;
    const auto size = fs::file_size(wanted, ec);
    auto file = std::make_shared<std::ifstream>(wanted, std::ios::binary);
    if (w.compare(0, b.size(), b) != 0 || !fs::is_regular_file(wanted) || ec || !*file) {
      res.status = 404;
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

  if (port == 0) {
    port = server->bind_to_any_port(bind);
  } else if (!server->bind_to_port(bind, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "zyra-update-server: cannot listen on %s\n", bind.c_str());
    return 1;
  }
  if (!portFile.empty()) std::ofstream(portFile) << port << "\n";
  std::printf("zyra-update-server: serving %s on %s://%s:%d\n", base.c_str(),
              cert.empty() ? "http" : "https", bind.c_str(), port);
  std::fflush(stdout);
  g_server = server.get();
  std::signal(SIGTERM, Stop);
  std::signal(SIGINT, Stop);
  return server->listen_after_bind() ? 0 : 1;
}
