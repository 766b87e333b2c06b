// zyra-file-holder <path> <text> <ready-file>
//
// Plays another program that has a file open: writes text to path (making
// its folders), keeps the file open with sharing that lets others read it
// but neither write nor delete it, writes ready-file once it holds it, and
// holds it until the process is ended.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void MakeParents(const std::string& path) {
  for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    ::CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: zyra-file-holder <path> <text> <ready-file>\n");
    return 2;
  }
  const std::string path = argv[1];
  MakeParents(path);
  HANDLE held = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s: error %lu\n", path.c_str(), ::GetLastError());
    return 1;
  }
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(std::strlen(argv[2]));
  if (!::WriteFile(held, argv[2], size, &written, nullptr) || written != size ||
      !::FlushFileBuffers(held)) {
    std::fprintf(stderr, "cannot write %s: error %lu\n", path.c_str(), ::GetLastError());
    return 1;
  }
  HANDLE ready = ::CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot write %s: error %lu\n", argv[3], ::GetLastError());
    return 1;
  }
  ::WriteFile(ready, "holding\r\n", 9, &written, nullptr);
  ::CloseHandle(ready);
  std::printf("holding %s\n", path.c_str());
  std::fflush(stdout);
  ::Sleep(INFINITE);
  return 0;
}
