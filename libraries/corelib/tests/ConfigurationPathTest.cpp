// The whole road of a configuration value: a file on disk, the loader, the bus, the store,
// and typed reads through the configuration agent, with the real agents on the process bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bus/Logger.h"
#include "config/ConfAgent.h"
#include "config/ConfBase.h"
#include "config/ConfOldFile.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

using test::TempDir;

// From CMake rather than from __FILE__: a compiler cache with a base folder makes __FILE__
// relative to the build folder, which the test does not run in.
const std::string kExample = std::string(ZELCOR_EXAMPLES_DIR) + "/jobscheduler.conf";

std::string writeFile(const TempDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir.file(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The name of the framework exception an operation raises, or "nothing thrown".
std::string thrownClass(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const Exception& failure) {
    return failure.getClassName();
  }
  return "nothing thrown";
}

class ConfigurationPath : public ::testing::Test {
 protected:
  ConfBase base;
  ConfAgent agent;
  ConfOldFile loader;
  TempDir dir{"conf-path"};
};

TEST_F(ConfigurationPath, ExampleFileAnswersEveryKeyTheSchedulerReads) {
  loader.load(kExample, true);
  const std::vector<std::pair<std::string, std::string>> keywords = {
      {"dirs", "Zelcor.directories"},
      {"tempdir", "Zelcor.directories.temp"},
      {"maxcores", "jobscheduler.max-cores"},
      {"workdir", "jobscheduler.working-dir"},
      {"pendir", "jobscheduler.jobdir.pending-dir"},
      {"quedir", "jobscheduler.jobdir.queued-dir"},
      {"rundir", "jobscheduler.jobdir.running-dir"},
      {"findir", "jobscheduler.jobdir.finished-dir"},
      {"daily", "jobscheduler.priority-levels.daily-processing"},
      {"regen", "jobscheduler.priority-levels.regeneration"},
      {"port", "jobscheduler.port"},
      {"queues", "jobscheduler.queues"}};
  for (const auto& [keyword, path] : keywords) agent.keyword(keyword, path);

  EXPECT_EQ(agent.getDir("%tempdir%"), "/tmp");
  const std::vector<std::pair<std::string, std::string>> folders = {
      {"%workdir%", "/var/lib/jobscheduler"},
      {"%pendir%", "/var/lib/jobscheduler/pending"},
      {"%quedir%", "/var/lib/jobscheduler/queues"},
      {"%rundir%", "/var/lib/jobscheduler/running"},
      {"%findir%", "/var/lib/jobscheduler/finished"},
      {"Zelcor.directories.log", "/var/log/jobscheduler"},
      {"%dirs%.scripts", "/opt/jobscheduler/scripts"}};
  for (const auto& [path, folder] : folders) {
    EXPECT_EQ(agent.getDir(path), folder) << path;
    EXPECT_EQ(agent.getString(path), folder) << path;  // how the job directories are read
  }
  EXPECT_EQ(agent.getInt("%maxcores%"), 0);
  EXPECT_EQ(agent.getInt("%port%"), 8700);
  EXPECT_NO_THROW(agent.test("%daily%", 0, 4));
  EXPECT_NO_THROW(agent.test("%regen%", 0, 4));
  EXPECT_NO_THROW(agent.test("%port%", 0, INT64_MAX));
  EXPECT_NO_THROW(agent.test("%tempdir%", 0));

  const std::vector<std::string> queues = {"queue_urgent", "queue_normal", "queue_batch"};
  ASSERT_EQ(agent.getSubEntries("%queues%"), queues);
  const std::vector<std::pair<int, int>> limits = {{2, 4}, {0, 2}, {1, 1}};
  for (std::size_t i = 0; i < queues.size(); ++i) {
    EXPECT_EQ(agent.getInt("%queues%." + queues[i] + ".max-cores"), limits[i].first);
    EXPECT_EQ(agent.getInt("%queues%." + queues[i] + ".priority-level"), limits[i].second);
  }
  EXPECT_EQ(agent.getString("log.channels.default.severity"), "warning");
  EXPECT_EQ(agent.getInt16("JobScheduler.log.debug-level"), 0);
}

TEST_F(ConfigurationPath, TypedReadsReferencesAndMergingAcrossFiles) {
  const std::string first = writeFile(dir, "first.conf",
                                      "a(String)=\"\"{\n"
                                      "  name(String)=\"alpha\"{}\n"
                                      "  greeting(String)=\"hello ${a.name}\"{}\n"
                                      "  count(Integer)=\"12\"{}\n"
                                      "  home(DirName)=\"/srv/${a.name}/./x/..\"{}\n"
                                      "  loop(String)=\"x${a.loop}y\"{}\n"
                                      "}\n");
  loader.load(first, true);
  EXPECT_EQ(agent.getString("a.greeting"), "hello alpha");
  EXPECT_EQ(agent.getInt("a.count"), 12);
  EXPECT_EQ(agent.getDir("a.home"), "/srv/alpha");
  // The loader keeps the cycle as written; the store then reads it as its marker.
  EXPECT_EQ(agent.getString("a.loop"), ConfBase::kCircularReferenceText);
  EXPECT_EQ(thrownClass([&] { agent.getString("a.count"); }), "Query_WrongType");
  EXPECT_EQ(thrownClass([&] { agent.getDir("a.name"); }), "Query_WrongType");
  EXPECT_EQ(thrownClass([&] { agent.getString("a.missing"); }), "Query_NotFound");

  // Merged data keeps what it lacks and may refer to it, which only the store can resolve;
  // "clear-old" data replaces everything.
  {
    ConfOldFile other;
    other.load(writeFile(dir, "second.conf",
                         "a(String)=\"\"{ count(Integer)=\"13\"{} }\n"
                         "b(String)=\"\"{ ref(String)=\"${a.name}!\"{} }\n"),
               false);
  }
  EXPECT_EQ(agent.getInt("a.count"), 13);
  EXPECT_EQ(agent.getString("a.name"), "alpha");
  EXPECT_EQ(agent.getString("b.ref"), "alpha!");
  loader.load(dir.file("second.conf"), true);
  EXPECT_EQ(thrownClass([&] { agent.getString("a.name"); }), "Query_NotFound");
  EXPECT_EQ(agent.getString("b.ref"), "${a.name}!");
}

// A source of damaged variants of one valid file: cut short, lines shuffled, characters
// replaced, dropped or doubled, and random text of the grammar's characters.
class Variants {
 public:
  Variants(std::string valid, std::uint32_t seed) : valid(std::move(valid)), random(seed) {
    std::istringstream in(this->valid);
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
  }

  std::string next() {
    switch (pick(4)) {
      case 0:
        return valid.substr(0, pick(valid.size() + 1));
      case 1: {
        std::vector<std::string> mixed = lines;
        std::shuffle(mixed.begin(), mixed.end(), random);
        mixed.resize(1 + pick(mixed.size()));
        return join(mixed);
      }
      case 2: {
        std::string text = valid;
        for (std::size_t edits = 1 + pick(4); edits > 0 && !text.empty(); --edits) {
          const std::size_t at = pick(text.size());
          switch (pick(3)) {
            case 0:
              text[at] = alphabet()[pick(alphabet().size())];
              break;
            case 1:
              text.erase(at, 1 + pick(8));
              break;
            default:
              text.insert(at, text.substr(at, 1 + pick(40)));
              break;
          }
        }
        return text;
      }
      default: {
        std::string text;
        for (std::size_t n = pick(300); n > 0; --n) text += alphabet()[pick(alphabet().size())];
        return text;
      }
    }
  }

 private:
  static const std::string& alphabet() {
    // With the stream's separator byte, a NUL and a byte that is no UTF-8 on its own.
    static const std::string characters =
        "ab.(){}\"= \n\t$%/\\P1dh(String)(DirName)(TimeSpan)" + std::string("\0\x1e\xff", 3);
    return characters;
  }
  std::size_t pick(std::size_t bound) {
    return bound == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
  }
  static std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += part;
    return text;
  }

  std::string valid;
  std::vector<std::string> lines;
  std::mt19937 random;
};

