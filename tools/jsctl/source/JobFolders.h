// Jobs as the scheduler's folders show them, for jsctl show, list and log: a spec file is
// pending in the pending folder, queued in its queue's folder under the queued folder, running
// in the running folder and finished in the finished folder, and carries every stamp the
// scheduler gave it. Reads only; a folder the user may not read is named in the error.
// A job is found by its spec file's name, with or without ".spec"; the scheduler may have
// given it "<stem>.<n>.spec" on its way when the name was taken.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/KeyValueFile.h"

namespace Zelcor {

struct JobFolders {
  std::string pending;
  std::string queued;
  std::string running;
  std::string finished;
};

struct FolderJob {
  enum class State { pending, queued, running, finished };
  State state = State::pending;
  // The queue folder the file is in; for the other folders the file's "queue" key.
  std::string queue;
  std::string path;
  std::string name;
  ZelcorCorelib::KeyValueMap keys;
  // When the file was last written, in the file clock's ticks: for ordering only.
  std::int64_t modified = 0;

  // The last value of key (the scheduler's stamps come last); empty when missing.
  std::string value(const std::string& key) const;
  static const char* stateName(State state);
};

class JobBrowser {
 public:
  explicit JobBrowser(JobFolders folders) : folders(std::move(folders)) {}

  // The job of that name: a pending, queued or running one first (there is at most one of a
  // name at a time), else the finished one written last. Nothing, with error empty, when there
  // is none; with error set when a folder cannot be read.
  std::optional<FolderJob> find(const std::string& name, std::string& error) const;
  // Every running, queued and pending job, then the finishedCount finished ones written last
  // (newest first).
  std::vector<FolderJob> list(std::size_t finishedCount, std::string& error) const;

  // show: where the job is, then its spec file's lines.
  static std::string showText(const FolderJob& job);
  // list: a table with a header line, or a JSON array.
  static std::string listText(const std::vector<FolderJob>& jobs);
  static std::string listJson(const std::vector<FolderJob>& jobs);

 private:
  JobFolders folders;
};

}  // namespace Zelcor
