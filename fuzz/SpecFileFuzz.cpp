// The spec file of a job and the key-value reader under it, fed as the scheduler takes a file
// in: the file is written into a folder the target holds open, read through SpecFile (which
// checks it and parses its records), turned into a Job, and loaded as a queue loads it, with
// "%name%" references resolved against a configuration store that holds the directories the
// scheduler's example configuration names.
// Properties: a regular file within the size limit is read unless it holds too many records;
// the records are what the key-value reader makes of the same text, from memory or from the
// file (with any of its options), and they survive being written out and read again; the job takes
// the last of duplicate keys and a priority level within range; the stamps of a job's road,
// added at the file's end or written whole, leave on disk what the scheduler holds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "Job.h"
#include "SpecFile.h"
#include "config/ConfAgent.h"
#include "config/ConfBase.h"
#include "config/ConfOldFile.h"
#include "files/KeyValueFile.h"
#include "platform/SpecFolder.h"

namespace {

using Zelcor::Job;
using Zelcor::SpecFile;
using ZelcorCorelib::KeyValueMap;

constexpr const char* kSpecName = "job.spec";

// The directories a job may name as "%name%", loaded the way the scheduler loads its own.
constexpr const char* kDirectories =
    "Zelcor (String) = \"\" {\n"
    "  directories (String) = \"\" {\n"
    "    temp (DirName) = \"/tmp\" { }\n"
    "    scripts (DirName) = \"/opt/jobscheduler/scripts\" { }\n"
    "    data (String) = \"/srv/data\" { }\n"
    "  }\n"
    "}\n";

// The store, its agent and the folder live for the whole process, like the scheduler's.
struct Setting {
  ZelcorCorelib::ConfBase store;
  ZelcorCorelib::ConfAgent agent;
  SpecFile::Folder folder;

  Setting() {
    ZelcorCorelib::ConfOldFile loader;
    loader.load(ZelcorFuzz::writeInputFile("directories.conf", kDirectories), true);
    agent.keyword("dirs", "Zelcor.directories");
    folder = ZelcorCorelib::platform::SpecFolder::open(ZelcorFuzz::inputFolder());
    ZelcorFuzz::require(folder != nullptr, "the input folder opens");
  }
};

Setting& setting() {
  static Setting instance;
  return instance;
}

void checkRecords(const SpecFile& spec, std::string_view bytes, const std::string& path) {
  KeyValueMap direct;
  ZelcorFuzz::require(ZelcorCorelib::parseKeyValueText(bytes, direct),
                      "text the spec file took parses");
  ZelcorFuzz::require(direct == spec.getRecords(), "the spec file holds what the reader reads");
  // The file reader (the sysinfo file's) reads in blocks, the text reader at once; both with
  // each of their options.
  for (const bool trimKeys : {false, true}) {
    KeyValueMap fromFile;
    KeyValueMap fromText;
    const bool readFile =
        ZelcorCorelib::readKeyValueFile(path, fromFile, '\n', '=', trimKeys, !trimKeys);
    const bool readText =
        ZelcorCorelib::parseKeyValueText(bytes, fromText, '\n', '=', trimKeys, !trimKeys);
    ZelcorFuzz::require(readFile == readText && fromFile == fromText,
                        "the file reader and the text reader agree");
  }
  KeyValueMap again;
  ZelcorFuzz::require(
      ZelcorCorelib::parseKeyValueText(ZelcorCorelib::formatKeyValueText(direct), again),
      "written records parse");
  ZelcorFuzz::require(again == direct, "records survive being written and read again");
}

void checkJob(const SpecFile& spec) {
  Job job(spec);
  ZelcorFuzz::require(job.getExecutable() == spec.lastValue("executable").value_or(""),
                      "the job runs the last executable given");
  ZelcorFuzz::require(job.getArguments() == spec.lastValue("arguments").value_or(""),
                      "the job takes the last arguments given");
  ZelcorFuzz::require(job.getPriorityLevel() >= 0 && job.getPriorityLevel() <= 4,
                      "the priority level is in range");
  (void)spec.firstValue("queue");
  Job duplicate(spec);
  if (job.loadSpec()) {
    ZelcorFuzz::require(duplicate.loadSpec() && job.isSameCommand(duplicate),
                        "the same spec loads to the same command");
    (void)job.configure();
  }

  // A stamp on the records, as the queue writes "queued" before the file is replaced.
  SpecFile stamped(spec.getRecords());
  stamped.setFirstValue("queued", "1700000000");
  ZelcorFuzz::require(stamped.firstValue("queued") == std::optional<std::string>("1700000000"),
                      "a stamp is read back first");
}

// The stamps of a job's road, on the file itself: whether a stamp is added at the file's end or
// the file rewritten, what is on disk reads back as the records the scheduler works from.
void checkStamps(const SpecFile& read, const SpecFile::Folder& folder, std::string_view bytes) {
  SpecFile spec = read;
  const std::vector<
      std::pair<std::vector<std::pair<std::string, std::string>>, std::vector<std::string>>>
      road = {{{{"queued", "1700000000"}}, {"run-id", "pid", "started", "ended", "exit-status"}},
              {{{"started", "1700000001"}, {"run-id", "r-1"}}, {"run-id"}},
              {{{"pid", "4242"}}, {}},
              {{{"exit-status", "0"}, {"ended", "1700000002"}}, {}},
              // Once more, as a job run again after a shutdown is stamped.
              {{{"started", "1700000003"}, {"run-id", "r-2"}}, {"run-id"}}};
  for (const auto& [values, dropped] : road) {
    ZelcorFuzz::require(spec.stamp(values, dropped), "a stamp is written");
    const SpecFile again = SpecFile::read(folder, kSpecName);
    if (again.getOutcome() == SpecFile::Outcome::tooManyRecords) return;
    ZelcorFuzz::require(again.isRead(), "a stamped file is read again");
    ZelcorFuzz::require(again.getRecords() == spec.getRecords(),
                        "what is on disk after a stamp is what the scheduler holds");
  }
  (void)bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ZelcorFuzz::silenceLogging();
  Setting& state = setting();
  const std::string_view bytes = ZelcorFuzz::asText(data, size);
  const std::string path = ZelcorFuzz::writeInputFile(kSpecName, bytes);

  const SpecFile spec = SpecFile::read(state.folder, kSpecName);
  if (spec.getOutcome() == SpecFile::Outcome::tooManyRecords) return 0;
  ZelcorFuzz::require(spec.isRead(), "a regular spec file within the limits is read");
  checkRecords(spec, bytes, path);
  checkJob(spec);
  checkStamps(spec, state.folder, bytes);
  return 0;
}
