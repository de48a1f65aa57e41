#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "simulator/ClientCommand.h"

namespace {

using Kind = ClientCommand::Outcome::Kind;

bool processGone(pid_t pid) {
  for (int i = 0; i < 300; ++i) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

TEST(ClientCommand, ACommandThatEndsWithinTheGracePeriodKeepsItsOwnStatus) {
  ClientCommand command("sleep 0.2; exit 3");
  ASSERT_TRUE(command.start());
  const ClientCommand::Outcome outcome = command.finish(5000);
  EXPECT_EQ(outcome.kind, Kind::Exited);
  EXPECT_EQ(outcome.code, 3);
  EXPECT_EQ(ClientCommand::describe(outcome), "ended with status 3");
}

TEST(ClientCommand, ACommandStillRunningAfterTheGracePeriodIsStopped) {
  ClientCommand command("sleep 30");
  ASSERT_TRUE(command.start());
  EXPECT_TRUE(command.running());
  const ClientCommand::Outcome outcome = command.finish(100);
  EXPECT_EQ(outcome.kind, Kind::Stopped);
  EXPECT_FALSE(command.running());
}

TEST(ClientCommand, EverythingACompoundCommandStartedIsStopped) {
  const std::string pidFile = testing::TempDir() + "client-command-child-" + std::to_string(getpid());
  // The shell ends at once, leaving its background child behind.
  ClientCommand command("sleep 30 & echo $! > " + pidFile);
  ASSERT_TRUE(command.start());
  pid_t child = 0;
  for (int i = 0; i < 200 && child == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream(pidFile) >> child;
  }
  ASSERT_GT(child, 0);
  const ClientCommand::Outcome outcome = command.finish(300);
  EXPECT_EQ(outcome.kind, Kind::Exited);
  EXPECT_EQ(outcome.code, 0);
  EXPECT_TRUE(processGone(child)) << "the background child of the command was left running";
  std::remove(pidFile.c_str());
}

TEST(ClientCommand, ACommandThatIgnoresTheRequestIsKilled) {
  ClientCommand command("trap '' TERM; sleep 30");
  ASSERT_TRUE(command.start());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(command.finish(0).kind, Kind::Killed);
}

TEST(ClientCommand, NoCommandIsNeverStarted) {
  ClientCommand command("");
  EXPECT_FALSE(command.start());
  EXPECT_EQ(command.finish(0).kind, Kind::NotStarted);
}
