// The control client against the real scheduler, both as separate processes: PAUSE and
// RESUME, STOP while a job runs and START, other clients served while a STOP waits, the status
// listing as text and as JSON, a job handed over with "jsctl submit", and a port where nobody
// listens.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/SchedulerProcess.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::testing::waitFor;

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";

// Just enough JSON for jsctl's listing: objects, arrays, strings with the common escapes,
// numbers and the three literals. A parse error leaves the value null and sets failed.
struct Json {
  enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json& operator[](const std::string& key) const {
    static const Json missing;
    auto field = fields.find(key);
    return field == fields.end() ? missing : field->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text(text) {}

  bool parse(Json& value) {
    value = readValue();
    skipBlanks();
    return !failed && at == text.size();
  }

 private:
  void skipBlanks() {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  }
  bool take(char c) {
    skipBlanks();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  std::string readString() {
    std::string out;
    if (!take('"')) {
      failed = true;
      return out;
    }
    while (at < text.size() && text[at] != '"') {
      char c = text[at++];
      if (c == '\\' && at < text.size()) {
        const char escaped = text[at++];
        static const std::map<char, char> kEscapes = {{'n', '\n'}, {'t', '\t'},  {'r', '\r'},
                                                      {'"', '"'},  {'\\', '\\'}, {'/', '/'},
                                                      {'b', '\b'}, {'f', '\f'}};
        auto known = kEscapes.find(escaped);
        if (escaped == 'u' && at + 4 <= text.size()) {
          c = static_cast<char>(std::stoi(text.substr(at, 4), nullptr, 16));
          at += 4;
        } else if (known != kEscapes.end()) {
          c = known->second;
        } else {
          failed = true;
        }
      }
      out += c;
    }
    if (!take('"')) failed = true;
    return out;
  }
  Json readValue() {
    Json value;
    skipBlanks();
    if (at >= text.size() || failed) {
      failed = true;
    } else if (text[at] == '{') {
      value.kind = Json::Kind::object;
      ++at;
      if (take('}')) return value;
      do {
        std::string key = readString();
        if (!take(':')) failed = true;
        value.fields[key] = readValue();
      } while (!failed && take(','));
      if (!take('}')) failed = true;
    } else if (text[at] == '[') {
      value.kind = Json::Kind::array;
      ++at;
      if (take(']')) return value;
      do {
        value.items.push_back(readValue());
      } while (!failed && take(','));
      if (!take(']')) failed = true;
    } else if (text[at] == '"') {
      value.kind = Json::Kind::string;
      value.text = readString();
    } else if (text.compare(at, 4, "true") == 0 || text.compare(at, 5, "false") == 0) {
      value.kind = Json::Kind::boolean;
      at += text[at] == 't' ? 4 : 5;
    } else if (text.compare(at, 4, "null") == 0) {
      at += 4;
    } else {
      std::size_t used = 0;
      try {
        value.number = std::stod(text.substr(at, 32), &used);
        value.kind = Json::Kind::number;
      } catch (const std::exception&) {
        failed = true;
      }
      at += used;
    }
    return value;
  }

  const std::string& text;
  std::size_t at = 0;
  bool failed = false;
};

class JobSchedulerControl : public ::testing::Test {
 protected:
  void startScheduler(const std::string& name) {
    sandbox = std::make_unique<Sandbox>(name);
    sandbox->writeConfiguration();
    scheduler = std::make_unique<SchedulerProcess>(*sandbox, std::vector<std::string>{});
    ASSERT_TRUE(scheduler->started());
    ASSERT_TRUE(waitForFileText(sandbox->logFile(), kReady, kStartDeadline))
        << scheduler->standardOutput() << readText(sandbox->logFile());
  }
  Outcome jsctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(sandbox->getPort())});
    return runJsctl(*sandbox, arguments);
  }
  fs::path pending() const { return sandbox->jobFolder("pending"); }
  fs::path queued(const std::string& queue, const std::string& job) const {
    return sandbox->jobFolder("queues/" + queue + "/" + job + ".spec");
  }
  fs::path finished(const std::string& job) const {
    return sandbox->jobFolder("finished/" + job + ".spec");
  }
  void dropQuickJob(const std::string& name, const std::string& queue) {
    const fs::path script = sandbox->writeJobScript(name, 0);
    sandbox->dropJob(pending(), name, {{"executable", script.string()}, {"queue", queue}});
  }
  std::string log() const { return readText(sandbox->logFile()); }

  std::unique_ptr<Sandbox> sandbox;
  std::unique_ptr<SchedulerProcess> scheduler;
};

