// What jsctl writes, read back by the scheduler's own code: the arguments a job receives after
// the scheduler has read the spec file, prepared the job and split its arguments, and the
// status listing it renders, read back by jsctl.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "CorePool.h"
#include "Job.h"
#include "Jsctl.h"
#include "QueueController.h"
#include "SpecWriter.h"
#include "StatusListing.h"
#include "files/KeyValueFile.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using Arguments = std::vector<std::string>;

// The argv elements after the program name that the scheduler hands the job.
Arguments schedulerArgv(const ZelcorCorelib::KeyValueMap& spec) {
  Job job(spec);
  EXPECT_TRUE(job.loadSpec());
  Arguments argv;
  for (const std::string& entry : ChildProcess::splitArguments(job.getArguments())) {
    if (!entry.empty()) argv.push_back(ChildProcess::argvElement(entry));
  }
  return argv;
}

Arguments throughSpecFile(const std::string& folder, const Arguments& arguments) {
  SpecRequest request;
  request.executable = "/bin/true";
  request.arguments = arguments;
  const SpecResult written = SpecWriter::write(folder, request, std::chrono::system_clock::now());
  EXPECT_TRUE(written.ok) << written.error;
  ZelcorCorelib::KeyValueMap spec;
  EXPECT_TRUE(ZelcorCorelib::readKeyValueFile(written.path, spec));
  fs::remove(written.path);
  return schedulerArgv(spec);
}

TEST(SubmitRoundTrip, EveryArgumentReachesTheJobUnchanged) {
  ZelcorCorelib::test::TempDir pending;
  const std::vector<Arguments> cases = {
      {},
      {"plain", "--opt=1", "/path/to/file"},
      {"two words", "  leading", "trailing  ", "a  b"},
      {""},
      {"", "", "x", ""},
      {"say \"hi\"", "x\"y", "\"", "\"\"", "\" \""},
      {"back\\slash", "trail\\", "trail\\ x", "\\\"", "\\\\\"", "a\\\\ b", "\\"},
      {"'single'", "'a b'", "'", "it's"},
      {"\ttab", "cr\r", "\r", "vt\v", "ff\f x"},
      {"grüß dich", "日本"},
      {"-c"},
      {"-c", "a", "b.conf"},
      {"-c", "/my dir/x.conf", "-v"},
      {"p -c q r.conf x"},
      {"-c -c a b.conf", "-c", "-c", "x y.conf"},
      {" -c ", "-c x.conf"},
  };
  for (const Arguments& arguments : cases) {
    EXPECT_EQ(throughSpecFile(pending.str(), arguments), arguments)
        << "encoded: " << SpecWriter::encodeArguments(arguments);
  }
}

TEST(SubmitRoundTrip, RandomArgumentListsReachTheJobUnchanged) {
  // The bytes every rule on the way reacts to, and a few that none does.
  const std::string alphabet = " \"\\'-c.onf\t\rxA";
  constexpr int kRounds = 3000;
  std::mt19937 random(20240917);
  std::uniform_int_distribution<int> count(0, 4);
  std::uniform_int_distribution<int> length(0, 8);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (int round = 0; round < kRounds; ++round) {
    Arguments arguments(static_cast<std::size_t>(count(random)));
    for (std::string& argument : arguments) {
      for (int i = length(random); i > 0; --i) argument += alphabet[pick(random)];
    }
    const std::string encoded = SpecWriter::encodeArguments(arguments);
    const Arguments received = schedulerArgv({{"executable", "/bin/true"}, {"arguments", encoded}});
    ASSERT_EQ(received, arguments) << "round " << round << ", encoded: " << encoded;
  }
}

class SubmitToController : public ::testing::Test {
 protected:
  SubmitToController() {
    for (const char* name : {"pending", "queued", "running", "finished"}) {
      fs::create_directories(folder.file(name));
    }
    controller.setDirectories(folder.file("pending"), folder.file("queued"), folder.file("running"),
                              folder.file("finished"));
    std::string error;
    controller.setRunRecords(
        RunRecords::open(folder.file("work/runs"), JOBSCHEDULER_RUN_BINARY, error));
    EXPECT_TRUE(controller.getRunRecords()) << error;
    JobQueue night;
    night.setName("night");
    night.setMaxCores(2);
    night.setPriorityLevel(3);
    controller.addQueue(night);
    controller.initQueues();
    cores.setCores(2);
  }

  std::string submit(const Arguments& arguments) {
    std::ostringstream out, err;
    Arguments command = {"submit",  "--pending", folder.file("pending"),
                         "--queue", "night",     "--name",
                         "echo",    "--",        recorder};
    command.insert(command.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(Jsctl(out, err).run(command), Jsctl::kExitDone) << err.str();
    return out.str();
  }

  // The arguments the recorder script wrote: their count on the first line, then each one
  // followed by a NUL byte.
  Arguments recorded() const {
    const std::string bytes = ZelcorCorelib::test::readRaw(output);
    const std::size_t newline = bytes.find('\n');
    const std::size_t expected = std::stoul(bytes.substr(0, newline));
    Arguments arguments;
    std::size_t start = newline + 1;
    for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
      arguments.push_back(bytes.substr(start, end - start));
    }
    if (expected == 0) arguments.clear();  // printf writes one empty field for no arguments
    EXPECT_EQ(arguments.size(), expected);
    return arguments;
  }

