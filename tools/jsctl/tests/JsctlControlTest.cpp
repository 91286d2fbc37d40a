// The control commands against a fake command port that holds the scheduler's conversation.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Jsctl.h"
#include "support/FakeScheduler.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

using test::FakeScheduler;
using Arguments = std::vector<std::string>;

const std::string kListing =
    "\tQueue:night max:2 priority:3\n"
    "\nPending Jobs:\n\tQueue:night\n\t\t[1] /opt/a.sh -x\n"
    "Running Jobs:\n\tQueue:night\n\t\t[1] 77 /opt/b.sh\n"
    "Finished Jobs:\n\tQueue:night\n\t\t 0 jobs\n";

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

Outcome runJsctl(const Arguments& arguments,
                 std::chrono::milliseconds silence = std::chrono::milliseconds(5000)) {
  std::ostringstream out, err;
  Jsctl program(out, err);
  program.setSilenceLimit(silence);
  Outcome run;
  run.exitCode = program.run(arguments);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::string portOf(const FakeScheduler& fake) { return std::to_string(fake.getPort()); }

TEST(JsctlControl, StatusPrintsTheListingAsSentAndEndsTheConversation) {
  FakeScheduler fake({kListing});
  const Outcome run = runJsctl({"--port", portOf(fake), "status"});
  EXPECT_EQ(run.exitCode, Jsctl::kExitDone) << run.err;
  EXPECT_EQ(run.out, kListing);
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(ZelcorCorelib::testing::waitFor([&] { return fake.done(); }));
  const auto records = fake.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].clientName, "jsctl");
  EXPECT_EQ(records[0].commands, std::vector<std::int32_t>{0});
  EXPECT_EQ(records[0].codes, (std::vector<std::int32_t>{10, 9}));
  EXPECT_EQ(records[0].failure, "");
}

TEST(JsctlControl, StatusAsJson) {
  FakeScheduler fake({kListing});
  const Outcome run = runJsctl({"status", "--json", "--port", portOf(fake)});
  EXPECT_EQ(run.exitCode, Jsctl::kExitDone) << run.err;
  EXPECT_NE(run.out.find("{\"name\": \"night\", \"max\": 2, \"priority\": 3}"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\"number\": 1, \"pid\": null, \"executable\": \"/opt/a.sh\", "
                         "\"arguments\": \"-x\""),
            std::string::npos);
  EXPECT_NE(run.out.find("\"pid\": 77, \"executable\": \"/opt/b.sh\", \"arguments\": \"\""),
            std::string::npos);
  EXPECT_NE(run.out.find("\"finished\": [],"), std::string::npos);
}

TEST(JsctlControl, CommandsSendTheirValueAndWaitForCodeSeven) {
  struct Case {
    const char* word;
    std::int32_t value;
    const char* waiting;  // nullptr: no waiting lines
  };
  for (const Case& c : {Case{"stop", 2, "waiting for running jobs to finish... "},
                        Case{"pause", 8, "waiting for the queues to pause... "},
                        Case{"start", 1, nullptr}, Case{"resume", 4, nullptr}}) {
    FakeScheduler::Reply reply;
    reply.workingCodes = 3;
    FakeScheduler fake(reply);
    const Outcome run = runJsctl({c.word, "--port", portOf(fake)});
    EXPECT_EQ(run.exitCode, Jsctl::kExitDone) << c.word << ": " << run.err;
    std::string expected;
    if (c.waiting) {
      for (int i = 0; i < 3; ++i) expected += std::string(c.waiting) + "0 s\n";
    }
    std::string name = c.word;
    for (char& letter : name) letter = static_cast<char>(std::toupper(letter));
    expected += name + " confirmed by the scheduler at 127.0.0.1:" + portOf(fake) + ".\n";
    EXPECT_EQ(run.out, expected);
    ASSERT_TRUE(ZelcorCorelib::testing::waitFor([&] { return fake.done(); }));
    const auto records = fake.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commands, std::vector<std::int32_t>{c.value});
    EXPECT_EQ(records[0].codes, (std::vector<std::int32_t>{10, 9}));
  }
}