TEST_F(JobSchedulerControl, PauseQueuesNewJobsWithoutStartingThemAndResumeRunsThem) {
  ASSERT_NO_FATAL_FAILURE(startScheduler("ctl-pause"));
  const Outcome paused = jsctl({"pause"});
  EXPECT_EQ(paused.exitCode, 0) << paused.output << paused.error;
  EXPECT_NE(paused.output.find("waiting for the queues to pause... 0 s"), std::string::npos)
      << paused.output;
  EXPECT_NE(paused.output.find("PAUSE confirmed"), std::string::npos) << paused.output;

  dropQuickJob("p1", "queue_fast");
  dropQuickJob("p2", "queue_slow");
  ASSERT_TRUE(waitForFileText(queued("queue_fast", "p1"), "queued=")) << log();
  ASSERT_TRUE(waitForFileText(queued("queue_slow", "p2"), "queued=")) << log();
  // A job queued by a later pass shows that passes went by while p1 and p2 stayed put.
  dropQuickJob("p3", "queue_fast");
  ASSERT_TRUE(waitForFileText(queued("queue_fast", "p3"), "queued=")) << log();
  for (const char* job : {"p1", "p2", "p3"}) {
    EXPECT_FALSE(fs::exists(sandbox->path(std::string(job) + ".out"))) << job;
  }
  EXPECT_EQ(readSpec(queued("queue_fast", "p1")).count("started"), 0u);
  EXPECT_TRUE(fs::is_empty(sandbox->jobFolder("running")));
  const Outcome status = jsctl({"status"});
  ASSERT_EQ(status.exitCode, 0) << status.error;
  const std::string listing = status.output;
  const std::size_t pendingHeading = listing.find("Pending Jobs:");
  const std::size_t runningHeading = listing.find("Running Jobs:");
  ASSERT_NE(runningHeading, std::string::npos) << listing;
  const std::string pendingBlock = listing.substr(pendingHeading, runningHeading - pendingHeading);
  EXPECT_NE(pendingBlock.find(sandbox->path("p1.sh").string()), std::string::npos) << listing;
  EXPECT_NE(pendingBlock.find(sandbox->path("p2.sh").string()), std::string::npos) << listing;

  const Outcome resumed = jsctl({"resume"});
  EXPECT_EQ(resumed.exitCode, 0) << resumed.output << resumed.error;
  EXPECT_NE(resumed.output.find("RESUME confirmed"), std::string::npos) << resumed.output;
  for (const char* job : {"p1", "p2", "p3"}) {
    EXPECT_TRUE(waitForFileText(finished(job), "exit-status=0")) << job << "\n" << log();
  }
}

TEST_F(JobSchedulerControl, CancelEndsARunningJobThatIgnoresTermAndAQueuedOneNeverRuns) {
  sandbox = std::make_unique<Sandbox>("ctl-cancel");
  sandbox->writeConfiguration();
  std::string text = readText(sandbox->configurationFile());
  const std::string cores = " max-cores (Integer) = \"2\" { }\n";
  ASSERT_NE(text.find(cores), std::string::npos);
  text.replace(text.find(cores), cores.size(), cores + " kill-grace (TimeSpan) = \"1s\" { }\n");
  writeText(sandbox->configurationFile(), text);
  scheduler = std::make_unique<SchedulerProcess>(*sandbox, std::vector<std::string>{});
  ASSERT_TRUE(waitForFileText(sandbox->logFile(), kReady, kStartDeadline)) << log();
  const fs::path ready = sandbox->path("ready");
  const fs::path deaf = sandbox->path("deaf.sh");
  writeText(deaf, "#!/bin/sh\ntrap '' TERM\n: > '" + ready.string() +
                      "'\nwhile :; do sleep 0.05; done\n");
  fs::permissions(deaf, fs::perms::owner_all);
  sandbox->dropJob(pending(), "deaf", {{"executable", deaf.string()}, {"queue", "queue_slow"}});
  ASSERT_TRUE(waitFor([&] { return fs::exists(ready); }, kJobDeadline)) << log();
  // queue_slow runs one job at a time: this one waits behind the deaf one.
  dropQuickJob("later", "queue_slow");
  ASSERT_TRUE(waitForFileText(queued("queue_slow", "later"), "queued=")) << log();

  const Outcome queuedOne = jsctl({"cancel", "later"});
  EXPECT_EQ(queuedOne.exitCode, 0) << queuedOne.output << queuedOne.error;
  EXPECT_NE(queuedOne.output.find("had not started"), std::string::npos) << queuedOne.output;
  EXPECT_EQ(readSpec(finished("later")).count("started"), 0u);
  EXPECT_EQ(readSpec(finished("later")).find("end-reason")->second, "cancelled");

  const auto asked = std::chrono::steady_clock::now();
  const Outcome running = jsctl({"cancel", "deaf.spec"});
  EXPECT_EQ(running.exitCode, 0) << running.output << running.error;
  EXPECT_NE(running.output.find("SIGTERM"), std::string::npos) << running.output;
  ASSERT_TRUE(waitForFileText(finished("deaf"), "ended=")) << log();
  // Killed after the grace time of 1 s, with a second to spare for the passes.
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(3));
  const auto keys = readSpec(finished("deaf"));
  EXPECT_EQ(keys.find("end-reason")->second, "cancelled");
  EXPECT_EQ(keys.find("exit-status")->second, "137");
  EXPECT_FALSE(fs::exists(sandbox->path("later.out")));

  const Outcome unknown = jsctl({"cancel", "nobody"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.error.find("no queued or running job"), std::string::npos) << unknown.error;
  // The core came back: a new job runs.
  dropQuickJob("after", "queue_slow");
  EXPECT_TRUE(waitForFileText(finished("after"), "exit-status=0")) << log();
}

