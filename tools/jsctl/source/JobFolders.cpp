#include "JobFolders.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <utility>

#include "JobWait.h"
#include "JsonText.h"

namespace Zelcor {

namespace {

namespace fs = std::filesystem;
using State = FolderJob::State;

constexpr std::string_view kSuffix = ".spec";

bool isSpecName(const std::string& name) {
  return name.size() > kSuffix.size() && name.front() != '.' &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

struct Candidate {
  fs::path path;
  std::int64_t modified = 0;
};

// The plain spec files of folder whose names pass keep; false with error set when the folder
// cannot be read (a missing one holds nothing).
template <typename Keep>
bool scan(const std::string& folder, Keep keep, std::vector<Candidate>& found, std::string& error) {
  std::error_code failure;
  fs::directory_iterator entries(folder, failure);
  if (failure) {
    if (failure == std::errc::no_such_file_or_directory) return true;
    error = "cannot read the folder \"" + folder + "\": " + failure.message();
    return false;
  }
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (!isSpecName(name) || !keep(name)) continue;
    std::error_code broken;
    // Not followed: a link in a job folder is no job.
    if (!fs::is_regular_file(entry.symlink_status(broken)) || broken) continue;
    const fs::file_time_type written = fs::last_write_time(entry.path(), broken);
    if (broken) continue;
    found.push_back({entry.path(), static_cast<std::int64_t>(written.time_since_epoch().count())});
  }
  return true;
}

// Read in; nothing when the file has moved on meanwhile.
std::optional<FolderJob> load(const Candidate& candidate, State state, std::string queue) {
  FolderJob job;
  if (!ZelcorCorelib::readKeyValueFile(candidate.path.string(), job.keys)) return std::nullopt;
  job.state = state;
  job.path = candidate.path.string();
  job.name = candidate.path.filename().string();
  job.modified = candidate.modified;
  job.queue = queue.empty() ? job.value("queue") : std::move(queue);
  return job;
}

// The queue folders under the queued folder.
std::vector<std::string> queueNames(const std::string& queued, std::string& error) {
  std::vector<std::string> names;
  std::error_code failure;
  fs::directory_iterator entries(queued, failure);
  if (failure) {
    if (failure != std::errc::no_such_file_or_directory) {
      error = "cannot read the folder \"" + queued + "\": " + failure.message();
    }
    return names;
  }
  for (const fs::directory_entry& entry : entries) {
    std::error_code kind;
    if (entry.is_directory(kind) && !entry.is_symlink(kind)) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The folders of jobs not yet finished, in the order a name is looked for: running, each
// queue's, pending. Nothing, with error set, when the queues' folder cannot be read.
struct LiveFolder {
  std::string path;
  State state;
  std::string queue;
};

std::optional<std::vector<LiveFolder>> liveFolders(const JobFolders& folders, std::string& error) {
  std::vector<LiveFolder> live{{folders.running, State::running, ""}};
  for (std::string& queue : queueNames(folders.queued, error)) {
    live.push_back({folders.queued + "/" + queue, State::queued, std::move(queue)});
  }
  if (!error.empty()) return std::nullopt;
  live.push_back({folders.pending, State::pending, ""});
  return live;
}

bool writtenLater(const Candidate& a, const Candidate& b) {
  return a.modified != b.modified ? a.modified > b.modified : a.path > b.path;
}

std::string timeText(const std::string& seconds) {
  if (seconds.empty() || seconds.size() > 15 ||
      seconds.find_first_not_of("0123456789") != std::string::npos) {
    return seconds.empty() ? "-" : seconds;
  }
  const std::time_t when = static_cast<std::time_t>(std::stoll(seconds));
  std::tm local{};
  if (::localtime_r(&when, &local) == nullptr) return seconds;
  char text[32];
  return std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) > 0 ? text : seconds;
}

// A file name or value for a terminal: control characters (a line feed in a name could forge
// a line of the listing) shown as "?".
std::string printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

std::optional<long long> numberOf(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::size_t at = text[0] == '-' ? 1 : 0;
  if (at == text.size() || text.find_first_not_of("0123456789", at) != std::string::npos) {
    return std::nullopt;
  }
  return std::stoll(text);
}

}  // namespace

std::string FolderJob::value(const std::string& key) const {
  const auto [first, last] = keys.equal_range(key);
  return first == last ? std::string() : std::prev(last)->second;
}

const char* FolderJob::stateName(State state) {
  switch (state) {
    case State::pending:
      return "pending";
    case State::queued:
      return "queued";
    case State::running:
      return "running";
    case State::finished:
      return "finished";
  }
  return "";
}

std::optional<FolderJob> JobBrowser::find(const std::string& name, std::string& error) const {
  const std::string stem = JobWait::stemOf(name);
  const auto named = [&](const std::string& file) { return JobWait::isNameOf(file, stem); };
  // The exact name before the numbered ones, which may be other jobs ("x.2024" for "x").
  const std::string exact = stem + ".spec";
  // A job moving on between two folders while they are read is looked for once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::optional<std::vector<LiveFolder>> live = liveFolders(folders, error);
    if (!live) return std::nullopt;
    std::vector<Candidate> found;
    for (const LiveFolder& folder : *live) {
      found.clear();
      if (!scan(folder.path, named, found, error)) return std::nullopt;
      std::stable_partition(found.begin(), found.end(),
                            [&](const Candidate& c) { return c.path.filename() == exact; });
      for (const Candidate& candidate : found) {
        if (auto job = load(candidate, folder.state, folder.queue)) return job;
      }
    }
    found.clear();
    if (!scan(folders.finished, named, found, error)) return std::nullopt;
    // The latest of the jobs that had this name.
    std::sort(found.begin(), found.end(), writtenLater);
    for (const Candidate& candidate : found) {
      if (auto job = load(candidate, State::finished, "")) return job;
    }
  }
  return std::nullopt;
}

std::vector<FolderJob> JobBrowser::list(std::size_t finishedCount, std::string& error) const {
  std::vector<FolderJob> jobs;
  const auto all = [](const std::string&) { return true; };
  const std::optional<std::vector<LiveFolder>> live = liveFolders(folders, error);
  if (!live) return jobs;
  std::vector<Candidate> found;
  for (const LiveFolder& folder : *live) {
    found.clear();
    if (!scan(folder.path, all, found, error)) return jobs;
    std::sort(found.begin(), found.end(),
              [](const Candidate& a, const Candidate& b) { return a.path < b.path; });
    for (const Candidate& candidate : found) {
      if (auto job = load(candidate, folder.state, folder.queue)) jobs.push_back(std::move(*job));
    }
  }
  if (finishedCount == 0) return jobs;
  // Only the newest are read: the finished folder may hold a great many.
  found.clear();
  if (!scan(folders.finished, all, found, error)) return jobs;
  const std::size_t shown = std::min(finishedCount, found.size());
  std::partial_sort(found.begin(), found.begin() + static_cast<long>(shown), found.end(),
                    writtenLater);
  for (std::size_t i = 0; i < shown; ++i) {
    if (auto job = load(found[i], State::finished, "")) jobs.push_back(std::move(*job));
  }
  return jobs;
}

std::string JobBrowser::showText(const FolderJob& job) {
  std::string text = "name:  " + job.name + "\nstate: " + FolderJob::stateName(job.state) +
                     "\nqueue: " + (job.queue.empty() ? "-" : job.queue) + "\nfile:  " + job.path +
                     "\n\n";
  for (const auto& [key, value] : job.keys) {
    text += printable(key);
    text += '=';
    text += printable(value);
    text += '\n';
  }
  return text;
}

std::string JobBrowser::listText(const std::vector<FolderJob>& jobs) {
  std::vector<std::vector<std::string>> rows{
      {"STATE", "QUEUE", "NAME", "QUEUED", "STARTED", "ENDED", "EXIT", "REASON"}};
  for (const FolderJob& job : jobs) {
    const auto orDash = [](const std::string& text) {
      return text.empty() ? "-" : printable(text);
    };
    rows.push_back({FolderJob::stateName(job.state), orDash(job.queue), printable(job.name),
                    timeText(job.value("queued")), timeText(job.value("started")),
                    timeText(job.value("ended")), orDash(job.value("exit-status")),
                    orDash(job.value("end-reason"))});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, ' ');
    }
    text += line;
    text += '\n';
  }
  return text;
}

std::string JobBrowser::listJson(const std::vector<FolderJob>& jobs) {
  std::string out = "[";
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const FolderJob& job = jobs[i];
    out += i == 0 ? "\n  {" : ",\n  {";
    const auto field = [&](const char* key, const std::string& value, bool first = false) {
      out += first ? "\"" : ", \"";
      out += key;
      out += "\": ";
      appendJsonString(out, value);
    };
    const auto number = [&](const char* key) {
      out += ", \"";
      out += key;
      out += "\": ";
      appendJsonNumber(out, numberOf(job.value(key)));
    };
    field("state", FolderJob::stateName(job.state), true);
    field("queue", job.queue);
    field("name", job.name);
    field("path", job.path);
    field("created", job.value("created"));
    for (const char* key : {"queued", "started", "ended", "pid", "exit-status"}) number(key);
    field("end-reason", job.value("end-reason"));
    field("output", job.value("output"));
    field("executable", job.value("executable"));
    field("arguments", job.value("arguments"));
    out += "}";
  }
  out += jobs.empty() ? "]\n" : "\n]\n";
  return out;
}

}  // namespace Zelcor
