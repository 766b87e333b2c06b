// Descriptor helpers of the emulated machine: whole transfers through a pipe
// that moves data in pieces and is interrupted by signals, and the owners
// that close descriptors and folder listings.
#include "platform/posix/descriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace px = platform::posix;

namespace {

std::atomic<int> g_signals{0};
extern "C" void CountSignal(int) { g_signals.fetch_add(1); }

struct Pipe {
  px::ScopedFd read;
  px::ScopedFd write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read.reset(fds[0]);
      write.reset(fds[1]);
    }
  }
};

// True while the thread with that id sleeps in the kernel (state S).
bool Sleeping(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

}  // namespace

TEST(Descriptors, WholeTransfersSurvivePiecesAndSignals) {
  // A handler without SA_RESTART: a blocked read or write fails with EINTR.
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = CountSignal;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  struct sigaction ign {};
  struct sigaction oldPipe {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  ASSERT_EQ(::sigaction(SIGPIPE, &ign, &oldPipe), 0);

  Pipe pipe;
  ASSERT_TRUE(pipe.read.valid());
  // More than a pipe holds: the writer's write returns short or blocks.
  const std::string payload(1 << 20, 'x');
  std::atomic<pid_t> readerTid{0};
  std::string received(payload.size() + 1, '\0');
  std::size_t got = 0;
  std::thread reader([&] {
    readerTid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
    got = px::ReadAll(pipe.read.get(), received.data(), received.size());
    pipe.read.reset();  // a reader that gave up early fails the writer
  });
  // Interrupt the reader while it waits for its first byte.
  while (readerTid.load() == 0 || !Sleeping(readerTid.load())) std::this_thread::yield();
  const int before = g_signals.load();
  ASSERT_EQ(::pthread_kill(reader.native_handle(), SIGUSR1), 0);
  while (g_signals.load() == before) std::this_thread::yield();

  EXPECT_TRUE(px::WriteAll(pipe.write.get(), payload.data(), payload.size()));
  pipe.write.reset();
  reader.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  ::sigaction(SIGPIPE, &oldPipe, nullptr);
  EXPECT_GT(g_signals.load(), 0);
  ASSERT_EQ(got, payload.size());  // everything, up to the end of the data
  received.resize(got);
  EXPECT_EQ(received, payload);
}

TEST(Descriptors, WriteAllFailsWithErrnoAndReadAllStopsAtTheEnd) {
  Pipe pipe;
  ASSERT_TRUE(pipe.read.valid());
  pipe.read.reset();
  struct sigaction ign {};
  struct sigaction old {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  ASSERT_EQ(::sigaction(SIGPIPE, &ign, &old), 0);
  errno = 0;
  EXPECT_FALSE(px::WriteAll(pipe.write.get(), "abc", 3));
  EXPECT_EQ(errno, EPIPE);
  ::sigaction(SIGPIPE, &old, nullptr);

  Pipe other;
  ASSERT_TRUE(px::WriteAll(other.write.get(), "abc", 3));
  other.write.reset();
  char buf[8] = {};
  EXPECT_EQ(px::ReadAll(other.read.get(), buf, sizeof buf), 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST(Descriptors, OwnersCloseWhatTheyHold) {
  int fd = -1;
  {
    const px::ScopedFd owned(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    fd = owned.get();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed
  EXPECT_EQ(errno, EBADF);
  px::ScopedDir dir(::opendir("/"));
  ASSERT_TRUE(dir.valid());
  const int dirFd = ::dirfd(dir.get());
  dir.reset();
  EXPECT_EQ(::fcntl(dirFd, F_GETFD), -1);
}
