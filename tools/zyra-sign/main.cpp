// zyra-sign: the package publisher's tool.
//   zyra-sign keygen PRIVATE.pem PUBLIC.pem [--force]
//   zyra-sign sign PRIVATE.pem FILE [--lsb-first] [--pass-file F]   writes FILE.sig
//   zyra-sign verify FILE SIGFILE [--key PUBLIC.pem]   against the compiled-in key
//                                                      (or PUBLIC.pem)
//   zyra-sign manifest PRIVATE.pem FOLDER BASE-URL [--pass-file F]
//                                                      signs every published file of
//                                                      FOLDER, writes FOLDER/manifest.json
// Exit codes: 0 success (valid), 1 invalid signature, 2 usage or I/O error.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "net/package_key.h"
#include "net/signature.h"
#include "platform/files.h"
#include "tools/cli/tool_cli.h"
#include "tools/release/release_files.h"
#include "tools/zyra-sign/key_file.h"
#include "tools/zyra-sign/signing.h"

namespace {

// What the program asks the update server for, by these exact names: the
// agent's version file, which it reads the offered version from, and the
// agent installer, which it runs when that version is newer.
constexpr const char* kVersionFile = "CorvZyraAgent-Setup.exe.manifest";
constexpr const char* kInstaller = "CorvZyraAgent-Setup.exe";
// A signature file holds no more than this (512 hexadecimal digits).
constexpr std::size_t kMaxSignatureText = 4096;

// The pass-phrase of the private key for this run.
zyra_sign::PassPhrase g_pass;

int Fail(const std::string& reason, int code = 2) {
  std::fprintf(stderr, "zyra-sign: %s\n", reason.c_str());
  return code;
}

void Warn(const std::string& text) { std::fprintf(stderr, "zyra-sign: warning: %s\n", text.c_str()); }

// The file opens for reading and holds at least one byte.
bool HasBytes(const std::string& file) {
  platform::win::FilePtr f = platform::win::OpenFile(file, "rb");
  return f && std::fgetc(f.get()) != EOF;
}

// Says so on stderr when key is not the private half of the key this build
// checks packages against: the program built here would refuse the
// signatures. False when the key is not usable at all.
bool CheckAgainstBuildKey(const std::string& key) {
  bool matches = false;
  std::string error;
  if (!zyra_sign::IsBuildKey(key, matches, error, &g_pass)) {
    Fail(error);
    return false;
  }
  if (!matches)
    Warn(key + " is not the key this build checks packages against (" +
         std::string(net::kPackageKeyIsDevelopmentKey ? "its development key, " : "") +
         "public key SHA-256 " + std::string(net::kPackageKeyFingerprint).substr(0, 16) +
         "...): a program built from this tree refuses these signatures; it must be built "
         "with -DZYRA_PACKAGE_PUBLIC_KEY=<the public half of " + key + ">");
  return true;
}

int Keygen(const std::string& privateKey, const std::string& publicKey, bool force) {
  std::string error;
  if (!zyra_sign::GenerateKeyPair(privateKey, publicKey, force, error)) return Fail(error);
  std::printf("zyra-sign: private key written to %s (readable by its owner only: keep it secret)\n"
              "zyra-sign: public key written to %s (build the program with "
              "-DZYRA_PACKAGE_PUBLIC_KEY=%s to accept packages signed with this key)\n",
              privateKey.c_str(), publicKey.c_str(), publicKey.c_str());
  return 0;
}

int SignOne(const std::string& key, const std::string& hostFile, bool lsbFirst) {
  const std::string file = platform::win::FromHostPath(hostFile);
  platform::win::FilePtr in = platform::win::OpenFile(file, "rb");
  if (!in || !HasBytes(file)) return Fail("cannot read " + hostFile + " (or it is empty)");
  net::Bytes sig;
  std::string error;
  if (!zyra_sign::SignOpenFile(key, in.get(), sig, error, &g_pass)) return Fail(error);
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

int Sign(const std::string& key, const std::string& hostFile, bool lsbFirst) {
  if (!CheckAgainstBuildKey(key)) return 2;
  return SignOne(key, hostFile, lsbFirst);
}

struct RsaFree {
  void operator()(RSA* r) const noexcept { RSA_free(r); }
};

// The text of a file that may be a signature file: false when it cannot be
// read or holds more than a signature file can.
bool ReadSignatureText(const std::string& file, std::string& text) {
  platform::win::FilePtr f = platform::win::OpenFile(file, "rb");
  if (!f) return false;
  text.clear();
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    text.append(buf, n);
    if (text.size() > kMaxSignatureText) return false;
  }
  return true;
}

// Hexadecimal text of 256 bytes, read as the program reads it.
bool IsSignatureFile(const std::string& file) {
  std::string text;
  net::Bytes sig;
  return ReadSignatureText(file, text) && net::HexToBytes(text, sig) && sig.size() == 256;
}

int Verify(const std::string& hostFile, const std::string& hostSigFile,
           const std::string& publicKey) {
  const std::string file = platform::win::FromHostPath(hostFile);
  const std::string sigFile = platform::win::FromHostPath(hostSigFile);
  if (!HasBytes(file)) return Fail("cannot read " + hostFile + " (or it is empty)");
  if (!platform::win::OpenFile(sigFile, "r")) return Fail("cannot read " + hostSigFile);
  std::string text;
  net::Bytes sig;
  if (!ReadSignatureText(sigFile, text) || !net::HexToBytes(text, sig)) {
    // Most likely the package and its signature in the wrong order.
    const std::string order =
        IsSignatureFile(file)
            ? hostFile + " is one, so the two are swapped: zyra-sign verify " + hostSigFile +
                  " " + hostFile
            : "the order is: zyra-sign verify FILE FILE.sig";
    return Fail(hostSigFile +
                " is not a signature file (hexadecimal text of 512 digits, as zyra-sign sign "
                "writes it); " + order);
  }
  std::unique_ptr<RSA, RsaFree> key;
  if (!publicKey.empty()) {
    std::string error;
    key.reset(zyra_sign::LoadVerifyKey(publicKey, error));
    if (!key) return Fail(error);
  }
  const std::string keyName =
      key ? publicKey
          : "the compiled-in key " + std::string(net::kPackageKeyFingerprint).substr(0, 16) +
                (net::kPackageKeyIsDevelopmentKey ? ", development key" : "");
  net::Md5Digest digest{};
  if (!net::DigestPackageFile(file, digest)) return Fail("cannot read " + hostFile);
  if (net::ValidateSignatureDigest(digest, text, key.get())) {
    std::fprintf(stderr, "zyra-sign: valid signature (%s)\n", keyName.c_str());
    return 0;
  }
  if (sig.size() != 256)
    return Fail("invalid signature: " + std::to_string(text.size()) +
                    " characters where 512 hexadecimal digits are expected",
                1);
  return Fail("invalid signature: it does not match " + hostFile + " under " + keyName, 1);
}

// An http:// or https:// URL with a host and neither query nor fragment
// (package names are appended to it).
bool IsUsableBaseUrl(const std::string& url) {
  CURLU* u = curl_url();
  if (u == nullptr) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  char* part = nullptr;
  if (ok && curl_url_get(u, CURLUPART_SCHEME, &part, 0) == CURLUE_OK) {
    const std::string scheme = part;
    ok = scheme == "http" || scheme == "https";
  } else {
    ok = false;
  }
  curl_free(part);
  part = nullptr;
  ok = ok && curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK && part != nullptr &&
       *part != '\0';
  curl_free(part);
  for (CURLUPart p : {CURLUPART_QUERY, CURLUPART_FRAGMENT}) {
    part = nullptr;
    if (ok && curl_url_get(u, p, &part, 0) == CURLUE_OK) ok = false;
    curl_free(part);
  }
  curl_url_cleanup(u);
  return ok;
}

// The agent's version file: {"version":"X.Y.Z"}. Empty when usable, else why not.
std::string VersionFileProblem(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  if (doc.is_discarded()) return "it is not JSON";
  if (!doc.is_object() || !doc.contains("version") || !doc["version"].is_string())
    return "it has no string member \"version\"";
  return std::string();
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Signs every published file of folder (not .sig files, not manifest.json;
// not what the update server would refuse to serve, each named) and writes
// manifest.json listing each with its URL and signature URL. Warns about a
// release the program cannot use.
int Manifest(const std::string& key, const std::string& folder, std::string baseUrl) {
  namespace fs = std::filesystem;
  if (!fs::is_directory(folder)) return Fail(folder + " is not a folder");
  if (!IsUsableBaseUrl(baseUrl))
    return Fail("BASE-URL \"" + baseUrl +
                "\" is not an http:// or https:// URL with a host and without query "
                "(for example https://updates.example.com/zyra)");
  while (!baseUrl.empty() && baseUrl.back() == '/') baseUrl.pop_back();
  std::vector<std::string> names;
  std::vector<std::pair<std::string, std::string>> left;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name == "manifest.json") continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".sig") == 0) continue;
    std::string why = zyra_release::NotPublishedBecause(folder, name);
    if (why.empty())
      names.push_back(name);
    else
      left.emplace_back(name, std::move(why));
  }
  std::sort(left.begin(), left.end());
  for (const auto& [name, why] : left) {
    if (why == zyra_release::kHoldsPrivateKey)
      Warn(name + " holds a private key: neither signed nor served; keep keys out of the "
                  "release folder");
    else
      std::fprintf(stderr, "zyra-sign: not signed (nor served): %s: %s\n", name.c_str(),
                   why.c_str());
  }
  if (names.empty())
    return Fail(folder + " holds no package to sign (manifest.json and .sig files do not count)");
  std::sort(names.begin(), names.end());
  const auto has = [&](const char* n) {
    return std::find(names.begin(), names.end(), n) != names.end();
  };
  if (!has(kInstaller)) {
    std::vector<std::string> alike;
    for (const std::string& n : names)
      if (Lower(n).find("setup") != std::string::npos && Lower(n).size() > 4 &&
          Lower(n).compare(Lower(n).size() - 4, 4, ".exe") == 0)
        alike.push_back(n);
    Warn(folder + " has no " + kInstaller +
         " (the agent installer): every room whose agent is older than the offered version "
         "ends with 123 (the manifest names no installer: 70000)" +
         (alike.empty() ? std::string()
                        : "; the program asks for it by that exact name: rename " +
                              Joined(alike) + " to " + kInstaller));
  }
  if (!has(kVersionFile)) {
    Warn(folder + " has no " + kVersionFile +
         " (the agent's version file, {\"version\":\"X.Y.Z\"}): the program cannot learn the "
         "offered agent version and ends with 123");
  } else if (const std::string why = VersionFileProblem(fs::path(folder) / kVersionFile);
             !why.empty()) {
    Warn(std::string(kVersionFile) + " is not usable (" + why +
         "): write {\"version\":\"X.Y.Z\"}; the program ends with 123");
  }
  std::vector<std::string> unasked;
  for (const std::string& n : names)
    if (n != kInstaller && n != kVersionFile) unasked.push_back(n);
  if (!unasked.empty())
    Warn("signs " + Joined(unasked) + ", which the program never asks for (it asks for " +
         kInstaller + " and " + kVersionFile + " only)");
  if (!CheckAgainstBuildKey(key)) return 2;
  nlohmann::json packages = nlohmann::json::array();
  for (const std::string& name : names) {
    const int rc = SignOne(key, (fs::path(folder) / name).string(), false);
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

// The pass-phrase: the first line of file (without its line end); false
// when the file cannot be read.
bool ReadPassFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::getline(in, g_pass.text);
  if (!g_pass.text.empty() && g_pass.text.back() == '\r') g_pass.text.pop_back();
  g_pass.known = true;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The package publisher's tool: RSA-2048 signatures (PKCS #1 v1.5 over MD5, hexadecimal) "
      "of the packages the provisioning stub downloads, and the update manifest listing them.\n"
      "Exit codes: 0 success (valid), 1 invalid signature, 2 usage or I/O error.",
      "zyra-sign"};
  zyra_tools::SetUpTool(app);
  app.require_subcommand(1);

  std::string privateKey, publicKey, file, sigFile, folder, baseUrl, verifyKey, passFile;
  bool force = false, lsbFirst = false;

  CLI::App* keygen = app.add_subcommand(
      "keygen", "Make a new key pair: RSA-2048, exponent 65537. The private key is written "
                "readable by its owner only; neither file is replaced without --force.");
  keygen->add_option("PRIVATE.pem", privateKey, "Where the private key goes")->required();
  keygen->add_option("PUBLIC.pem", publicKey, "Where the public key goes")->required();
  keygen->add_flag("--force", force, "Replace existing key files");

  CLI::App* sign = app.add_subcommand(
      "sign", "Sign FILE, writing FILE.sig (512 hexadecimal digits). Warns when the key is not "
              "the one this build checks packages against.");
  sign->add_option("PRIVATE.pem", privateKey, "The publisher's private key")->required();
  sign->add_option("FILE", file, "The package to sign")->required();
  const std::string passHelp =
      "A file whose first line is the private key's pass-phrase (without it, a key with a "
      "pass-phrase is asked for on a terminal, and refused elsewhere)";
  sign->add_option("--pass-file", passFile, passHelp)->check(CLI::ExistingFile);
  sign->add_flag("--lsb-first", lsbFirst,
                 "Write the signature's bytes least significant first (the program accepts "
                 "either order; the default is openssl's, most significant first)");

  CLI::App* verify = app.add_subcommand(
      "verify", "Check SIGFILE against FILE as the program does (either byte order). Exit 0 "
                "valid, 1 invalid.");
  verify->add_option("FILE", file, "The package")->required();
  verify->add_option("SIGFILE", sigFile, "Its signature file")->required();
  verify->add_option("--key", verifyKey,
                     "A PEM public key to check against instead of the one compiled in");

  CLI::App* manifest = app.add_subcommand(
      "manifest",
      "Sign every file of FOLDER (but manifest.json and .sig files; never a folder, a hidden "
      "file or a key file, which zyra-update-server does not serve either) and write "
      "FOLDER/manifest.json listing each as BASE-URL/<name> with its signature "
      "BASE-URL/<name>.sig. FOLDER should hold CorvZyraAgent-Setup.exe.manifest, the agent's "
      "version file {\"version\":\"X.Y.Z\"}, and the installer CorvZyraAgent-Setup.exe: "
      "it warns when either is missing and names the files the program never asks for.");
  manifest->add_option("PRIVATE.pem", privateKey, "The publisher's private key")->required();
  manifest->add_option("FOLDER", folder, "The release folder")->required();
  manifest->add_option("BASE-URL", baseUrl,
                       "Where FOLDER is served, http:// or https:// (for example "
                       "https://updates.example.com/zyra)")
      ->required();
  manifest->add_option("--pass-file", passFile, passHelp)->check(CLI::ExistingFile);

  // CLI11 would only say that a command is missing.
  const auto named = [&](const CLI::App* c) { return argc > 1 && c->check_name(argv[1]); };
  if (argc > 1 && argv[1][0] != '-' && app.get_subcommands(named).empty())
    return zyra_tools::UsageError(app, std::string("unknown command '") + argv[1] +
                                           "' (commands: keygen, sign, verify, manifest)");
  int exitCode = 0;
  if (!zyra_tools::ParseArguments(app, argc, argv, exitCode)) return exitCode;
  g_pass.mayAsk = zyra_sign::InputIsTerminal();
  if (!passFile.empty() && !ReadPassFile(passFile)) return Fail("cannot read " + passFile);
  if (keygen->parsed()) return Keygen(privateKey, publicKey, force);
  if (sign->parsed()) return Sign(privateKey, file, lsbFirst);
  if (verify->parsed()) return Verify(file, sigFile, verifyKey);
  return Manifest(privateKey, folder, baseUrl);
}
