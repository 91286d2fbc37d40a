// Bad input while the scheduler runs: spec files that are no jobs, and TCP clients that break
// the rules. The scheduler must keep running, run the good jobs dropped before and after,
// keep answering jsctl, and keep every bad spec file where the client put it, saying once in
// the log which file it is and why, rather than on every pass.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "errors/Exception.h"
#include "net/Tcp.h"
#include "support/RunningScheduler.h"
#include "support/SchedulerProcess.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ZelcorCorelib::Tcp;
using ZelcorCorelib::testing::waitFor;

constexpr const char* kRefused = "@jobscheduler.load.spec-refused{Spec file \"";
constexpr std::size_t kFiftyMegabytes = 50u * 1024u * 1024u;

class JobSchedulerBadInput : public RunningSchedulerTest {
 protected:
  JobSchedulerBadInput() : RunningSchedulerTest("bad-input") {}
  Outcome status() {
    return runJsctl(*sandbox, {"--port", std::to_string(sandbox->getPort()), "status"});
  }
  void expectStatusAnswers() {
    const Outcome answer = status();
    EXPECT_EQ(answer.exitCode, 0) << answer.error;
    EXPECT_NE(answer.output.find("Pending Jobs:"), std::string::npos) << answer.output;
  }
  void connectRaw(Tcp& client) {
    ASSERT_TRUE(client.connectToHost("127.0.0.1", sandbox->getPort(), "hostile", 0));
  }
  void sendText(Tcp& client, const std::string& bytes) {
    ASSERT_TRUE(client.sendRaw(bytes.data(), bytes.size()));
  }
  std::string receiveBytes(Tcp& client, std::size_t count) {
    std::string bytes(count, '\0');
    try {
      // The listener serves one client at a time: this one's turn may come a while later.
      client.haveData(20'000);
      client.recvRaw(bytes.data(), count);
    } catch (const ZelcorCorelib::Exception& failure) {
      ADD_FAILURE() << failure.toString();
    }
    return bytes;
  }
};

TEST_F(JobSchedulerBadInput, BadSpecFilesStayInPendingReportedOnceWhileGoodJobsRun) {
  expectGoodJobRuns("before");
  const fs::path good = sandbox->writeJobScript("good", 0);

  std::mt19937 random(7);
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>(random() & 0xff);
  // Millions of short records: a reader that keeps them all needs half a gigabyte.
  std::string records = "executable=" + good.string() + "\nqueue=queue_fast\n";
  while (records.size() < kFiftyMegabytes) {
    records += "k" + std::to_string(records.size()) + "=v\n";
  }
  struct Bad {
    std::string name;
    std::string text;
    std::string reason;
  };
  const std::vector<Bad> bad = {
      {"junk", junk, "it names no executable"},
      {"no-executable", "arguments=one two\nqueue=queue_fast\n", "it names no executable"},
      {"empty", "", "it names no executable"},
      {"no-separators", "this is no spec\njust words\n", "it names no executable"},
      {"missing-program", "executable=" + sandbox->path("no-such-program").string() + "\n",
       "its executable \"" + sandbox->path("no-such-program").string() + "\" does not exist"},
      {"unresolvable", "executable=" + good.string() + "\narguments=%nosuchname%/x\n",
       "cannot resolve"},
      {"records", records, "holds more than 100000 records"},
  };
  for (const Bad& file : bad) {
    writeText(pending() / ("." + file.name + ".tmp"), file.text);
    fs::rename(pending() / ("." + file.name + ".tmp"), pending() / (file.name + ".spec"));
  }
  // One 50 MB record the scheduler can carry: a job whose file is mostly filler still runs.
  const std::string filler = "executable=" + good.string() +
                             "\narguments=filler\nqueue=queue_slow\n" +
                             std::string(kFiftyMegabytes, 'x');
  writeText(pending() / ".filler.tmp", filler);
  fs::rename(pending() / ".filler.tmp", pending() / "filler.spec");

  expectGoodJobRuns("after");
  EXPECT_TRUE(waitForFileText(sandbox->jobFolder("finished/filler.spec"), "exit-status=0"))
      << log().substr(0, 20'000);
  // A few more passes over the bad files: a second good job shows they went by.
  expectGoodJobRuns("later");
  ASSERT_TRUE(scheduler->isRunning());
  expectStatusAnswers();
  const long peak = peakMemoryKb(scheduler->getPid());
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, kMemoryLimitKb) << "peak resident memory of the scheduler in kB";

  const std::string text = log();
  for (const Bad& file : bad) {
    const fs::path path = pending() / (file.name + ".spec");
    EXPECT_EQ(readText(path), file.text) << file.name << ": not kept as it was";
    const std::string refusal = kRefused + path.string() + "\" is not a job: ";
    EXPECT_EQ(occurrences(text, refusal), 1u) << file.name;
    const std::size_t line = text.find(refusal);
    if (line != std::string::npos) {
      const std::string rest = text.substr(line, text.find('\n', line) - line);
      EXPECT_NE(rest.find(file.reason), std::string::npos) << rest;
    }
  }

  // Fixed in place, a refused file is taken.
  const fs::path fixed = pending() / "no-executable.spec";
  writeText(pending() / ".fix.tmp", "executable=" + good.string() + "\narguments=fixed\n");
  fs::rename(pending() / ".fix.tmp", fixed);
  EXPECT_TRUE(waitForFileText(sandbox->jobFolder("finished/no-executable.spec"), "exit-status=0"))
      << log().substr(0, 20'000);
  EXPECT_TRUE(scheduler->isRunning());
}

TEST_F(JobSchedulerBadInput, HostileClientsCostTheListenerBoundedTimeAndControlStillAnswers) {
  expectGoodJobRuns("before");
  const auto begin = Clock::now();
  // Connects and stays silent.
  Tcp silent;
  connectRaw(silent);
  // Answers the first step of the handshake, then nothing.
  Tcp half;
  connectRaw(half);
  EXPECT_EQ(receiveBytes(half, 16), "00000000005CMD:7");
  sendText(half, "00000000005CMD:1");
  // Announces a name of 99999999999 bytes in the handshake.
  Tcp hugeName;
  connectRaw(hugeName);
  EXPECT_EQ(receiveBytes(hugeName, 16), "00000000005CMD:7");
  sendText(hugeName, "00000000005CMD:100000000001");
  EXPECT_EQ(receiveBytes(hugeName, 16), "00000000005CMD:4");
  sendText(hugeName, "99999999999");
  // Passes the handshake, then announces a huge command and one just below the bound.
  Tcp hugeCommand;
  ASSERT_TRUE(hugeCommand.connectToHost("127.0.0.1", sandbox->getPort(), "hostile", 1));
  sendText(hugeCommand, "99999999999");
  Tcp nearBound;
  ASSERT_TRUE(nearBound.connectToHost("127.0.0.1", sandbox->getPort(), "hostile", 1));
  sendText(nearBound, "00060000000");
  // Many at once, each gone as soon as it is in.
  std::vector<std::unique_ptr<Tcp>> crowd;
  for (int i = 0; i < 40; ++i) {
    crowd.push_back(std::make_unique<Tcp>());
    connectRaw(*crowd.back());
  }
  crowd.clear();

  // jsctl may meet the listener busy with one of them; it answers once their time is up.
  Outcome answer;
  EXPECT_TRUE(waitFor(
      [&] {
        answer = status();
        return answer.exitCode == 0;
      },
      std::chrono::seconds(40)))
      << answer.error << "\n"
      << log().substr(0, 20'000);
  std::printf(
      "control answered %lld ms after the first hostile client\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count()));
  EXPECT_NE(answer.output.find("Running Jobs:"), std::string::npos) << answer.output;
  ASSERT_TRUE(scheduler->isRunning());
  expectGoodJobRuns("after");
  expectStatusAnswers();
  EXPECT_LT(peakMemoryKb(scheduler->getPid()), kMemoryLimitKb);
  // Each one was refused or dropped with a line in the log.
  const std::string text = log();
  EXPECT_GE(
      occurrences(text, "@jslistener.listener.accept-fail") + occurrences(text, "Connection to "),
      5u)
      << text.substr(0, 20'000);
}

}  // namespace
}  // namespace Zelcor::e2e
