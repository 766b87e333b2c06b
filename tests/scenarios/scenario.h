#pragma once
// The fixture of the whole-run scenarios: one fresh machine per scenario,
// emulated or Wine (the test's parameter), with the stub, a token and log
// level 1, and the checks every scenario makes. Scenarios of one subject
// live in one file; each suite is instantiated once for both machines
// (scenario.cpp, proxy_scenarios_test.cpp).
//
// Run one scenario by name (README: "Whole-run scenarios"), for example
//   ctest --test-dir build/linux -R 'FreshInstall.*/Emulated'
// or the binary with --gtest_filter='*FreshInstall*/Wine' (with
// ZYRA_WINDOWS_BUILD and ZYRA_WINE_LOADER set).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_checks.h"
#include "tests/support/scenario_machine.h"

namespace zyra_scenarios {

using namespace zyra_test::checks;
using zyra_test::AgentOffer;
using zyra_test::kAgentKey;
using zyra_test::kStubSettingsKey;
using zyra_test::RegistryView;
using zyra_test::ScenarioMachine;

enum class MachineKind { kEmulated, kWine };

inline std::string KindName(const ::testing::TestParamInfo<MachineKind>& info) {
  return info.param == MachineKind::kEmulated ? "Emulated" : "Wine";
}

class Scenario : public ::testing::TestWithParam<MachineKind> {
 protected:
  void SetUp() override {
    if (GetParam() == MachineKind::kWine) {
      std::string whyNot;
      if (!zyra_test::WineMachineRequested(whyNot)) GTEST_SKIP() << whyNot;
      std::string problem;
      m = zyra_test::MakeWineMachine(problem);
      ASSERT_NE(m, nullptr) << problem;
    } else {
      m = zyra_test::MakeEmulatedScenarioMachine();
    }
    m->InstallStub();
    m->PutToken("{\"orgId\":\"scenario\",\"roomName\":\"Scenario Room\"}");
    m->SetRegistryDword(RegistryView::k64Bit, kStubSettingsKey, "log_level", 1);
  }

  void TearDown() override {
    if (m != nullptr && HasFailure()) {
      m->Keep();
      std::printf("The %s machine is kept in %s\n", m->Kind().c_str(), m->Location().c_str());
    }
  }

  void RunStub(bool handlerRunning = false) { run = m->RunStub(handlerRunning); }

  // Exit code, result file and closing log lines all carry code.
  void ExpectEndedWith(int code) {
    EXPECT_EQ(run.exitCode, code) << "console:\n" << run.stdoutText;
    EXPECT_EQ(m->ResultFileBytes().value_or("(no result file)"),
              "provision_result_code: " + std::to_string(code) + "\r\n");
    ExpectLogged({"info  CorvZyraProvisionStub completed.",
                  "info  provision_result_code " + std::to_string(code),
                  std::string("info  ") + ResultDescription(code)});
  }

  // The log file holds these messages in this order (others may lie between).
  void ExpectLogged(const std::vector<std::string>& wanted) {
    const auto log = m->LogMessages();
    std::size_t at = 0;
    for (const auto& w : wanted) {
      while (at < log.size() && log[at] != w) ++at;
      if (at == log.size()) {
        ADD_FAILURE() << "not logged (in this order): " << w << "\nwanted:\n"
                      << Joined(wanted) << "log:\n" << Joined(log);
        return;
      }
      ++at;
    }
  }

  // The log holds the message line, and the message right after it matches
  // the regular expression next.
  void ExpectNextMatches(const std::string& line, const std::string& next) {
    const auto log = m->LogMessages();
    const auto at = std::find(log.begin(), log.end(), line);
    if (at == log.end() || at + 1 == log.end()) {
      ADD_FAILURE() << "not logged, or last: " << line << "\nlog:\n" << Joined(log);
      return;
    }
    EXPECT_TRUE(std::regex_match(*(at + 1), std::regex(next)))
        << "after: " << line << "\nwanted: " << next << "\ngot: " << *(at + 1);
  }

