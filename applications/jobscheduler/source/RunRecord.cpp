#include "RunRecord.h"

#include <charconv>
#include <string_view>

namespace Zelcor {

namespace {

template <typename Number>
Number parseNumber(std::string_view text, Number fallback) {
  Number value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
}

// Values never hold a line break: one that did would start a forged line.
void line(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += '=';
  for (char c : value) out += (c == '\n' || c == '\r') ? ' ' : c;
  out += '\n';
}

}  // namespace

std::string RunRecord::intentText() const {
  std::string out;
  line(out, "run-id", runId);
  line(out, "spec", spec);
  line(out, "queue", queue);
  line(out, "program", program);
  if (!user.empty()) line(out, "user", user);
  line(out, "boot-id", bootId);
  line(out, "started", std::to_string(started));
  return out;
}

std::string RunRecord::launchText() const {
  std::string out;
  line(out, "supervisor-pid", std::to_string(supervisorPid));
  line(out, "supervisor-start", std::to_string(supervisorStart));
  line(out, "job-pid", std::to_string(jobPid));
  line(out, "job-start", std::to_string(jobStart));
  if (!slurmJobId.empty()) line(out, "slurm-job-id", slurmJobId);
  if (!slurmCluster.empty()) line(out, "slurm-cluster", slurmCluster);
  line(out, "launched", std::to_string(launchedAt));
  return out;
}

std::string RunRecord::outcomeText() const {
  std::string out;
  line(out, "exit-status", std::to_string(exitStatus));
  line(out, "end-reason", endReason);
  if (!error.empty()) line(out, "error", error);
  if (slurmStartedAt >= 0) line(out, "slurm-started", std::to_string(slurmStartedAt));
  line(out, "ended", std::to_string(endedAt));
  return out;
}

RunRecord RunRecord::parse(const std::string& text) {
  RunRecord record;
  std::string_view rest(text);
  for (;;) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;  // a line cut short counts for nothing
    const std::string_view current = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    const std::size_t equals = current.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = current.substr(0, equals);
    const std::string_view value = current.substr(equals + 1);
    if (key == "run-id") {
      record.runId = value;
    } else if (key == "spec") {
      record.spec = value;
    } else if (key == "queue") {
      record.queue = value;
    } else if (key == "program") {
      record.program = value;
    } else if (key == "user") {
      record.user = value;
    } else if (key == "boot-id") {
      record.bootId = value;
    } else if (key == "started") {
      record.started = parseNumber<std::int64_t>(value, -1);
    } else if (key == "supervisor-pid") {
      record.supervisorPid = parseNumber<std::uint32_t>(value, 0);
    } else if (key == "supervisor-start") {
      record.supervisorStart = parseNumber<std::uint64_t>(value, 0);
    } else if (key == "job-pid") {
      record.jobPid = parseNumber<std::uint32_t>(value, 0);
    } else if (key == "job-start") {
      record.jobStart = parseNumber<std::uint64_t>(value, 0);
    } else if (key == "slurm-job-id") {
      record.slurmJobId = value;
    } else if (key == "slurm-cluster") {
      record.slurmCluster = value;
    } else if (key == "slurm-started") {
      record.slurmStartedAt = parseNumber<std::int64_t>(value, -1);
    } else if (key == "launched") {
      record.launchedAt = parseNumber<std::int64_t>(value, -1);
      record.launched = true;
    } else if (key == "exit-status") {
      record.exitStatus = parseNumber<std::int32_t>(value, -1);
    } else if (key == "end-reason") {
      record.endReason = value;
    } else if (key == "error") {
      record.error = value;
    } else if (key == "ended") {
      record.endedAt = parseNumber<std::int64_t>(value, -1);
      record.ended = true;
    }
  }
  return record;
}

bool isRunId(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    const bool ok =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace Zelcor
