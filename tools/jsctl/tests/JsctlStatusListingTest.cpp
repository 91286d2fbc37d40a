#include "StatusListing.h"

#include <gtest/gtest.h>

#include <string>

namespace Zelcor {
namespace {

// As the scheduler renders it: queue lines, a blank line, three headings with one block each.
const std::string kListing =
    "\tQueue:night max:2 priority:3\n"
    "\tQueue:queue_normal max:0 priority:2\n"
    "\nPending Jobs:\n"
    "\tQueue:night\n\t\t 0 jobs\n"
    "\tQueue:queue_normal\n"
    "\t\t[1] /opt/held.sh --second \"a b\"\n"
    "\t\t[2] /opt/held.sh \n"
    "Running Jobs:\n"
    "\tQueue:night\n\t\t 0 jobs\n"
    "\tQueue:queue_normal\n"
    "\t\t[1] 4711 /opt/held.sh --first\n"
    "Finished Jobs:\n"
    "\tQueue:night\n"
    "\t\t[1] /opt/quick.sh x y\n"
    "\tQueue:queue_normal\n\t\t 0 jobs\n";

TEST(StatusListing, ReadsTheSchedulersListing) {
  const StatusListing listing = StatusListing::parse(kListing);
  ASSERT_EQ(listing.getQueues().size(), 2u);
  EXPECT_EQ(listing.getQueues()[0].name, "night");
  EXPECT_EQ(listing.getQueues()[0].maxCores, 2);
  EXPECT_EQ(listing.getQueues()[0].priorityLevel, 3);
  EXPECT_EQ(listing.getQueues()[1].name, "queue_normal");
  EXPECT_EQ(listing.getQueues()[1].maxCores, 0);

  ASSERT_EQ(listing.getPending().size(), 2u);
  const ListedJob& second = listing.getPending()[0];
  EXPECT_EQ(second.queue, "queue_normal");
  EXPECT_EQ(second.number, 1u);
  EXPECT_FALSE(second.pid);
  EXPECT_EQ(second.executable, "/opt/held.sh");
  EXPECT_EQ(second.arguments, "--second \"a b\"");
  EXPECT_EQ(second.command, "/opt/held.sh --second \"a b\"");
  // No arguments: the listing still has the separating blank.
  EXPECT_EQ(listing.getPending()[1].executable, "/opt/held.sh");
  EXPECT_EQ(listing.getPending()[1].arguments, "");
  EXPECT_EQ(listing.getPending()[1].command, "/opt/held.sh");

  ASSERT_EQ(listing.getRunning().size(), 1u);
  EXPECT_EQ(listing.getRunning()[0].pid, 4711u);
  EXPECT_EQ(listing.getRunning()[0].executable, "/opt/held.sh");
  EXPECT_EQ(listing.getRunning()[0].arguments, "--first");
  ASSERT_EQ(listing.getFinished().size(), 1u);
  EXPECT_EQ(listing.getFinished()[0].queue, "night");
  EXPECT_EQ(listing.getFinished()[0].arguments, "x y");
  EXPECT_TRUE(listing.getUnparsed().empty());
}

TEST(StatusListing, OddVariantsReadTheSameAndUnknownLinesAreKept) {
  // CR LF, blanks for tabs, no blank line, headings in other case, no final line feed.
  const std::string odd =
      "  Queue:night   max:2 priority:3\r\n"
      "QUEUE:queue_normal max:0 priority:2\r\n"
      "pending jobs\r\n"
      "    Queue:queue_normal\r\n"
      "        [1]  /opt/held.sh --second\r\n"
      "RUNNING JOBS:\r\n"
      "\tQueue:queue_normal\r\n"
      "\t\t[1] 4711 /opt/held.sh --first\r\n"
      "Finished Jobs:\r\n"
      "\tQueue:night\r\n"
      "\t\t 1 job\r\n"
      "\t\t[1] /opt/quick.sh";
  const StatusListing listing = StatusListing::parse(odd);
  ASSERT_EQ(listing.getQueues().size(), 2u);
  EXPECT_EQ(listing.getQueues()[0].name, "night");
  EXPECT_EQ(listing.getQueues()[0].maxCores, 2);
  ASSERT_EQ(listing.getPending().size(), 1u);
  EXPECT_EQ(listing.getPending()[0].executable, "/opt/held.sh");
  EXPECT_EQ(listing.getPending()[0].arguments, "--second");
  ASSERT_EQ(listing.getRunning().size(), 1u);
  EXPECT_EQ(listing.getRunning()[0].pid, 4711u);
  ASSERT_EQ(listing.getFinished().size(), 1u);
  EXPECT_EQ(listing.getFinished()[0].executable, "/opt/quick.sh");
  EXPECT_TRUE(listing.getUnparsed().empty());

  // Lines that fit nowhere: a job before any heading, a running job without a pid, a
  // bracket that is never closed, plain noise.
  const StatusListing broken = StatusListing::parse(
      "\t\t[1] /early\n"
      "Running Jobs:\n"
      "\tQueue:q\n"
      "\t\t[1] /opt/no-pid.sh\n"
      "\t\t[x] 12 /opt/a\n"
      "\t\t[2 12 /opt/b\n"
      "something else\n");
  EXPECT_TRUE(broken.getRunning().empty());
  EXPECT_EQ(broken.getUnparsed(),
            (std::vector<std::string>{"\t\t[1] /early", "\t\t[1] /opt/no-pid.sh",
                                      "\t\t[x] 12 /opt/a", "\t\t[2 12 /opt/b", "something else"}));
}

TEST(StatusListing, QueueNamesAndExecutablesWithBlanks) {
  const StatusListing listing = StatusListing::parse(
      "\tQueue:my queue max:1 priority:4\n"
      "\tQueue:bare\n"
      "\tQueue:only max:3\n"
      "\nPending Jobs:\n"
      "\tQueue:my queue\n"
      "\t\t[1] \"/opt/my tools/run.sh\" -v\n"
      "\t\t[2] '/opt/x y' \n"
      "\t\t[3] /opt/my tools/run.sh -v\n"
      "Running Jobs:\nFinished Jobs:\n");
  ASSERT_EQ(listing.getQueues().size(), 3u);
  EXPECT_EQ(listing.getQueues()[0].name, "my queue");
  EXPECT_EQ(listing.getQueues()[0].priorityLevel, 4);
  EXPECT_EQ(listing.getQueues()[1].name, "bare");
  EXPECT_FALSE(listing.getQueues()[1].maxCores);
  EXPECT_EQ(listing.getQueues()[2].maxCores, 3);
  EXPECT_FALSE(listing.getQueues()[2].priorityLevel);
  ASSERT_EQ(listing.getPending().size(), 3u);
  EXPECT_EQ(listing.getPending()[0].queue, "my queue");
  EXPECT_EQ(listing.getPending()[0].executable, "\"/opt/my tools/run.sh\"");
  EXPECT_EQ(listing.getPending()[0].arguments, "-v");
  EXPECT_EQ(listing.getPending()[1].executable, "'/opt/x y'");
  EXPECT_EQ(listing.getPending()[1].arguments, "");
  // Unquoted, the split is a guess; the whole command is still there.
  EXPECT_EQ(listing.getPending()[2].executable, "/opt/my");
  EXPECT_EQ(listing.getPending()[2].command, "/opt/my tools/run.sh -v");
}

TEST(StatusListing, JsonHasEveryFieldAndEscapesWhatJsonCannotHoldRaw) {
  EXPECT_EQ(StatusListing::parse("").toJson(),
            "{\n  \"queues\": [],\n  \"pending\": [],\n  \"running\": [],\n"
            "  \"finished\": [],\n  \"unparsed\": []\n}\n");

  const std::string json = StatusListing::parse(
                               "\tQueue:q max:1 priority:2\n"
                               "\nPending Jobs:\n\tQueue:q\n"
                               "\t\t[1] /bin/echo \"a\\b\"\tc\x01 \xff\n"
                               "Running Jobs:\n\tQueue:q\n\t\t[1] 42 /bin/sleep 9\n"
                               "Finished Jobs:\n\tQueue:q\n\t\t 0 jobs\n"
                               "noise\n")
                               .toJson();
  EXPECT_EQ(json,
            "{\n"
            "  \"queues\": [\n"
            "    {\"name\": \"q\", \"max\": 1, \"priority\": 2}\n"
            "  ],\n"
            "  \"pending\": [\n"
            "    {\"queue\": \"q\", \"number\": 1, \"pid\": null, \"executable\": \"/bin/echo\", "
            "\"arguments\": \"\\\"a\\\\b\\\"\\tc\\u0001 \xEF\xBF\xBD\", \"command\": "
            "\"/bin/echo \\\"a\\\\b\\\"\\tc\\u0001 \xEF\xBF\xBD\"}\n"
            "  ],\n"
            "  \"running\": [\n"
            "    {\"queue\": \"q\", \"number\": 1, \"pid\": 42, \"executable\": \"/bin/sleep\", "
            "\"arguments\": \"9\", \"command\": \"/bin/sleep 9\"}\n"
            "  ],\n"
            "  \"finished\": [],\n"
            "  \"unparsed\": [\n"
            "    \"noise\"\n"
            "  ]\n"
            "}\n");
}

}  // namespace
}  // namespace Zelcor
