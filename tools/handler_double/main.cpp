// zyra-handler-double: plays the handler service's side of the status-file
// protocol, for demos and tests. It waits until the stub has written its
// placeholder into the status file, then behaves as told.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/file_helpers.h"
#include "app/handler_handoff.h"
#include "app/provisioning_run.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: zyra-handler-double [--behaviour B] [--delay S] [--verdict-after S]\n"
               "                           [--then V] [--text T] [--wait-limit S]\n"
               "behaviours:\n"
               "  success           writes \"Room provision success.\"\n"
               "  already           writes \"Room already provisioned.\"\n"
               "  failure           writes --text (default \"Room provision failed.\")\n"
               "  progress          writes the progress text, then after --verdict-after\n"
               "                    seconds the verdict of --then (success, already,\n"
               "                    failure or none)\n"
               "  silent            never touches the file\n"
               "  trailing-newline  writes the success text followed by a line break\n"
               "  other-case        writes \"ROOM PROVISION SUCCESS.\"\n"
               "  delete            deletes the status file\n"
               "--service runs as the emulated CorvZyraHandler service: it picks up\n"
               "C:\\ProgramData\\Corvane\\CorvZyra\\provision-token.data at start and ends\n"
               "quietly when stopped;\n"
               "--delay S waits S seconds after the placeholder appears (default 0);\n"
               "--wait-limit S gives up when no placeholder came within S seconds\n"
               "(default 1200). Seconds follow the clock the program sees.\n");
}

void Sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string VerdictText(const std::string& verdict, const std::string& text) {
  if (verdict == "success") return app::kHandlerSuccess;
  if (verdict == "already") return app::kHandlerAlreadyProvisioned;
  if (verdict == "failure") return text;
  return std::string();
}

void Write(const std::string& content) {
  if (!app::WriteWholeFile(app::kStatusFile, content))
    std::fprintf(stderr, "zyra-handler-double: cannot write %s\n", app::kStatusFile);
  else
    std::printf("zyra-handler-double: wrote \"%s\"\n", content.c_str());
  std::fflush(stdout);
}

void PickUpToken() {
  const std::string token = "C:\\ProgramData\\Corvane\\CorvZyra\\provision-token.data";
  std::string content;
  if (!app::ReadWholeFile(token, content)) {
    std::printf("zyra-handler-double: no provisioning token to pick up\n");
    return;
  }
  app::DeleteFileIfExists(token);
  std::printf("zyra-handler-double: picked up the provisioning token (%zu bytes)\n",
              content.size());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string behaviour = "success";
  std::string then = "success";
  std::string text = "Room provision failed.";
  double delay = 0;
  double verdictAfter = 60;
  double waitLimit = 1200;
  bool service = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--behaviour" && hasValue) behaviour = argv[++i];
    else if (a == "--delay" && hasValue) delay = std::atof(argv[++i]);
    else if (a == "--verdict-after" && hasValue) verdictAfter = std::atof(argv[++i]);
    else if (a == "--then" && hasValue) then = argv[++i];
    else if (a == "--text" && hasValue) text = argv[++i];
    else if (a == "--wait-limit" && hasValue) waitLimit = std::atof(argv[++i]);
    else if (a == "--service") service = true;
    else {
      Usage();
      return 2;
    }
  }
  static const char* const kKnown[] = {"success", "already",          "failure",
                                       "progress", "silent",          "trailing-newline",
                                       "other-case", "delete"};
  bool known = false;
  for (const char* k : kKnown) known = known || behaviour == k;
  if (!known) {
    Usage();
    return 2;
  }
  if (service) {
    // Stopping the service is a normal end.
    std::signal(SIGTERM, [](int) { std::_Exit(0); });
    PickUpToken();
  }
  if (behaviour == "silent") return 0;

  // Wait for the stub's placeholder.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::string content;
    if (app::ReadWholeFile(app::kStatusFile, content) && content == app::kHandlerPlaceholder)
      break;
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (waited > waitLimit) {
      std::fprintf(stderr, "zyra-handler-double: no placeholder within %.0f s\n", waitLimit);
      return 1;
    }
    Sleep(1);
  }
  std::printf("zyra-handler-double: placeholder seen\n");
  Sleep(delay);

  if (behaviour == "progress") {
    Write(app::kHandlerProgress);
    const std::string verdict = VerdictText(then, text);
    if (verdict.empty()) return 0;
    Sleep(verdictAfter);
    Write(verdict);
  } else if (behaviour == "trailing-newline") {
    Write(std::string(app::kHandlerSuccess) + "\n");
  } else if (behaviour == "other-case") {
    Write("ROOM PROVISION SUCCESS.");
  } else if (behaviour == "delete") {
    app::DeleteFileIfExists(app::kStatusFile);
    std::printf("zyra-handler-double: deleted the status file\n");
  } else {
    Write(VerdictText(behaviour, text));
  }
  return 0;
}
