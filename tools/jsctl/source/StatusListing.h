// The scheduler's status listing, read back from its text into queues and jobs, for jsctl's
// --json output and for scripts that want more than the text. The listing is made for people:
// a queue line per queue ("\tQueue:<name> max:<n> priority:<n>"), then the headings
// "Pending Jobs:", "Running Jobs:" and "Finished Jobs:", each with one block per queue
// ("\tQueue:<name>", then "\t\t 0 jobs" or numbered lines "\t\t[<n>] [<pid> ]<command>").
// The reader is lenient where a text made by hand or by another version may differ (CR LF
// line ends, blanks for tabs, missing blank lines, case of the headings) and loses nothing:
// a line it cannot place is kept in getUnparsed().
// The command of a job is its executable, a blank and its arguments; an executable whose path
// holds a blank cannot be told from its arguments, so the whole text is kept as well.
// A plain value: built by parse, then only read; safe to share once built.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Zelcor {

struct ListedQueue {
  std::string name;
  std::optional<std::int64_t> maxCores;
  std::optional<std::int64_t> priorityLevel;
};

struct ListedJob {
  std::string queue;
  std::uint64_t number = 0;
  // Only running jobs show one.
  std::optional<std::uint64_t> pid;
  std::string executable;
  std::string arguments;
  // executable + " " + arguments, as listed.
  std::string command;
};

class StatusListing {
 public:
  static StatusListing parse(const std::string& text);

  // An object with the arrays "queues", "pending", "running", "finished" and "unparsed",
  // one element per line; ends with a line feed. Bytes that are not UTF-8 become U+FFFD.
  std::string toJson() const;

  const std::vector<ListedQueue>& getQueues() const { return queues; }
  const std::vector<ListedJob>& getPending() const { return pending; }
  const std::vector<ListedJob>& getRunning() const { return running; }
  const std::vector<ListedJob>& getFinished() const { return finished; }
  const std::vector<std::string>& getUnparsed() const { return unparsed; }

  // Splits a listed command at the first blank, or after a quoted executable.
  static void splitCommand(const std::string& command, std::string& executable,
                           std::string& arguments);

 private:
  enum class Section { queues, pending, running, finished };

  void parseLine(const std::string& line, Section& section, std::string& blockQueue);
  bool parseQueueDefinition(const std::string& rest);
  bool parseJob(const std::string& content, Section section, const std::string& blockQueue);

  std::vector<ListedQueue> queues;
  std::vector<ListedJob> pending;
  std::vector<ListedJob> running;
  std::vector<ListedJob> finished;
  std::vector<std::string> unparsed;
};

}  // namespace Zelcor
