// zyra-cred-writer <target> <user> <password>
//
// Stores a Windows credential (CredWriteW, CRED_TYPE_DOMAIN_PASSWORD,
// persisted for the local machine) for target, as an administrator does for
// a proxy host with "cmdkey /add:<target> /user:<user> /pass:<password>".
// Windows' NTLM package then answers that host with it when a program asks
// for the logged-on account's credentials. Arguments are ASCII.
#include <windows.h>
#include <wincred.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Wide(const char* s) {
  std::wstring w;
  for (; *s != '\0'; ++s) w += static_cast<wchar_t>(static_cast<unsigned char>(*s));
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: zyra-cred-writer <target> <user> <password>\n");
    return 2;
  }
  std::wstring target = Wide(argv[1]);
  std::wstring user = Wide(argv[2]);
  std::wstring password = Wide(argv[3]);
  CREDENTIALW cred{};
  cred.Type = CRED_TYPE_DOMAIN_PASSWORD;
  cred.TargetName = target.data();
  cred.UserName = user.data();
  cred.CredentialBlob = reinterpret_cast<LPBYTE>(password.data());
  cred.CredentialBlobSize = static_cast<DWORD>(password.size() * sizeof(wchar_t));
  cred.Persist = CRED_PERSIST_LOCAL_MACHINE;
  if (!::CredWriteW(&cred, 0)) {
    std::fprintf(stderr, "CredWriteW failed: %lu\n", ::GetLastError());
    return 1;
  }
  return 0;
}