  void ExpectNotLogged(const std::string& message) {
    EXPECT_THAT(m->LogMessages(), Not(Contains(message)));
  }

  // Offers the agent, registers the handler service answering success, and
  // runs the stub.
  void OfferAndRun(const AgentOffer& offer) {
    m->OfferAgent(offer);
    m->RegisterHandlerService({"--behaviour", "success"});
    RunStub();
  }

  void ExpectInstallerRanSilentlyOnce() { EXPECT_THAT(m->InstallerCalls(), ElementsAre("/S", "--")); }
  void ExpectInstallerNeverRan() { EXPECT_THAT(m->InstallerCalls(), IsEmpty()); }

  // An old success in the status file was no answer to the run: after the
  // lines before, the placeholder's warning, ten polls without a result and
  // the timeout; the run ends with 125.
  void ExpectOldVerdictWasNoAnswer(std::vector<std::string> before) {
    ExpectEndedWith(125);
    before.insert(before.end(),
                  {"warning  Cannot write C:\\Windows\\Temp\\CorvZyra\\Zyrahandler_provisionstub.txt: "
                   "its content is from before this run and is no result.",
                   "info  Waiting for ZyraHandler to provision the room",
                   "info  Timeout! ZyraHandler has not completed room provision."});
    ExpectLogged(before);
    ExpectNotLogged("info  Room provision result: Room provision success.");
    EXPECT_EQ(CountStartingWith(m->LogMessages(), "info  Cannot get room provision result."), 10);
  }

  // Polls until ready() holds; false when it did not within the limit (real
  // seconds). For what another process does at its own pace.
  static bool WaitUntil(const std::function<bool()>& ready, double limitSeconds = 900) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(limitSeconds * 1000));
    while (!ready()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  // How often the log holds this message.
  long Logged(const std::string& message) const {
    const auto log = m->LogMessages();
    return static_cast<long>(std::count(log.begin(), log.end(), message));
  }

  // The agent current and a handler that provisions the room once, when told
  // (TellTheHandlerToAnswer); a first run that waits for it, and a second
  // one started then, which waits for the first (a fatal failure when either
  // does not get there).
  void StartASecondRunWhileTheFirstWaits(std::unique_ptr<zyra_test::BackgroundStub>& first,
                                         std::unique_ptr<zyra_test::BackgroundStub>& second) {
    m->SetRegistryString(RegistryView::k64Bit, kAgentKey, "DisplayVersion", "1.0.0");
    m->OfferAgent({"1.0.0"});
    m->RegisterHandlerService({"--behaviour", "room", "--when", kAnswerNow});
    first = m->StartStub();
    ASSERT_TRUE(WaitUntil([&] { return Logged(kWaitingLine) == 1 || !first->Running(); }));
    ASSERT_EQ(Logged(kWaitingLine), 1) << first->Console();
    second = m->StartStub();
    const auto waits = [&] { return second->Console().find(kLockBusy) != std::string::npos; };
    ASSERT_TRUE(WaitUntil([&] { return waits() || !second->Running(); }));
    ASSERT_TRUE(waits()) << "the second run did not wait:\n" << second->Console();
  }
  void TellTheHandlerToAnswer() {
    std::ofstream(m->DriveCOnHost("ProgramData/Corvane/zyra-test.answer")) << "now";
  }
  static constexpr const char* kAnswerNow = "C:\\ProgramData\\Corvane\\zyra-test.answer";
  static constexpr const char* kWaitingLine = "info  Waiting for ZyraHandler to provision the room";
  static constexpr const char* kLockBusy =
      "Another CorvZyraProvisionStub run is under way on this machine: waiting for it to end.";

  // How many of the handler service's messages hold part.
  long HandlerLines(const std::string& part) {
    long n = 0;
    for (const auto& line : zyra_test::MessagesOf(m->HandlerLog()))
      if (line.find(part) != std::string::npos) ++n;
    return n;
  }

  std::unique_ptr<ScenarioMachine> m;
  StubRun run;
};


}  // namespace zyra_scenarios