TEST_F(ConfigurationPath, DamagedFilesLoadOrFailAndTheStoreKeepsItsTree) {
  const std::string valid = readFile(kExample) +
                            "extra(String)=\"${jobscheduler.port}/${extra.span}\"{\n"
                            "  span(TimeSpan)=\"1d2h\"{}\n"
                            "  file(FileName)=\"${Zelcor.directories.temp}sysinfo\"{}\n"
                            "}\n";
  const std::string validPath = writeFile(dir, "valid.conf", valid);
  loader.load(validPath, true);
  ASSERT_EQ(agent.getString("extra"), "8700/P1DT2H");
  const std::string variantPath = dir.file("variant.conf");

  auto storeStillAnswers = [&] {
    try {
      return agent.getInt("jobscheduler.port") == 8700 &&
             agent.getDir("jobscheduler.jobdir.pending-dir") == "/var/lib/jobscheduler/pending" &&
             agent.getSubEntries("jobscheduler.queues").size() == 3 &&
             agent.getString("extra") == "8700/P1DT2H";
    } catch (const Exception&) {
      return false;
    }
  };

  // Thousands of loads at the default trace level would mostly measure log records that
  // nobody receives.
  const int ceiling = getLevelCeiling();
  setLevelCeiling(kLogWarning);
  Variants variants(valid, 20240611u);
  std::mt19937 coin(7u);
  int loaded = 0;
  int failed = 0;
  const auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < 3000; ++round) {
    const std::string text = variants.next();
    writeFile(dir, "variant.conf", text);
    try {
      loader.load(variantPath, coin() % 2 == 0);
      ++loaded;
      loader.load(validPath, true);  // back to the known tree for the next round
    } catch (const Exception&) {
      ++failed;
      if (!storeStillAnswers()) {
        ADD_FAILURE() << "store lost its tree after round " << round << " with:\n" << text;
        break;
      }
    } catch (...) {
      ADD_FAILURE() << "not a framework exception in round " << round << " with:\n" << text;
      break;
    }
  }
  setLevelCeiling(ceiling);
  EXPECT_GT(loaded, 100);
  EXPECT_GT(failed, 100);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

}  // namespace
}  // namespace ZelcorCorelib
