// zyra-ntlm-helper: an NTLM authenticator for squid (its NTLM helper
// protocol on standard input and output) that admits one account and checks
// its password. squid's own ntlm_fake_auth admits anyone with a challenge
// whose TargetName offset is garbage, which libcurl's NTLM ignores but
// Windows' NTLM refuses; this one sends a well-formed challenge (target name,
// target information for NTLMv2) and checks the NTLMv2 answer against the
// password.
//
//   zyra-ntlm-helper --user DOMAIN\user --password PASSWORD
//
// squid writes "YR <type 1>" (answered "TT <type 2>") and "KK <type 3>"
// (answered "AF DOMAIN\user", or "NA <reason>"). Every line it writes to
// standard error goes to squid's cache log.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md4.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr const char* kTargetDomain = "CORP";
constexpr const char* kTargetComputer = "PROXY";
constexpr const char* kTargetDnsDomain = "corp.test";
constexpr const char* kTargetDnsComputer = "proxy.corp.test";

// NTLMSSP negotiate flags of the challenge.
constexpr std::uint32_t kUnicode = 0x00000001;
constexpr std::uint32_t kRequestTarget = 0x00000004;
constexpr std::uint32_t kNtlm = 0x00000200;
constexpr std::uint32_t kAlwaysSign = 0x00008000;
constexpr std::uint32_t kTargetTypeDomain = 0x00010000;
constexpr std::uint32_t kExtendedSessionSecurity = 0x00080000;
constexpr std::uint32_t kTargetInfo = 0x00800000;
constexpr std::uint32_t kVersion = 0x02000000;
constexpr std::uint32_t k128 = 0x20000000;
constexpr std::uint32_t k56 = 0x80000000;

Bytes Utf16le(const std::string& ascii) {
  Bytes out;
  for (unsigned char c : ascii) {
    out.push_back(c);
    out.push_back(0);
  }
  return out;
}

std::string FromUtf16le(const Bytes& b) {
  std::string out;
  for (std::size_t i = 0; i + 1 < b.size(); i += 2) out += b[i + 1] == 0 ? static_cast<char>(b[i]) : '?';
  return out;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<unsigned char>(v & 0xff);
  b[at + 1] = static_cast<unsigned char>((v >> 8) & 0xff);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>((v >> (8 * i)) & 0xff);
}
std::uint32_t Get16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }
std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// A security buffer's bytes, or false when it points outside the message.
bool Field(const Bytes& msg, std::size_t at, Bytes& out) {
  if (msg.size() < at + 8) return false;
  const std::uint32_t len = Get16(msg, at);
  const std::uint32_t offset = Get32(msg, at + 4);
  if (offset > msg.size() || len > msg.size() - offset) return false;
  out.assign(msg.begin() + offset, msg.begin() + offset + len);
  return true;
}

