// zyra-handler-double: plays the handler service's side of the status-file
// protocol, for demos and tests. It waits until the stub has written its
// placeholder into the status file, then behaves as told.
//
// With --service it is the "CorvZyraHandler" service: a real Win32 service
// on Windows (register it with
//   sc create CorvZyraHandler binPath= "C:\...\zyra-handler-double.exe --service ..."),
// the emulated service on the emulated machine. A stop request ends it
// quietly with exit code 0.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/file_helpers.h"
#include "app/handler_handoff.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/service_host.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: zyra-handler-double [--behaviour B] [--delay S] [--verdict-after S]\n"
               "                           [--then V] [--text T] [--wait-limit S]\n"
               "                           [--when FILE] [--service] [--log FILE]\n"
               "behaviours:\n"
               "  success           writes \"Room provision success.\"\n"
               "  already           writes \"Room already provisioned.\"\n"
               "  room              provisions the room once: writes \"Room provision\n"
               "                    success.\" the first time, \"Room already\n"
               "                    provisioned.\" ever after (it keeps a mark in\n"
               "                    C:\\ProgramData\\Corvane\\zyra-handler-double.provisioned)\n"
               "  failure           writes --text (default \"Room provision failed.\")\n"
               "  progress          writes the progress text, then after --verdict-after\n"
               "                    seconds the verdict of --then (success, already,\n"
               "                    failure or none)\n"
               "  silent            never touches the file\n"
               "  trailing-newline  writes the success text followed by a line break\n"
               "  other-case        writes \"ROOM PROVISION SUCCESS.\"\n"
               "  delete            deletes the status file\n"
               "  end-at-once       ends at once, before it reports anything to the\n"
               "                    service control manager (a service that dies at start)\n"
               "--service runs as the CorvZyraHandler service (a Win32 service on\n"
               "Windows, the emulated one elsewhere): it picks up\n"
               "C:\\ProgramData\\Corvane\\CorvZyra\\provision-token.data at start and ends\n"
               "quietly when stopped;\n"
               "--log FILE appends its messages to FILE (a Windows-form path) as well as\n"
               "to standard output;\n"
               "--delay S waits S seconds after the placeholder appears (default 0);\n"
               "--when FILE answers only once FILE (a Windows-form path) exists, after\n"
               "the placeholder and the delay;\n"
               "--wait-limit S gives up when no placeholder came within S seconds\n"
               "(default 1200). Seconds follow the clock the program sees.\n");
}

struct Options {
  std::string behaviour = "success";
  std::string then = "success";
  std::string text = "Room provision failed.";
  double delay = 0;
  double verdictAfter = 60;
  double waitLimit = 1200;
  std::string when;
  bool service = false;
  std::string log;
};

std::string g_logFile;

// The room this handler provisions: the mark of the "room" behaviour.
constexpr const char* kProvisionedMark =
    "C:\\ProgramData\\Corvane\\zyra-handler-double.provisioned";

// Prints a message line to the console stream and, with --log, appends it
// to the log file (a service has no console).
void Emit(std::FILE* console, const char* format, va_list args) {
  char line[1024];
  std::vsnprintf(line, sizeof line, format, args);
  std::fprintf(console, "zyra-handler-double: %s\n", line);
  std::fflush(console);
  if (g_logFile.empty()) return;
  platform::win::FilePtr f = platform::win::OpenFile(g_logFile, "ab");
  if (f) std::fprintf(f.get(), "zyra-handler-double: %s\n", line);
}

// Progress, on standard output.
void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(stdout, format, args);
  va_end(args);
}

// Failures, on standard error.
void Complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(stderr, format, args);
  va_end(args);
}

// Sleeps; true when the service was asked to stop meanwhile.
bool Pause(double seconds) { return platform::WaitForServiceStop(seconds); }

std::string VerdictText(const std::string& verdict, const std::string& text) {
  if (verdict == "success") return app::kHandlerSuccess;
  if (verdict == "already") return app::kHandlerAlreadyProvisioned;
  if (verdict == "failure") return text;
  return std::string();
}