TEST_F(JobSchedulerControl, StopWaitsForTheRunningJobHoldsNewJobsAndStartReleasesThem) {
  ASSERT_NO_FATAL_FAILURE(startScheduler("ctl-stop"));
  const fs::path longScript = sandbox->writeBlockingScript("long");
  sandbox->dropJob(
      pending(), "long",
      {{"executable", longScript.string()}, {"arguments", "--hold on"}, {"queue", "queue_slow"}});
  const fs::path running = sandbox->jobFolder("running/long.spec");
  ASSERT_TRUE(waitForFileText(running, "pid=")) << log();
  ASSERT_TRUE(waitForFileText(sandbox->path("long.started"), "")) << log();
  const std::string pid = readSpec(running).find("pid")->second;

  // The listing, as text ...
  const Outcome text = jsctl({"status"});
  ASSERT_EQ(text.exitCode, 0) << text.error;
  for (const std::string& line :
       {std::string("\tQueue:queue_fast max:1 priority:4\n"),
        std::string("\tQueue:queue_normal max:0 priority:2\n"),
        std::string("\tQueue:queue_slow max:1 priority:1\n"),
        "Running Jobs:\n\tQueue:queue_fast\n\t\t 0 jobs\n\tQueue:queue_normal\n\t\t 0 jobs\n"
        "\tQueue:queue_slow\n\t\t[1] " +
            pid + " " + longScript.string() + " --hold on\n"}) {
    EXPECT_NE(text.output.find(line), std::string::npos) << line << "\n---\n" << text.output;
  }
  // ... and as JSON.
  const Outcome json = jsctl({"status", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.error;
  Json listing;
  ASSERT_TRUE(JsonReader(json.output).parse(listing)) << json.output;
  std::map<std::string, std::pair<double, double>> queues;
  for (const Json& queue : listing["queues"].items) {
    queues[queue["name"].text] = {queue["max"].number, queue["priority"].number};
  }
  const std::map<std::string, std::pair<double, double>> expectedQueues = {
      {"queue_fast", {1, 4}}, {"queue_normal", {0, 2}}, {"queue_slow", {1, 1}}};
  EXPECT_EQ(queues, expectedQueues) << json.output;
  ASSERT_EQ(listing["running"].items.size(), 1u) << json.output;
  const Json& job = listing["running"].items[0];
  EXPECT_EQ(job["queue"].text, "queue_slow");
  EXPECT_EQ(job["pid"].number, std::stod(pid));
  EXPECT_EQ(job["executable"].text, longScript.string());
  EXPECT_EQ(job["arguments"].text, "--hold on");
  EXPECT_TRUE(listing["pending"].items.empty()) << json.output;

  // STOP waits, one line a second, for as long as the job runs.
  JsctlProcess stop(*sandbox, {"--port", std::to_string(sandbox->getPort()), "stop"});
  const auto waitedASecond = [&] {
    return stop.standardOutput().find("finish... 1 s") != std::string::npos;
  };
  ASSERT_TRUE(waitFor(waitedASecond, kJobDeadline))
      << stop.standardOutput() << stop.standardError();
  EXPECT_TRUE(stop.isRunning());
  EXPECT_NE(stop.standardOutput().find("waiting for running jobs to finish... 0 s\n"),
            std::string::npos)
      << stop.standardOutput();
  dropQuickJob("held", "queue_fast");
  sandbox->release("long");
  EXPECT_EQ(stop.waitForExit(kJobDeadline), 0) << stop.standardOutput() << stop.standardError();
  EXPECT_NE(stop.standardOutput().find("STOP confirmed"), std::string::npos)
      << stop.standardOutput();
  EXPECT_TRUE(waitForFileText(finished("long"), "exit-status=0")) << log();
  // Stopped: the new job was left where the client put it.
  EXPECT_TRUE(fs::exists(pending() / "held.spec"));
  EXPECT_FALSE(fs::exists(sandbox->path("held.out")));

  const Outcome start = jsctl({"start"});
  EXPECT_EQ(start.exitCode, 0) << start.output << start.error;
  EXPECT_NE(start.output.find("START confirmed"), std::string::npos) << start.output;
  EXPECT_TRUE(waitForFileText(finished("held"), "exit-status=0")) << log();
}

TEST_F(JobSchedulerControl, AStopWaitingWhilePausedLeavesControlToOtherClients) {
  ASSERT_NO_FATAL_FAILURE(startScheduler("ctl-paused-stop"));
  const fs::path longScript = sandbox->writeBlockingScript("long");
  sandbox->dropJob(pending(), "long",
                   {{"executable", longScript.string()}, {"queue", "queue_slow"}});
  ASSERT_TRUE(waitForFileText(sandbox->path("long.started"), "")) << log();
  const std::vector<std::string> port = {"--port", std::to_string(sandbox->getPort())};

  const Outcome paused = jsctl({"pause"});
  ASSERT_EQ(paused.exitCode, 0) << paused.output << paused.error;
  std::vector<std::string> stopCommand = port;
  stopCommand.push_back("stop");
  JsctlProcess stop(*sandbox, stopCommand);
  ASSERT_TRUE(
      waitFor([&] { return stop.standardOutput().find("finish... 1 s") != std::string::npos; },
              kJobDeadline))
      << stop.standardOutput() << stop.standardError();

  // Another client is served while the STOP waits, each command within 2 s.
  for (const char* command : {"status", "resume", "status"}) {
    const auto begin = std::chrono::steady_clock::now();
    const Outcome outcome = jsctl({command});
    EXPECT_EQ(outcome.exitCode, 0) << command << ": " << outcome.output << outcome.error;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2)) << command;
  }
  EXPECT_TRUE(stop.isRunning()) << stop.standardOutput();

  sandbox->release("long");
  EXPECT_EQ(stop.waitForExit(kJobDeadline), 0) << stop.standardOutput() << stop.standardError();
  EXPECT_NE(stop.standardOutput().find("STOP confirmed"), std::string::npos)
      << stop.standardOutput();
  EXPECT_TRUE(waitForFileText(finished("long"), "exit-status=0")) << log();
}

