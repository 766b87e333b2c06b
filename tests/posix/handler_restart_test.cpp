// The handler restart of the agent installation step against the emulated
// service manager, with a real service process and a driven clock.
#include "app/agent_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/utils/service_installer.h"
#include "tests/posix/service_fixture.h"
#include "tests/support/test_support.h"

namespace w = platform::win;
using ::testing::Contains;
using ::testing::MatchesRegex;
using ::testing::ElementsAre;
using namespace zyra_test;

// ---------------------------------------------------------------------------
// The handler restart of the agent-current branch

using HandlerRestart = ServiceTest;

TEST_F(HandlerRestart, StopsWaitsFiveSecondsThenStarts) {
  InstallService("CorvZyraHandler", kService);
  watched_ = "CorvZyraHandler";
  {
    platform::ServiceInstaller first(u"CorvZyraHandler");
    ASSERT_EQ(first.Start(), 0u);
  }
  ASSERT_TRUE(WaitReady("CorvZyraHandler"));
  sleeps_.clear();
  zyra_test::CapturedLog log;
  // Where in the log each sleep fell.
  std::vector<std::pair<w::DWORD, std::size_t>> marks;
  onSleep_ = [&](std::size_t) { marks.emplace_back(sleeps_.back(), log.Lines().size()); };
  EXPECT_TRUE(app::RestartHandlerService());
  onSleep_ = nullptr;
  const auto lines = log.Lines();
  std::size_t fiveSeconds = 0;
  std::size_t at = 0;
  for (const auto& [ms, lineCount] : marks) {
    if (ms != 5000) continue;
    ++fiveSeconds;
    at = lineCount;
  }
  ASSERT_EQ(fiveSeconds, 1u);
  ASSERT_GT(at, 0u);
  ASSERT_LT(at, lines.size());
  EXPECT_EQ(lines[at - 1], "info|[ServiceInstaller::Stop] - CorvZyraHandler is stopped.");
  EXPECT_EQ(lines[at], kStartAttempt);
  EXPECT_EQ(lines.back(), "info|[ServiceInstaller::Start] - Service started successfully.");
}

TEST_F(HandlerRestart, CountsOnlyWhenTheStartSucceedsToo) {
  // Stopped already (the stop returns 0), and a program that cannot run
  // (the start returns 193).
  InstallService("CorvZyraHandler", "this is not a program\n");
  zyra_test::CapturedLog log;
  EXPECT_FALSE(app::RestartHandlerService());
  EXPECT_THAT(log.Lines(), Contains("info|[ServiceInstaller::Stop] - CorvZyraHandler is stopped."));
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "error|[ServiceInstaller::Start] - CorvZyraHandler failed to start");
  // Then why no verdict can come, with Windows' words for the error.
  EXPECT_EQ(lines.back(),
            "error|ZyraHandler cannot answer: the handler service CorvZyraHandler could not be "
            "started, error 193: %1 is not a valid Win32 application.");
  EXPECT_THAT(sleeps_, ElementsAre(5000u));
}

// A service whose program ends at once, without a report: the start gives
// up on it ("Service not started.") and the restart counts, but one line
// names why no verdict can come, in words.
TEST_F(HandlerRestart, AServiceThatEndsAtOnceIsNamedAsNotRunning) {
  InstallService("CorvZyraHandler", "#!/bin/sh\nexit 0\n");
  watched_ = "CorvZyraHandler";
  zyra_test::CapturedLog log;
  EXPECT_TRUE(app::RestartHandlerService());
  const auto lines = log.Lines();
  EXPECT_THAT(lines, Contains("info|[ServiceInstaller::Start] - Service not started."));
  // What the manager shows depends on how far the service's end has got
  // when it is asked (the program does not control that): stopped with the
  // exit code of a process that ended without reporting, or still ending
  // (its exit code not yet recorded). Either way the line names it.
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines.back(),
              MatchesRegex("error\\|ZyraHandler cannot answer: the handler service "
                           "CorvZyraHandler is not running \\(state (1, stopped\\), exit code "
                           "1067: The process terminated unexpectedly\\.|3, stop pending\\), "
                           "exit code 0[:.].*)"));
}