TEST(JsctlControl, TimeoutGivesUpWithAClearMessage) {
  FakeScheduler::Reply reply;
  reply.workingCodes = 1;
  reply.sendDone = false;
  FakeScheduler fake(reply);
  const auto started = std::chrono::steady_clock::now();
  const Outcome run = runJsctl({"stop", "--port", portOf(fake), "--timeout", "0.3"});
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(run.exitCode, Jsctl::kExitFailed);
  EXPECT_EQ(run.out, "waiting for running jobs to finish... 0 s\n");
  EXPECT_EQ(run.err,
            "jsctl: gave up after 0.3 s waiting for the confirmation of STOP from the "
            "scheduler at 127.0.0.1:" +
                portOf(fake) + "\njsctl: the STOP request stays in effect on the scheduler.\n");
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(JsctlControl, ASchedulerThatFallsSilentOrHangsUpFails) {
  FakeScheduler::Reply silent;
  silent.silent = true;
  FakeScheduler quiet(silent);
  Outcome run = runJsctl({"status", "--port", portOf(quiet)}, std::chrono::milliseconds(200));
  EXPECT_EQ(run.exitCode, Jsctl::kExitFailed);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("the scheduler at 127.0.0.1:" + portOf(quiet) +
                         " stopped answering while the status listing was awaited"),
            std::string::npos)
      << run.err;

  FakeScheduler::Reply hangUp;
  hangUp.workingCodes = 1;
  hangUp.closeEarly = true;
  FakeScheduler early(hangUp);
  run = runJsctl({"pause", "--port", portOf(early)});
  EXPECT_EQ(run.exitCode, Jsctl::kExitFailed);
  EXPECT_NE(run.err.find("the connection to the scheduler at 127.0.0.1:" + portOf(early) +
                         " failed while the confirmation of PAUSE was awaited"),
            std::string::npos)
      << run.err;
}

TEST(JsctlControl, UnreachableOrRefusingPortsNameHostAndPort) {
  const std::string port = std::to_string(test::unusedPort());
  Outcome run = runJsctl({"status", "--port", port});
  EXPECT_EQ(run.exitCode, Jsctl::kExitFailed);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("jsctl: cannot connect to the scheduler at 127.0.0.1:" + port + ": "),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;

  run = runJsctl({"stop", "--host", "no-such-host.invalid", "--port", port});
  EXPECT_EQ(run.exitCode, Jsctl::kExitFailed);
  EXPECT_EQ(run.err,
            "jsctl: cannot resolve the host \"no-such-host.invalid\" (port " + port + ")\n");

  // A listener of the family that wants another key.
  FakeScheduler other(FakeScheduler::Reply{}, 2);
  run = runJsctl({"status", "--port", portOf(other)});
  EXPECT_EQ(run.exitCode, Jsctl::kExitFailed);
  EXPECT_NE(run.err.find("the server at 127.0.0.1:" + portOf(other) +
                         " refused the scheduler's connect protocol"),
            std::string::npos)
      << run.err;
}

class JsctlConfiguredPort : public ::testing::Test {
 protected:
  std::string writeConfiguration(const std::string& port) {
    const std::string path = folder.file("jobscheduler.conf");
    ZelcorCorelib::test::writeRaw(path,
                                  "jobscheduler (String) = \"\" {\n"
                                  "  port (NetworkPort) = \"" +
                                      port +
                                      "\" { }\n"
                                      "}\n");
    return path;
  }
  ZelcorCorelib::test::TempDir folder;
};

TEST_F(JsctlConfiguredPort, PortComesFromTheConfigurationFile) {
  FakeScheduler fake({kListing});
  const Outcome run = runJsctl({"-c", writeConfiguration(portOf(fake)), "status"});
  EXPECT_EQ(run.exitCode, Jsctl::kExitDone) << run.err;
  EXPECT_EQ(run.out, kListing);
}

TEST_F(JsctlConfiguredPort, BadConfigurationIsAUsageError) {
  const std::string missing = folder.file("missing.conf");
  Outcome run = runJsctl({"-c", missing, "status"});
  EXPECT_EQ(run.exitCode, Jsctl::kExitUsage);
  EXPECT_NE(run.err.find("cannot read the configuration file \"" + missing + "\""),
            std::string::npos)
      << run.err;

  for (const char* port : {"0", "70000", "4294967297"}) {
    run = runJsctl({"-c", writeConfiguration(port), "status"});
    EXPECT_EQ(run.exitCode, Jsctl::kExitUsage) << port;
    EXPECT_NE(run.err.find(std::string("the port at jobscheduler.port is ") + port),
              std::string::npos)
        << run.err;
  }

  const std::string portless = folder.file("portless.conf");
  ZelcorCorelib::test::writeRaw(portless, "jobscheduler (String) = \"\" { }\n");
  run = runJsctl({"-c", portless, "status"});
  EXPECT_EQ(run.exitCode, Jsctl::kExitUsage);
  EXPECT_NE(run.err.find("no port at jobscheduler.port"), std::string::npos) << run.err;

  const std::string broken = folder.file("broken.conf");
  ZelcorCorelib::test::writeRaw(broken,
                                "jobscheduler (String) = \"\" {\n  port (Integer) = \"1\" {\n");
  run = runJsctl({"-c", broken, "status"});
  EXPECT_EQ(run.exitCode, Jsctl::kExitUsage);
  EXPECT_NE(run.err.find("cannot read the configuration file"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace Zelcor