std::string Base64(const Bytes& b) {
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(),
                                static_cast<int>(b.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

bool FromBase64(const std::string& text, Bytes& out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  out.assign(text.size() / 4 * 3, 0);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return false;
  std::size_t len = static_cast<std::size_t>(n);
  if (text[text.size() - 1] == '=') --len;
  if (text[text.size() - 2] == '=') --len;
  out.resize(len);
  return true;
}

void AvPair(Bytes& info, std::uint16_t id, const Bytes& value) {
  info.push_back(static_cast<unsigned char>(id & 0xff));
  info.push_back(static_cast<unsigned char>(id >> 8));
  info.push_back(static_cast<unsigned char>(value.size() & 0xff));
  info.push_back(static_cast<unsigned char>(value.size() >> 8));
  info.insert(info.end(), value.begin(), value.end());
}

Bytes Challenge(const Bytes& serverChallenge) {
  const Bytes target = Utf16le(kTargetDomain);
  Bytes info;
  AvPair(info, 2, Utf16le(kTargetDomain));
  AvPair(info, 1, Utf16le(kTargetComputer));
  AvPair(info, 4, Utf16le(kTargetDnsDomain));
  AvPair(info, 3, Utf16le(kTargetDnsComputer));
  AvPair(info, 0, {});
  Bytes msg(56, 0);
  std::memcpy(msg.data(), "NTLMSSP", 8);
  Put32(msg, 8, 2);
  Put16(msg, 12, static_cast<std::uint32_t>(target.size()));
  Put16(msg, 14, static_cast<std::uint32_t>(target.size()));
  Put32(msg, 16, 56);
  Put32(msg, 20, kUnicode | kRequestTarget | kNtlm | kAlwaysSign | kTargetTypeDomain |
                     kExtendedSessionSecurity | kTargetInfo | kVersion | k128 | k56);
  std::copy(serverChallenge.begin(), serverChallenge.end(), msg.begin() + 24);
  Put16(msg, 40, static_cast<std::uint32_t>(info.size()));
  Put16(msg, 42, static_cast<std::uint32_t>(info.size()));
  Put32(msg, 44, static_cast<std::uint32_t>(56 + target.size()));
  // Version: 6.1, build 7601, NTLM revision 15.
  msg[48] = 6;
  msg[49] = 1;
  Put16(msg, 50, 7601);
  msg[55] = 15;
  msg.insert(msg.end(), target.begin(), target.end());
  msg.insert(msg.end(), info.begin(), info.end());
  return msg;
}

Bytes HmacMd5(const Bytes& key, const Bytes& data) {
  Bytes out(16);
  unsigned int len = 16;
  HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out.data(),
       &len);
  return out;
}

// "" when the type 3 message answers the challenge with the password of
// the admitted account; otherwise why not.
std::string Check(const Bytes& msg, const Bytes& serverChallenge, const std::string& wantUser,
                  const std::string& password, std::string& who) {
  if (msg.size() < 64 || std::memcmp(msg.data(), "NTLMSSP", 8) != 0 || Get32(msg, 8) != 3)
    return "not an NTLM authenticate message";
  Bytes nt, domain, user;
  if (!Field(msg, 20, nt) || !Field(msg, 28, domain) || !Field(msg, 36, user))
    return "a field points outside the message";
  const bool unicode = (Get32(msg, 60) & kUnicode) != 0;
  const std::string domainText = unicode ? FromUtf16le(domain) : std::string(domain.begin(), domain.end());
  const std::string userText = unicode ? FromUtf16le(user) : std::string(user.begin(), user.end());
  who = domainText + "\\" + userText;
  if (Upper(who) != Upper(wantUser)) return "account " + who + " is not admitted";
  if (nt.size() <= 24) return "NTLMv1 answer refused";
  Bytes ntHash(MD4_DIGEST_LENGTH);
  const Bytes pw = Utf16le(password);
  MD4(pw.data(), pw.size(), ntHash.data());
  const Bytes ntowf = HmacMd5(ntHash, Utf16le(Upper(userText) + domainText));
  Bytes proofInput = serverChallenge;
  proofInput.insert(proofInput.end(), nt.begin() + 16, nt.end());
  const Bytes proof = HmacMd5(ntowf, proofInput);
  if (!std::equal(proof.begin(), proof.end(), nt.begin())) return "wrong password for " + who;
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  std::string user, password;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--user") user = argv[i + 1];
    else if (opt == "--password") password = argv[i + 1];
  }
  if (user.empty()) {
    std::fprintf(stderr, "usage: zyra-ntlm-helper --user DOMAIN\\user --password PASSWORD\n");
    return 2;
  }
  Bytes challenge(8);
  bool challenged = false;
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string kind = line.substr(0, 2);
    const std::string blob = line.size() > 3 ? line.substr(3) : std::string();
    if (kind == "YR") {
      if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1) {
        std::cout << "BH no random challenge" << std::endl;
        continue;
      }
      challenged = true;
      std::cout << "TT " << Base64(Challenge(challenge)) << std::endl;
    } else if (kind == "KK") {
      Bytes msg;
      std::string who;
      const std::string why = !challenged          ? std::string("no challenge sent")
                              : !FromBase64(blob, msg) ? std::string("not base64")
                                                       : Check(msg, challenge, user, password, who);
      challenged = false;
      if (why.empty()) {
        std::cout << "AF " << who << std::endl;
      } else {
        std::fprintf(stderr, "zyra-ntlm-helper: %s\n", why.c_str());
        std::cout << "NA " << why << std::endl;
      }
    } else {
      std::cout << "BH unknown request" << std::endl;
    }
  }
  return 0;
}
