// Held files, renames, folder ownership and protected folders: CreateFileA,
// ReadFile, MoveFileExA, GetSecurityInfo and CreateDirectoryA with a
// protected DACL.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_security.h"
#include "platform/win32/scoped_handle_win32.h"

namespace platform::win {
namespace {

::HANDLE Native(void* h) { return static_cast<::HANDLE>(h); }

// The user SID of the process's token, empty when it cannot be read.
std::vector<unsigned char> ProcessUserSid() {
  ::HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const ScopedKernelHandle token(raw);
  ::DWORD size = 0;
  ::GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(raw, TokenUser, buffer.data(), size, &size)) return {};
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  const ::DWORD length = ::GetLengthSid(user->User.Sid);
  const auto* bytes = static_cast<const unsigned char*>(user->User.Sid);
  return std::vector<unsigned char>(bytes, bytes + length);
}

// NT SERVICE\TrustedInstaller, which owns the system's own files and folders.
bool IsTrustedInstaller(PSID sid) {
  static const std::vector<unsigned char> trustedInstaller = [] {
    PSID parsed = nullptr;
    if (!::ConvertStringSidToSidA(
            "S-1-5-80-956008885-3425870976-2464221942-3000064434-4170127424", &parsed))
      return std::vector<unsigned char>();
    const ScopedLocalMemory owner(parsed);
    const auto* bytes = static_cast<const unsigned char*>(parsed);
    return std::vector<unsigned char>(bytes, bytes + ::GetLengthSid(parsed));
  }();
  return !trustedInstaller.empty() &&
         ::EqualSid(sid, const_cast<unsigned char*>(trustedInstaller.data()));
}

// SYSTEM, Administrators, TrustedInstaller or the program's own account.
bool TrustedSid(PSID sid, const std::vector<unsigned char>& self) {
  if (sid == nullptr || !::IsValidSid(sid)) return false;
  if (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
    return true;
  if (IsTrustedInstaller(sid)) return true;
  return !self.empty() && ::EqualSid(sid, const_cast<unsigned char*>(self.data()));
}

// Rights that let an account change what is in a folder or who may.
constexpr ::DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                 FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

bool OthersMayWrite(PACL dacl, const std::vector<unsigned char>& self) {
  if (dacl == nullptr) return true;  // no DACL: everyone has full control
  for (::DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return true;  // a grant we cannot judge
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kWriteRights) == 0) continue;
    PSID sid = const_cast<::DWORD*>(&allowed->SidStart);
    // CREATOR OWNER only hands the creator of a new entry its own entry.
    if (TrustedSid(sid, self) || ::IsWellKnownSid(sid, WinCreatorOwnerSid)) continue;
    return true;
  }
  return false;
}

}  // namespace

void FileHandleTraits::Free(void* handle) noexcept { ::CloseHandle(Native(handle)); }

FileHandle CreateFileA(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
  ::HANDLE h = ::CreateFileA(path.c_str(), access, share, nullptr, disposition,
                             flags | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileHandle();
  return FileHandle(h);
}

BOOL ReadFile(const FileHandle& file, void* buffer, DWORD size, DWORD* read) {
  ::DWORD n = 0;
  const ::BOOL ok = ::ReadFile(Native(file.get()), buffer, size, &n, nullptr);
  if (read != nullptr) *read = n;
  return ok;
}

BOOL MoveFileExA(const std::string& from, const std::string& to, DWORD flags) {
  return ::MoveFileExA(from.c_str(), to.c_str(), flags);
}

DWORD InspectFolder(const std::string& path, FolderInfo& info) {
  ::HANDLE raw = ::CreateFileA(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return ::GetLastError();
  const ScopedKernelHandle h(raw);
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(h.get(), &data)) return ::GetLastError();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const ::DWORD rc = ::GetSecurityInfo(h.get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, nullptr, &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS) return rc;
  const ScopedLocalMemory sdOwner(sd);
  const std::vector<unsigned char> self = ProcessUserSid();
  info = FolderInfo();
  info.attributes = data.dwFileAttributes;
  info.ownerTrusted = TrustedSid(owner, self);
  info.othersMayWrite = OthersMayWrite(dacl, self);
  info.lastWriteTime = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                       data.ftLastWriteTime.dwLowDateTime;
  info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return ERROR_SUCCESS;
}

std::uint64_t GetSystemTimeAsFileTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

BOOL CreateProtectedDirectoryA(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  // P: protected (nothing inherited from the parent); OICI: files and
  // subfolders inherit the entries; FA: full control.
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &sd, nullptr))
    return FALSE;
  const ScopedLocalMemory sdOwner(sd);
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = sd;
  sa.bInheritHandle = FALSE;
  return ::CreateDirectoryA(path.c_str(), &sa);
}

}  // namespace platform::win
