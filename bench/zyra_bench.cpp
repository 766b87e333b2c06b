// zyra-bench: drives one operation of the program for the benchmark scripts.
//   zyra-bench download URL DEST           DownloadManager::Download
//   zyra-bench validate PACKAGE SIGNATURE  ValidateSignature (exit 0 valid)
//   zyra-bench proxy COUNT URL             COUNT proxy detections for URL, each
//                                          what one transfer attempt runs (a
//                                          fresh ProxyDetector, Detect in System
//                                          mode, GetProxyForUrl); prints the
//                                          median, fastest and slowest in ms and
//                                          the answer
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/download_manager.h"
#include "net/signature.h"
#include "platform/files.h"
#include "platform/utils/proxy_detector.h"

namespace {

int TimeProxyDetection(int count, const std::string& url) {
  if (count <= 0) return 2;
  std::vector<double> ms;
  std::string answer;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    platform::ProxyDetector detector;
    std::string proxy;
    if (detector.Detect(platform::ProxyMode::System, nullptr))
      proxy = detector.GetProxyForUrl(url, nullptr);
    const auto end = std::chrono::steady_clock::now();
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    if (i == 0) answer = proxy.empty() ? "DIRECT" : proxy;
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms.size() % 2 != 0
                            ? ms[ms.size() / 2]
                            : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
  std::printf("%.3f %.3f %.3f %s\n", median, ms.front(), ms.back(), answer.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
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
  if (cmd == "proxy" && argc == 4) return TimeProxyDetection(std::atoi(argv[2]), argv[3]);
  std::fprintf(stderr, "usage: zyra-bench download URL DEST | "
                       "validate PACKAGE SIGNATURE | proxy COUNT URL\n");
  return 2;
}
