// zyra-file-holder <path> <text> <ready-file> [<log-file> <line>]
//
// Plays another program that has a file open: writes text to path (making
// its folders), keeps the file open, writes ready-file once it holds it, and
// holds it until the process is ended. With three arguments the handle lets
// others read the file but neither write nor delete it. With a log file and
// a line, the handle shares nothing at all (nobody else can even read the
// file), and the holder lets go and ends once log-file holds line.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void MakeParents(const std::string& path) {
  for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    ::CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
}

// Whether the file (opened as a log writer lets others open it) holds text.
bool Holds(const char* path, const char* text) {
  HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::string content;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) content.append(buf, n);
  ::CloseHandle(h);
  return content.find(text) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: zyra-file-holder <path> <text> <ready-file> [<log-file> <line>]\n");
    return 2;
  }
  const bool untilLogged = argc == 6;
  const std::string path = argv[1];
  MakeParents(path);
  HANDLE held = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              untilLogged ? 0 : FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
  if (!untilLogged) {
    ::Sleep(INFINITE);
    return 0;
  }
  while (!Holds(argv[4], argv[5])) ::Sleep(50);
  ::CloseHandle(held);
  std::printf("released %s\n", path.c_str());
  std::fflush(stdout);
  return 0;
}
