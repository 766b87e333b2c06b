// The shipped program as Windows itself reads it: the version resource
// (what Explorer's Details tab, inventory tools and detection rules show),
// the manifest the loader applies, and the Authenticode signature.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The signed, stripped program of this build (the file the Wine scenarios run).
constexpr const char* kProgram = ZYRA_SHIPPED_PROGRAM;

class ShippedProgram : public ::testing::Test {
 protected:
  // A value of the version resource's string table, in its first language.
  std::string Value(const std::string& name) {
    struct Translation {
      WORD language;
      WORD codePage;
    };
    Translation* translations = nullptr;
    UINT size = 0;
    if (!::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                          reinterpret_cast<void**>(&translations), &size) ||
        size < sizeof(Translation))
      return "(no translation)";
    char key[64];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\", translations[0].language,
                  translations[0].codePage);
    char* value = nullptr;
    if (!::VerQueryValueA(block.data(), (key + name).c_str(), reinterpret_cast<void**>(&value),
                          &size))
      return "(no " + name + ")";
    return std::string(value, size > 0 ? size - 1 : 0);
  }

  std::vector<char> block;
};

TEST_F(ShippedProgram, VersionResourceCarriesTheProjectVersion) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(kProgram, &ignored);
  ASSERT_NE(size, 0u) << kProgram << ": error " << ::GetLastError();
  block.resize(size);
  ASSERT_TRUE(::GetFileVersionInfoA(kProgram, 0, size, block.data())) << ::GetLastError();

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD ms = MAKELONG(ZYRA_VERSION_MINOR, ZYRA_VERSION_MAJOR);
  const DWORD ls = MAKELONG(0, ZYRA_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, ms);
  EXPECT_EQ(fixed->dwFileVersionLS, ls);
  EXPECT_EQ(fixed->dwProductVersionMS, ms);
  EXPECT_EQ(fixed->dwProductVersionLS, ls);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  EXPECT_EQ(Value("FileVersion"), ZYRA_PROJECT_VERSION);
  EXPECT_EQ(Value("ProductVersion"), ZYRA_PROJECT_VERSION);
  EXPECT_EQ(Value("ProductName"), "CorvZyra");
  EXPECT_EQ(Value("CompanyName"), "Corvane");
  EXPECT_EQ(Value("FileDescription"), "CorvZyra provisioning stub");
  EXPECT_EQ(Value("OriginalFilename"), "CorvZyraProvisionStub.exe");
  EXPECT_NE(Value("LegalCopyright").find("Corvane"), std::string::npos);
}

// The manifest the loader reads (resource 1 of type RT_MANIFEST) asks for
// administrator rights.
TEST_F(ShippedProgram, ManifestAsksForAdministratorRights) {
  HMODULE image = ::LoadLibraryExA(kProgram, nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << ::GetLastError();
  HRSRC found = ::FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(found, nullptr) << ::GetLastError();
  const DWORD size = ::SizeofResource(image, found);
  const char* data = static_cast<const char*>(::LockResource(::LoadResource(image, found)));
  ASSERT_NE(data, nullptr);
  const std::string manifest(data, size);
  ::FreeLibrary(image);
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\""),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos)
      << "Windows 10 and 11 not declared";
}

// WinVerifyTrust finds a signature whose digest matches the file. Whether
// its certificate is trusted depends on the machine (a development
// certificate is trusted nowhere; Wine does not check the chain).
TEST_F(ShippedProgram, AuthenticodeSignatureIsIntact) {
  std::wstring path(kProgram, kProgram + std::char_traits<char>::length(kProgram));
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  EXPECT_NE(result, TRUST_E_NOSIGNATURE) << "not signed";
  EXPECT_NE(result, TRUST_E_BAD_DIGEST) << "the file was changed after signing";
  EXPECT_TRUE(result == ERROR_SUCCESS || result == CERT_E_UNTRUSTEDROOT ||
              result == CERT_E_CHAINING)
      << "WinVerifyTrust: 0x" << std::hex << static_cast<unsigned long>(result);
}

}  // namespace
