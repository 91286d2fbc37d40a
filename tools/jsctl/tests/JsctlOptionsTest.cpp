#include "JsctlOptions.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Jsctl.h"

namespace Zelcor {
namespace {

using Action = JsctlOptions::Action;
using Arguments = std::vector<std::string>;

TEST(JsctlOptions, ControlCommandsTakeTheirOptionsBeforeOrAfterTheWord) {
  JsctlOptions options;
  std::string error;
  ASSERT_TRUE(JsctlOptions::parse({"--host", "sched", "stop", "--port=8700", "--timeout", "2.5"},
                                  options, error))
      << error;
  EXPECT_EQ(options.action, Action::stop);
  EXPECT_EQ(options.host, "sched");
  EXPECT_EQ(options.port, 8700);
  EXPECT_EQ(options.timeout, std::chrono::milliseconds(2500));

  ASSERT_TRUE(JsctlOptions::parse({"-c", "/etc/js.conf", "status", "--json"}, options, error));
  EXPECT_EQ(options.action, Action::status);
  EXPECT_EQ(options.configFile, "/etc/js.conf");
  EXPECT_TRUE(options.json);
  EXPECT_EQ(options.host, "127.0.0.1");
  EXPECT_FALSE(options.timeout);
}

TEST(JsctlOptions, EverythingAfterTheExecutableBelongsToTheJob) {
  JsctlOptions options;
  std::string error;
  ASSERT_TRUE(JsctlOptions::parse(
      {"submit", "--pending", "/p", "--queue", "night", "--priority", "Very High", "--name",
       "nightly", "--", "/bin/tool", "--help", "-c", "x", "--", ""},
      options, error))
      << error;
  EXPECT_EQ(options.action, Action::submit);
  EXPECT_EQ(options.pendingDirectory, "/p");
  EXPECT_EQ(options.queue, "night");
  EXPECT_EQ(options.priority, "very high");
  EXPECT_EQ(options.name, "nightly");
  EXPECT_EQ(options.executable, "/bin/tool");
  EXPECT_EQ(options.arguments, (Arguments{"--help", "-c", "x", "--", ""}));

  // Without "--" the first word after the options is the executable.
  ASSERT_TRUE(
      JsctlOptions::parse({"submit", "-c", "/js.conf", "sleep", "--port", "1"}, options, error));
  EXPECT_EQ(options.executable, "sleep");
  EXPECT_EQ(options.arguments, (Arguments{"--port", "1"}));
  EXPECT_FALSE(options.port);

  ASSERT_TRUE(JsctlOptions::parse({"submit", "--pending", "/p", "--priority", "3", "--", "x"},
                                  options, error));
  EXPECT_EQ(options.priority, "3");
}

TEST(JsctlOptions, UsageErrorsSayWhatIsWrong) {
  const std::vector<std::pair<Arguments, std::string>> cases = {
      {{}, "no command given"},
      {{"--port", "1"}, "no command given"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"--frob", "status"}, "unknown option \"--frob\""},
      {{"-x", "status"}, "unknown option \"-x\""},
      {{"status"}, "give --port P or -c CONF"},
      {{"status", "--port", "1", "-c", "a.conf"}, "either --port or -c"},
      {{"status", "--port"}, "--port needs a value"},
      {{"status", "--port", "0"}, "from 1 to 65535, not \"0\""},
      {{"status", "--port", "65536"}, "not \"65536\""},
      {{"status", "--port", "80a"}, "not \"80a\""},
      {{"status", "--port", "1", "--port", "2"}, "--port is given twice"},
      {{"stop", "--port", "1", "--timeout", "0"}, "above 0, not \"0\""},
      {{"stop", "--port", "1", "--timeout", "-1"}, "not \"-1\""},
      {{"stop", "--port", "1", "--timeout", "soon"}, "not \"soon\""},
      {{"stop", "--port", "1", "--timeout", "nan"}, "not \"nan\""},
      {{"stop", "--port", "1", "--json"}, "--json applies to status and list only"},
      {{"status", "--port", "1", "--json=yes"}, "--json takes no value"},
      {{"status", "--port", "1", "extra"}, "unexpected argument \"extra\""},
      {{"status", "--port", "1", "--", "x"}, "\"--\" only comes before the executable"},
      {{"pause", "--port", "1", "--queue", "q"}, "--queue applies to submit only"},
      {{"submit", "--pending", "/p"}, "submit needs the executable"},
      {{"submit", "--pending", "/p", "--"}, "submit needs the executable"},
      {{"submit", "--", "x"}, "give --pending DIR or -c CONF"},
      {{"submit", "--pending", "/p", "-c", "a.conf", "--", "x"}, "either --pending or -c"},
      {{"submit", "--pending", "/p", "--port", "1", "--", "x"}, "--port applies to status"},
      {{"submit", "--pending", "/p", "--priority", "urgent", "--", "x"}, "not \"urgent\""},
      {{"submit", "--pending", "/p", "--priority", "5", "--", "x"}, "not \"5\""},
      {{"submit", "--pending", "/p", "--queue", "", "--", "x"}, "--queue needs a queue name"},
      {{"submit", "--pending=", "--", "x"}, "--pending needs a folder"},
      {{"submit", "--pending", "/p", "--timeout", "5", "--", "x"}, "only with --wait"},
      {{"submit", "--pending", "/p", "--finished", "/f", "--", "x"}, "--finished applies to"},
      {{"submit", "--pending", "/p", "--wait", "--", "x"}, "give --finished DIR or -c CONF"},
      {{"status", "--port", "1", "--wait"}, "--wait applies to submit only"},
      {{"wait", "--finished", "/f"}, "wait needs the job's spec file name"},
      {{"wait", "x"}, "give --finished DIR or -c CONF"},
      {{"wait", "--finished", "/f", "-c", "a.conf", "x"}, "either --finished or -c"},
      {{"wait", "--finished", "/f", "x", "y"}, "unexpected argument \"y\""},
      {{"wait", "--finished", "/f", "../x"}, "not a path"},
      {{"wait", "--finished", "/f", "--port", "1", "x"}, "--port applies to status"},
      {{"wait", "--finished", "/f", "--queue", "q", "x"}, "--queue applies to submit only"},
      {{"wait", "--finished", "", "x"}, "--finished needs a folder"},
      {{"cancel", "--port", "1"}, "cancel needs the job's spec file name"},
      {{"cancel", "--port", "1", "a/b"}, "not a path"},
      {{"cancel", "x"}, "give --port P or -c CONF"},
      {{"cancel", "--port", "1", "x", "y"}, "unexpected argument \"y\""},
      {{"show", "x"}, "give -c CONF"},
      {{"show", "-c", "a.conf"}, "show needs the job's spec file name"},
      {{"log", "-c", "a.conf", "-f"}, "log needs the job's spec file name"},
      {{"log", "-c", "a.conf", "../x"}, "not a path"},
      {{"show", "-c", "a.conf", "-f", "x"}, "-f applies to log only"},
      {{"show", "-c", "a.conf", "--json", "x"}, "--json applies to status and list only"},
      {{"list", "-c", "a.conf", "x"}, "unexpected argument \"x\""},
      {{"list", "-c", "a.conf", "--finished", "many"}, "not \"many\""},
      {{"list", "-c", "a.conf", "--finished", "-1"}, "not \"-1\""},
      {{"list", "--port", "1", "-c", "a.conf"}, "--port applies to status"},
      {{"log", "-c", "a.conf", "--timeout", "1", "x"}, "--timeout applies to"},
      {{"list"}, "give -c CONF"},
  };
  for (const auto& [arguments, expected] : cases) {
    JsctlOptions options;
    std::string error;
    EXPECT_FALSE(JsctlOptions::parse(arguments, options, error)) << expected;
    EXPECT_NE(error.find(expected), std::string::npos) << "got: " << error;

    // The program prints it on the error stream with a pointer to the help, and exits with 2.
    std::ostringstream out, err;
    EXPECT_EQ(Jsctl(out, err).run(arguments), Jsctl::kExitUsage) << expected;
    EXPECT_EQ(err.str(), "jsctl: " + error + "\nTry \"jsctl --help\".\n");
    EXPECT_EQ(out.str(), "");
  }
}

TEST(JsctlOptions, WaitTakesTheJobsNameAndSubmitWaitsWithItsOwnFolders) {
  JsctlOptions options;
  std::string error;
  ASSERT_TRUE(JsctlOptions::parse({"wait", "--timeout", "3", "-c", "/etc/js.conf", "nightly.spec"},
                                  options, error))
      << error;
  EXPECT_EQ(options.action, Action::wait);
  EXPECT_EQ(options.jobName, "nightly.spec");
  EXPECT_EQ(options.configFile, "/etc/js.conf");
  EXPECT_EQ(options.timeout, std::chrono::milliseconds(3000));
  ASSERT_TRUE(JsctlOptions::parse({"submit", "--wait", "--pending", "/p", "--finished", "/f", "--",
                                   "/bin/sh", "-c", "exit 7", "--wait"},
                                  options, error))
      << error;
  EXPECT_TRUE(options.wait);
  EXPECT_EQ(options.finishedDirectory, "/f");
  EXPECT_EQ(options.arguments, (Arguments{"-c", "exit 7", "--wait"}));
  EXPECT_FALSE(options.timeout);
}

TEST(JsctlOptions, ShowListAndLogReadTheFoldersOfTheConfiguration) {
  JsctlOptions options;
  std::string error;
  ASSERT_TRUE(JsctlOptions::parse({"log", "-f", "-c", "/etc/js.conf", "nightly"}, options, error))
      << error;
  EXPECT_EQ(options.action, Action::log);
  EXPECT_TRUE(options.follow);
  EXPECT_EQ(options.jobName, "nightly");
  ASSERT_TRUE(JsctlOptions::parse({"-c", "/etc/js.conf", "list", "--finished", "0", "--json"},
                                  options, error))
      << error;
  EXPECT_EQ(options.action, Action::list);
  EXPECT_EQ(options.finishedCount, 0u);
  EXPECT_TRUE(options.json);
  ASSERT_TRUE(JsctlOptions::parse({"list", "-c", "/etc/js.conf"}, options, error)) << error;
  EXPECT_EQ(options.finishedCount, 10u);
  EXPECT_FALSE(options.json);
}

TEST(JsctlOptions, HelpListsEveryCommandOptionAndExitCode) {
  for (const Arguments& arguments :
       {Arguments{"--help"}, Arguments{"-h"}, Arguments{"stop", "--help", "--bogus"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(Jsctl(out, err).run(arguments), Jsctl::kExitDone);
    EXPECT_EQ(out.str(), JsctlOptions::helpText());
    EXPECT_EQ(err.str(), "");
  }
  const std::string help = JsctlOptions::helpText();
  for (const char* word : {"status",
                           "start",
                           "stop",
                           "pause",
                           "resume",
                           "submit",
                           "--host",
                           "--port",
                           "-c CONF",
                           "--timeout",
                           "--json",
                           "--pending",
                           "--queue",
                           "--priority",
                           "--name",
                           "--help",
                           "0  done",
                           "wait",
                           "--wait",
                           "--finished",
                           "show",
                           "list",
                           "log",
                           "-f",
                           "job-output-dir",
                           "124 when its time limit",
                           "1  the scheduler",
                           "2  usage error"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace Zelcor
