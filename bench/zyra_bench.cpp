// zyra-bench: drives one operation of the program for the benchmark scripts.
//   zyra-bench serve FOLDER PORT           static files over HTTP on 127.0.0.1
//   zyra-bench download URL DEST           DownloadManager::Download
//   zyra-bench validate PACKAGE SIGNATURE  ValidateSignature (exit 0 valid)
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/download_manager.h"
#include "net/signature.h"
#include "platform/files.h"

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "serve" && argc == 4) {
    httplib::Server server;
    if (!server.set_mount_point("/", argv[2])) return 2;
    return server.listen("127.0.0.1", std::atoi(argv[3])) ? 0 : 2;
  }
  if (cmd == "download" && argc == 4) {
    net::DownloadManager dm;
    return dm.Download(argv[2], platform::win::FromHostPath(argv[3])) == net::Ok ? 0 : 1;
  }
  if (cmd == "validate" && argc == 4) {
    return net::ValidateSignature(platform::win::FromHostPath(argv[2]),
                                  platform::win::FromHostPath(argv[3]))
               ? 0
               : 1;
  }
  std::fprintf(stderr, "usage: zyra-bench serve FOLDER PORT | download URL DEST | "
                       "validate PACKAGE SIGNATURE\n");
  return 2;
}
