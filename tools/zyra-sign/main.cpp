// zyra-sign: the package publisher's tool.
//   zyra-sign keygen PRIVATE.pem PUBLIC.pem
//   zyra-sign sign PRIVATE.pem FILE [--lsb-first]   writes FILE.sig
//   zyra-sign verify FILE SIGFILE                   against the compiled-in key
//   zyra-sign manifest PRIVATE.pem FOLDER BASE-URL  signs every file of FOLDER and
//                                                   writes FOLDER/manifest.json
// Exit codes: 0 success (valid), 1 invalid signature, 2 usage or I/O error.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>
#include <cstring>
#include <string>

#include "net/package_key.h"
#include "net/signature.h"
#include "platform/files.h"
#include "tools/zyra-sign/signing.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: zyra-sign keygen PRIVATE.pem PUBLIC.pem\n"
               "       zyra-sign sign PRIVATE.pem FILE [--lsb-first]\n"
               "       zyra-sign verify FILE SIGFILE\n"
               "       zyra-sign manifest PRIVATE.pem FOLDER BASE-URL\n");
  return 2;
}

int Fail(const std::string& reason, int code = 2) {
  std::fprintf(stderr, "zyra-sign: %s\n", reason.c_str());
  return code;
}

// The file opens for reading and holds at least one byte.
bool HasBytes(const std::string& file) {
  platform::win::FilePtr f = platform::win::OpenFile(file, "rb");
  return f && std::fgetc(f.get()) != EOF;
}

int Sign(const std::string& key, const std::string& hostFile, bool lsbFirst) {
  const std::string file = platform::win::FromHostPath(hostFile);
  platform::win::FilePtr in = platform::win::OpenFile(file, "rb");
  if (!in || !HasBytes(file)) return Fail("cannot read " + file + " (or it is empty)");
  net::Bytes sig;
  std::string error;
  if (!zyra_sign::SignOpenFile(key, in.get(), sig, error)) return Fail(error);
  if (lsbFirst) std::reverse(sig.begin(), sig.end());
  const std::string hex = net::BytesToHex(sig);
  const std::string out = file + ".sig";
  const std::string hostOut = hostFile + ".sig";
  platform::win::FilePtr f = platform::win::OpenFile(out, "wb");
  if (!f || std::fwrite(hex.data(), 1, hex.size(), f.get()) != hex.size() ||
      std::fflush(f.get()) != 0)
    return Fail("cannot write " + hostOut);
  std::printf("%s\n", hostOut.c_str());
  return 0;
}

int Verify(const std::string& hostFile, const std::string& hostSigFile) {
  const std::string file = platform::win::FromHostPath(hostFile);
  const std::string sigFile = platform::win::FromHostPath(hostSigFile);
  if (!HasBytes(file)) return Fail("cannot read " + file + " (or it is empty)");
  if (!platform::win::OpenFile(sigFile, "r")) return Fail("cannot read " + sigFile);
  if (net::ValidateSignature(file, sigFile)) {
    std::fprintf(stderr, "zyra-sign: valid signature (key %.16s%s)\n",
                 net::kPackageKeyFingerprint,
                 net::kPackageKeyIsDevelopmentKey ? ", development key" : "");
    return 0;
  }
  std::string text;
  platform::win::FilePtr f = platform::win::OpenFile(sigFile, "r");
  char buf[4096];
  std::size_t n;
  while (f && (n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  net::Bytes sig;
  if (!net::HexToBytes(text, sig))
    return Fail("invalid signature: " + sigFile + " is not hexadecimal text", 1);
  if (sig.size() != 256)
    return Fail("invalid signature: " + std::to_string(text.size()) +
                    " characters where 512 hexadecimal digits are expected",
                1);
  return Fail("invalid signature: it does not match " + file + " under the compiled-in key", 1);
}

// Signs every package of folder (not .sig files, not manifest.json) and
// writes manifest.json listing each with its URL and signature URL.
int Manifest(const std::string& key, const std::string& folder, std::string baseUrl) {
  namespace fs = std::filesystem;
  if (!fs::is_directory(folder)) return Fail(folder + " is not a folder");
  while (!baseUrl.empty() && baseUrl.back() == '/') baseUrl.pop_back();
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file() || name == "manifest.json") continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".sig") == 0) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  nlohmann::json packages = nlohmann::json::array();
  for (const std::string& name : names) {
    const int rc = Sign(key, (fs::path(folder) / name).string(), false);
    if (rc != 0) return rc;
    packages.push_back({{"name", name},
                        {"url", baseUrl + "/" + name},
                        {"signatures", {{"sigv1", baseUrl + "/" + name + ".sig"}}}});
  }
  const nlohmann::json doc = {{"ttl", 3600}, {"packages", packages}};
  std::ofstream out(fs::path(folder) / "manifest.json", std::ios::binary);
  out << doc.dump(2) << "\n";
  if (!out) return Fail("cannot write manifest.json");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  if (cmd == "keygen" && argc == 4) {
    std::string error;
    if (!zyra_sign::GenerateKeyPair(argv[2], argv[3], error)) return Fail(error);
    return 0;
  }
  if (cmd == "sign" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "--lsb-first") == 0)))
    return Sign(argv[2], argv[3], argc == 5);
  if (cmd == "verify" && argc == 4) return Verify(argv[2], argv[3]);
  if (cmd == "manifest" && argc == 5) return Manifest(argv[2], argv[3], argv[4]);
  return Usage();
}