  ZelcorCorelib::test::TempDir folder{"jsctl-controller"};
  const std::string output = folder.file("argv");
  const std::string recorder = [this] {
    const std::string path = folder.file("record args.sh");
    ZelcorCorelib::test::writeRaw(
        path, "#!/bin/sh\n{ printf '%s\\n' \"$#\"; printf '%s\\0' \"$@\"; } > '" + output +
                  ".tmp' && mv '" + output + ".tmp' '" + output + "'\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }();
  std::atomic<std::uint8_t> quit{0};
  CorePool cores;
  QueueController controller{&quit, cores};
};

TEST_F(SubmitToController, TheJobRunsWithTheSubmittedArgumentsAndIsListed) {
  const Arguments arguments = {"a b", "",    "say \"hi\"", "back\\slash\\", "'q'",
                               "-c",  "x y", "z.conf",     "\ttab",         "trail "};
  const std::string printed = submit(arguments);
  ASSERT_FALSE(printed.empty());
  const std::string specName = fs::path(printed.substr(0, printed.size() - 1)).filename();

  // Paused: the file is taken into its queue and listed as pending, nothing starts.
  controller.setRunFlags(QueueController::kRunFlagPaused);
  controller.runOnce();
  ASSERT_TRUE(fs::exists(folder.file("queued/night/" + specName)));
  StatusListing listing = StatusListing::parse(controller.getStatus());
  EXPECT_TRUE(listing.getUnparsed().empty());
  ASSERT_EQ(listing.getQueues().size(), 2u);
  EXPECT_EQ(listing.getQueues()[0].name, "night");
  EXPECT_EQ(listing.getQueues()[0].maxCores, 2);
  EXPECT_EQ(listing.getQueues()[0].priorityLevel, 3);
  ASSERT_EQ(listing.getPending().size(), 1u);
  EXPECT_EQ(listing.getPending()[0].queue, "night");
  EXPECT_EQ(listing.getPending()[0].number, 1u);
  // The recorder's path holds a blank, so the split of the listed command is a guess; the
  // whole command is exact.
  EXPECT_EQ(listing.getPending()[0].command,
            recorder + " " + SpecWriter::encodeArguments(arguments));

  controller.setRunFlags(0);
  ASSERT_TRUE(ZelcorCorelib::testing::waitFor([&] {
    controller.runOnce();
    return fs::exists(folder.file("finished/" + specName));
  }));
  EXPECT_EQ(recorded(), arguments);
  listing = StatusListing::parse(controller.getStatus());
  EXPECT_TRUE(listing.getPending().empty());
  EXPECT_TRUE(listing.getUnparsed().empty());
}

// The wait reads the finished folder only: the client runs beside the scheduling loop.
TEST_F(SubmitToController, SubmitWaitAndWaitExitWithTheJobsOwnStatus) {
  std::atomic<int> code{-1};
  std::ostringstream out, err;
  std::thread client([&] {
    code = Jsctl(out, err).run({"submit", "--wait", "--pending", folder.file("pending"),
                                "--finished", folder.file("finished"), "--timeout", "120", "--",
                                "/bin/sh", "-c", "exit 7"});
  });
  const bool ended = ZelcorCorelib::testing::waitFor([&] {
    controller.runOnce();
    return code.load() != -1;
  });
  client.join();
  ASSERT_TRUE(ended) << err.str();
  EXPECT_EQ(code.load(), 7) << err.str();
  EXPECT_EQ(err.str(), "");
  const std::string name = fs::path(out.str().substr(0, out.str().size() - 1)).filename();
  ASSERT_TRUE(fs::exists(folder.file("finished/" + name)));

  // Later, by name (with or without ".spec"); a job that is not there gives up when told to.
  for (const std::string& given : {name, name.substr(0, name.size() - 5)}) {
    std::ostringstream later, laterErr;
    EXPECT_EQ(Jsctl(later, laterErr)
                  .run({"wait", "--finished", folder.file("finished"), "--timeout", "5", given}),
              7)
        << laterErr.str();
  }
  std::ostringstream none, noneErr;
  EXPECT_EQ(Jsctl(none, noneErr)
                .run({"wait", "--finished", folder.file("finished"), "--timeout", "0.2", "nope"}),
            Jsctl::kExitFailed);
  EXPECT_NE(noneErr.str().find("\"nope\" is not finished after 0.2 s"), std::string::npos)
      << noneErr.str();
}

TEST_F(SubmitToController, RunningJobsAreListedWithTheirPid) {
  const std::string gate = folder.file("gate");
  const std::string held = folder.file("held.sh");
  ZelcorCorelib::test::writeRaw(held,
                                "#!/bin/sh\nwhile [ ! -e '" + gate + "' ]; do sleep 0.02; done\n");
  fs::permissions(held, fs::perms::owner_all);
  std::ostringstream out, err;
  ASSERT_EQ(Jsctl(out, err).run({"submit", "--pending", folder.file("pending"), "--", held, "x"}),
            Jsctl::kExitDone)
      << err.str();
  ASSERT_TRUE(ZelcorCorelib::testing::waitFor([&] {
    controller.runOnce();
    return controller.getRunningJobs().size() == 1;
  }));
  const std::uint32_t pid = controller.getRunningJobs().front()->getPid();
  const StatusListing listing = StatusListing::parse(controller.getStatus());
  ZelcorCorelib::test::writeRaw(gate, "");
  ASSERT_EQ(listing.getRunning().size(), 1u);
  EXPECT_EQ(listing.getRunning()[0].queue, "queue_normal");
  EXPECT_EQ(listing.getRunning()[0].pid, pid);
  EXPECT_EQ(listing.getRunning()[0].executable, held);
  EXPECT_EQ(listing.getRunning()[0].arguments, "x");
  EXPECT_NE(listing.toJson().find("\"pid\": " + std::to_string(pid)), std::string::npos);
  ASSERT_TRUE(ZelcorCorelib::testing::waitFor([&] {
    controller.runOnce();
    return controller.getRunningJobs().empty();
  }));
}

}  // namespace
}  // namespace Zelcor
