#include "support/CrashLoop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <system_error>

#include "platform/Process.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::e2e {

namespace fs = std::filesystem;
namespace platform = ZelcorCorelib::platform;

namespace {

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

fs::path runsFolder(const Sandbox& sandbox) { return sandbox.path("runs"); }

// "2026-12-08T23:20:00.123" (UTC) in nanoseconds; nullopt when text is not of that form.
std::optional<std::int64_t> parseLogTime(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &year, &month, &day, &hour,
                  &minute, &second, &millis, &tail) < 7) {
    return std::nullopt;
  }
  using namespace std::chrono;
  const sys_days date =
      year_month_day{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
  const auto stamp = date + hours(hour) + minutes(minute) + seconds(second) + milliseconds(millis);
  return duration_cast<nanoseconds>(stamp.time_since_epoch()).count();
}

}  // namespace

std::int64_t wallClockNanos() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

int runShellCommand(const std::string& command) {
  platform::SpawnOptions options;
  options.inheritDescriptors = false;
  const platform::SpawnResult spawned = platform::spawnProcess("/bin/sh", {"-c", command}, options);
  if (spawned.pid <= 0) return -1;
  int code = -1;
  ZelcorCorelib::testing::waitFor(
      [&] {
        const platform::ChildStatus status = platform::pollChild(spawned.pid);
        if (status.state == platform::ChildState::running) return false;
        code = status.exitCode;
        return true;
      },
      std::chrono::milliseconds(30'000));
  return code;
}

fs::path releaseFile(const Sandbox& sandbox, const std::string& id) {
  return sandbox.path("release-" + id);
}

fs::path writeRecordingJob(const Sandbox& sandbox) {
  fs::create_directories(runsFolder(sandbox));
  const fs::path script = sandbox.path("recording-job.sh");
  const std::string runs = shellQuoted(runsFolder(sandbox).string());
  const std::string release = shellQuoted(sandbox.path("release-").string());
  // One echo per record: an append of one short line is a single write, so two runs of the
  // same job (the fault looked for) never tear each other's lines.
  writeText(script,
            "#!/bin/sh\n"
            "record=" +
                runs +
                "/\"$1\".log\n"
                "echo \"start $$ $(date +%s%N)\" >> \"$record\"\n"
                "if [ \"$2\" = hold ]; then\n"
                "  while [ ! -e " +
                release +
                "\"$1\" ]; do sleep 0.02; done\n"
                "else\n"
                "  sleep \"$2\"\n"
                "fi\n"
                "echo \"end $$ $(date +%s%N)\" >> \"$record\"\n"
                "case \"$3\" in\n"
                "  '') exit 0 ;;\n"
                "  kill) kill -KILL $$ ;;\n"
                "  *) exit \"$3\" ;;\n"
                "esac\n");
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

std::vector<JobRun> readRuns(const Sandbox& sandbox, const std::string& id) {
  std::vector<JobRun> runs;
  std::istringstream lines(readText(runsFolder(sandbox) / (id + ".log")));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string kind;
    int pid = 0;
    std::int64_t stamp = 0;
    if (!(fields >> kind >> pid >> stamp)) continue;
    if (kind == "start") {
      runs.push_back(JobRun{pid, stamp, std::nullopt});
      continue;
    }
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
      if (run->pid == pid && !run->end) {
        run->end = stamp;
        break;
      }
    }
  }
  return runs;
}

std::map<std::string, std::vector<std::string>> specCensus(const Sandbox& sandbox) {
  std::map<std::string, std::vector<std::string>> census;
  const fs::path jobs = sandbox.path("jobs");
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(jobs, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file() || it->path().extension() != ".spec") continue;
    census[it->path().filename().string()].push_back(
        it->path().parent_path().lexically_relative(jobs).string());
  }
  return census;
}

std::size_t countSpecFiles(const Sandbox& sandbox) {
  std::size_t count = 0;
  for (const auto& [name, folders] : specCensus(sandbox)) count += folders.size();
  return count;
}

std::map<int, InstanceTimeline> readTimelines(const Sandbox& sandbox) {
  std::map<int, InstanceTimeline> timelines;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(sandbox.path("log"), error)) {
    std::istringstream lines(readText(entry.path()));
    for (std::string line; std::getline(lines, line);) {
      const bool pass = line.find("QueueController::handleFinishedJobs: Handling finished jobs.") !=
                        std::string::npos;
      // Logged once every job of the running folder has been re-attached or requeued.
      const bool recovered =
          line.find("QueueController::recover: Recovering previously queued jobs.") !=
          std::string::npos;
      if (!pass && !recovered) continue;
      const std::size_t group = line.find(" (thread=");
      const std::size_t process = line.find(" process=");
      if (group == std::string::npos || process == std::string::npos || group < 23) continue;
      const auto stamp = parseLogTime(line.substr(group - 23, 23));
      if (!stamp) continue;
      const int pid = std::atoi(line.c_str() + process + 9);
      InstanceTimeline& timeline = timelines[pid];
      if (recovered) {
        timeline.recovered = *stamp;
      } else {
        timeline.passStarts.push_back(*stamp);
      }
    }
  }
  return timelines;
}

int killLeftoverJobs(const Sandbox& sandbox) {
  const std::string script = sandbox.path("recording-job.sh").string();
  int killed = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(runsFolder(sandbox), error)) {
    for (const JobRun& run : readRuns(sandbox, entry.path().stem().string())) {
      if (run.end || !platform::isProcessAlive(run.pid)) continue;
      const auto elements = platform::processCommandLine(run.pid);
      bool ours = false;
      for (std::size_t i = 0; elements && i < elements->size() && i < 2; ++i) {
        ours = ours || (*elements)[i] == script;
      }
      if (!ours) continue;
      // The job leads its own process group; its sleep goes with it.
      if (runShellCommand("kill -KILL -- -" + std::to_string(run.pid) + " 2>/dev/null") == 0) {
        ++killed;
      }
    }
  }
  return killed;
}

}  // namespace Zelcor::e2e
