#include "tests/support/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace zyra_test {
namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Brings the namespace's loopback interface up (a new network namespace has
// it down).
std::string LoopbackUp() {
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return Errno("socket");
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  std::string problem;
  if (::ioctl(s, SIOCGIFFLAGS, &req) != 0) {
    problem = Errno("SIOCGIFFLAGS lo");
  } else {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(s, SIOCSIFFLAGS, &req) != 0) problem = Errno("SIOCSIFFLAGS lo");
  }
  ::close(s);
  return problem;
}

}  // namespace

PrivateNetwork::PrivateNetwork(const std::string& hostsText) {
  char tmpl[] = "/tmp/zyra-netns-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    problem_ = Errno("mkdtemp");
    return;
  }
  dir_ = tmpl;
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  const std::string hosts = dir_ + "/hosts";
  std::ofstream(hosts) << "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n"
                       << hostsText;
  fs::permissions(hosts, fs::perms::owner_read | fs::perms::owner_write |
                             fs::perms::group_read | fs::perms::others_read);

  oldNet_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  oldMnt_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  oldCwd_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (oldNet_ < 0 || oldMnt_ < 0 || oldCwd_ < 0) {
    problem_ = Errno("cannot open this process's namespaces");
    return;
  }
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    problem_ = Errno("cannot create a network and mount namespace (unshare)");
    return;
  }
  entered_ = true;
  // Mounts made here stay here.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    problem_ = Errno("cannot make the mounts private");
    return;
  }
  if (::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    problem_ = Errno("cannot bind " + hosts + " over /etc/hosts");
    return;
  }
  problem_ = LoopbackUp();
}

PrivateNetwork::~PrivateNetwork() {
  if (entered_) {
    // Back to the namespaces the test came from; the private ones end with
    // the last process in them.
    if (::setns(oldMnt_, CLONE_NEWNS) != 0 || ::setns(oldNet_, CLONE_NEWNET) != 0) ::abort();
    if (::fchdir(oldCwd_) != 0) {
      // The working folder is gone; the test's files use absolute paths.
    }
  }
  for (int fd : {oldNet_, oldMnt_, oldCwd_})
    if (fd >= 0) ::close(fd);
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

}  // namespace zyra_test