TEST_F(JobSchedulerControl, SubmittedArgumentsReachTheJobUnchanged) {
  ASSERT_NO_FATAL_FAILURE(startScheduler("ctl-submit"));
  const fs::path script = sandbox->writeArgumentLinesScript("words");
  const std::vector<std::string> arguments = {"two words",   "say \"hi\"", "C:\\dir with blank\\",
                                              "  padded  ",  "plain",      "-c",
                                              "my file.conf"};
  std::vector<std::string> command = {"submit",    "--pending",  pending().string(),
                                      "--queue",   "queue_fast", "--name",
                                      "words-job", "--",         script.string()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const Outcome submitted = runJsctl(*sandbox, command);
  ASSERT_EQ(submitted.exitCode, 0) << submitted.output << submitted.error;
  std::string specPath = submitted.output;
  while (!specPath.empty() && specPath.back() == '\n') specPath.pop_back();
  EXPECT_EQ(fs::path(specPath).parent_path(), pending()) << specPath;
  EXPECT_EQ(fs::path(specPath).extension(), ".spec") << specPath;

  std::string expected;
  for (const std::string& argument : arguments) expected += argument + "\n";
  EXPECT_TRUE(waitForFileText(sandbox->path("words.out"), "plain")) << log();
  EXPECT_EQ(readText(sandbox->path("words.out")), expected);
  const fs::path done = sandbox->jobFolder("finished") / fs::path(specPath).filename();
  EXPECT_TRUE(waitForFileText(done, "exit-status=0")) << log();
  EXPECT_EQ(readSpec(done).find("queue")->second, "queue_fast");
}

TEST(JobSchedulerControlUnreachable, NobodyListeningGivesExitOneNamingHostAndPort) {
  Sandbox sandbox("ctl-unreachable");
  const std::string port = std::to_string(freePort());
  for (const char* command : {"status", "pause", "stop"}) {
    const Outcome outcome = runJsctl(sandbox, {"--port", port, command});
    EXPECT_EQ(outcome.exitCode, 1) << command;
    EXPECT_NE(outcome.error.find("cannot connect to the scheduler at 127.0.0.1:" + port),
              std::string::npos)
        << command << ": " << outcome.error;
    EXPECT_EQ(outcome.output, "") << command;
  }
}

}  // namespace
}  // namespace Zelcor::e2e
