// Stands in for CorvZyraProvisionStub.exe in the test of the deployment
// wrapper (docs/examples/provision-room.cmd): writes the token it finds
// beside itself, or "<none>", into "standin.record" beside itself, and ends
// with the number in "standin.exit" beside itself (0 without that file).
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

int main() {
  char self[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 90;
  std::string dir(self, n);
  dir.erase(dir.find_last_of("\\/") + 1);
  std::ifstream token(dir + "CorvZyraProvisionToken.json", std::ios::binary);
  const std::string found =
      token ? std::string(std::istreambuf_iterator<char>(token), std::istreambuf_iterator<char>())
            : std::string("<none>");
  std::ofstream(dir + "standin.record", std::ios::binary) << found;
  int code = 0;
  std::ifstream(dir + "standin.exit") >> code;
  return code;
}
