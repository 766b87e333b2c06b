#include "platform/posix/pac_engine.h"

#include <pacparser.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform::posix {
namespace {

// pacparser keeps one engine in global state.
std::mutex g_engineMutex;

// pacparser prints its complaints to stderr; WinHTTP reports a bad script by
// its error code only.
int Quiet(const char* /*fmt*/, va_list /*args*/) { return 0; }

// One started engine; cleaned up when it goes.
class Engine {
 public:
  Engine() : ok_(pacparser_init() != 0) {}
  ~Engine() { pacparser_cleanup(); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  [[nodiscard]] bool ok() const { return ok_; }

 private:
  bool ok_;
};

// The url as pacparser places it into a JavaScript string literal: every
// byte that could end the literal or change its meaning is %-escaped, as
// WinHTTP escapes unsafe characters of the URLs it handles.
std::string EscapeForScript(const std::string& url) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (char ch : url) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '\\' || c == '\'' || c == '"') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

bool IsSafeHost(const std::string& host) {
  if (host.empty()) return false;
  for (char ch : host) {
    const auto c = static_cast<unsigned char>(ch);
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':' && c != '%' &&
        c != '~')
      return false;
  }
  return true;
}

}  // namespace

bool RunPacScript(const std::string& script, const std::string& url, const std::string& host,
                  std::string& answer) {
  if (!IsSafeHost(host) || url.empty()) return false;
  const std::string safeUrl = EscapeForScript(url);
  std::lock_guard<std::mutex> lock(g_engineMutex);
  pacparser_set_error_printer(Quiet);
  Engine engine;
  if (!engine.ok()) return false;
  if (pacparser_parse_pac_string(script.c_str()) == 0) return false;
  // The answer belongs to the engine: copy it before the engine goes.
  const char* result = pacparser_find_proxy(safeUrl.c_str(), host.c_str());
  if (result == nullptr) return false;
  answer = result;
  return true;
}

}  // namespace platform::posix