void Write(const std::string& content) {
  if (!app::WriteWholeFile(app::kStatusFile, content))
    Complain("cannot write %s", app::kStatusFile);
  else
    Say("wrote \"%s\"", content.c_str());
}

void PickUpToken() {
  const std::string token = "C:\\ProgramData\\Corvane\\CorvZyra\\provision-token.data";
  std::string content;
  if (!app::ReadWholeFile(token, content)) {
    Say("no provisioning token to pick up");
    return;
  }
  app::DeleteFileIfExists(token);
  Say("picked up the provisioning token (%s bytes)", std::to_string(content.size()).c_str());
}

// The handler's side of the exchange. 0 when it played its part (or was
// stopped), 1 when no placeholder came in time.
platform::win::DWORD Play(const Options& o) {
  if (o.behaviour == "silent") return 0;

  // Wait for the stub's placeholder.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::string content;
    if (app::ReadWholeFile(app::kStatusFile, content) && content == app::kHandlerPlaceholder)
      break;
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (waited > o.waitLimit) {
      Complain("no placeholder within %.0f s", o.waitLimit);
      return 1;
    }
    if (Pause(1)) return 0;
  }
  Say("placeholder seen");
  // What the stub has told the world so far (its interim result code).
  std::string result;
  if (app::ReadWholeFile(app::kResultFile, result)) {
    while (!result.empty() && result.back() == '\n') result.pop_back();
    Say("result file holds \"%s\"", result.c_str());
  } else {
    Say("no result file");
  }
  if (Pause(o.delay)) return 0;
  if (!o.when.empty()) {
    while (!app::FileExists(o.when))
      if (Pause(1)) return 0;
    Say("%s is there", o.when.c_str());
  }

  if (o.behaviour == "room") {
    const bool before = app::FileExists(kProvisionedMark);
    if (!before && !app::WriteWholeFile(kProvisionedMark, "provisioned\n"))
      Complain("cannot write %s", kProvisionedMark);
    Write(before ? app::kHandlerAlreadyProvisioned : app::kHandlerSuccess);
  } else if (o.behaviour == "progress") {
    Write(app::kHandlerProgress);
    const std::string verdict = VerdictText(o.then, o.text);
    if (verdict.empty()) return 0;
    if (Pause(o.verdictAfter)) return 0;
    Write(verdict);
  } else if (o.behaviour == "trailing-newline") {
    Write(std::string(app::kHandlerSuccess) + "\n");
  } else if (o.behaviour == "other-case") {
    Write("ROOM PROVISION SUCCESS.");
  } else if (o.behaviour == "delete") {
    app::DeleteFileIfExists(app::kStatusFile);
    Say("deleted the status file");
  } else {
    Write(VerdictText(o.behaviour, o.text));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--behaviour" && hasValue) o.behaviour = argv[++i];
    else if (a == "--delay" && hasValue) o.delay = std::atof(argv[++i]);
    else if (a == "--verdict-after" && hasValue) o.verdictAfter = std::atof(argv[++i]);
    else if (a == "--then" && hasValue) o.then = argv[++i];
    else if (a == "--text" && hasValue) o.text = argv[++i];
    else if (a == "--wait-limit" && hasValue) o.waitLimit = std::atof(argv[++i]);
    else if (a == "--log" && hasValue) o.log = argv[++i];
    else if (a == "--when" && hasValue) o.when = argv[++i];
    else if (a == "--service") o.service = true;
    else {
      Usage();
      return 2;
    }
  }
  static const char* const kKnown[] = {"success",    "already",          "room",
                                       "failure",    "progress",         "silent",
                                       "trailing-newline", "other-case", "delete",
                                       "end-at-once"};
  bool known = false;
  for (const char* k : kKnown) known = known || o.behaviour == k;
  if (!known) {
    Usage();
    return 2;
  }
  g_logFile = o.log;
  if (o.behaviour == "end-at-once") {
    Say("ending at once");
    return 0;
  }
  if (!o.service) return static_cast<int>(Play(o));

  const platform::win::DWORD rc = platform::RunAsService(u"CorvZyraHandler", [&o]() {
    PickUpToken();
    return Play(o);
  });
  if (rc == 1063) Complain("--service: not started by the service control manager");
  return static_cast<int>(rc);
}
