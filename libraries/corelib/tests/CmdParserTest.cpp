#include "cli/CmdParser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bus/Logger.h"

namespace ZelcorCorelib {
namespace {

using Args = std::vector<std::string>;

// The frame's standard set, then the scheduler's own options.
void defineScheduler(CmdParser& parser, const std::string& version = "1.0.0",
                     const std::string& revision = "abc123") {
  parser.init("JobScheduler", version, revision, true, false, true);
  const char* const dirs[][2] = {
      {"pend", "pending"}, {"que", "queued"}, {"run", "running"}, {"fin", "finished"}};
  for (const auto& dir : dirs) {
    ASSERT_TRUE(
        parser.addOption(std::string("Specifies the base directory name of ") + dir[1] + " jobs. ",
                         CmdParser::kValue, 0, dir[0]));
  }
  ASSERT_TRUE(
      parser.addOption("Specifies maximum cores to be used. ", CmdParser::kValue, 0, "maxcores"));
  ASSERT_TRUE(parser.addOption("Skip detach of process ", CmdParser::kFlag, 0, "nodetach"));
}

// Restores the process-wide ceiling that a "debug" option changes.
class CmdParserTest : public ::testing::Test {
 protected:
  void SetUp() override { savedCeiling = getLevelCeiling(); }
  void TearDown() override { setLevelCeiling(savedCeiling); }
  int savedCeiling = 0;
};

TEST(CmdParser, UsageOfTheSchedulerIsLaidOutInColumns) {
  CmdParser parser;
  defineScheduler(parser);
  EXPECT_EQ(parser.usage(),
            "Usage: JobScheduler [options]\n"
            "Options:\n"
            "  -?\n"
            "    --help           : Display this help text\n"
            "  --version          : Display version information\n"
            "  --revision         : Display SVN revision information\n"
            "  --debug <arg>      : Set debug level\n"
            "  -c <arg>           : Specify configuration file explicitly\n"
            "  --pend <arg>       : Specifies the base directory name of pending jobs. \n"
            "  --que <arg>        : Specifies the base directory name of queued jobs. \n"
            "  --run <arg>        : Specifies the base directory name of running jobs. \n"
            "  --fin <arg>        : Specifies the base directory name of finished jobs. \n"
            "  --maxcores <arg>   : Specifies maximum cores to be used. \n"
            "  --nodetach         : Skip detach of process \n");
}

TEST(CmdParser, UsageShowsEveryKindAndWrapsAllowedValues) {
  CmdParser parser;
  parser.init("tool", "", "", false, false, false);
  ASSERT_TRUE(parser.addOption("input", CmdParser::kPositional));
  ASSERT_TRUE(parser.addOption("Talk more", CmdParser::kFlag, 'v', "verbose"));
  ASSERT_TRUE(parser.addOption("Speed", CmdParser::kChoice, 'm', "mode", {"fast", "slow"}));
  ASSERT_TRUE(parser.addOption("Level to use", CmdParser::kAssignment, 0, "level"));
  ASSERT_TRUE(parser.addOption("Run the rest", CmdParser::kRest, 'x', "exec"));
  ASSERT_TRUE(
      parser.addOption("Pen colour", CmdParser::kChoice, 0, "colour",
                       {"black", "magenta", "red", "plum", "cyan", "tan", "blue", "brown", "yellow",
                        "green", "navy", "purple", "orange", "teal", "a", "grey"}));
  ASSERT_TRUE(parser.addOption("output", CmdParser::kPositional));
  EXPECT_EQ(parser.usage(),
            "Usage: tool [options] <input> <output>\n"
            "Options:\n"
            "  -v\n"
            "    --verbose       : Talk more\n"
            "  -m <arg>\n"
            "    --mode          : Speed\n"
            "                      (One of: fast, slow)\n"
            "  level=<value>     : Level to use\n"
            "  -x <arg>\n"
            "    --exec          : Run the rest\n"
            "  --colour <arg>    : Pen colour\n"
            "                      (One of: black, magenta, red, plum, cyan, tan, blue,\n"
            "                      brown, yellow, green, navy, purple, orange, teal, a, grey)\n");

  CmdParser bare;
  EXPECT_EQ(bare.usage(), "Usage:\n");
}

TEST(CmdParser, RejectsInvalidAndClashingDefinitions) {
  CmdParser parser;
  defineScheduler(parser);
  const std::string before = parser.usage();
  struct Case {
    int kind;
    char shortChar;
    const char* longName;
    std::vector<std::string> allowed;
  };
  const Case cases[] = {
      {CmdParser::kPositional, 'p', "", {}},
      {CmdParser::kPositional, 0, "p", {}},
      {CmdParser::kPositional, 0, "", {"a"}},
      {CmdParser::kFlag, 0, "", {}},
      {CmdParser::kChoice, 'q', "", {}},
      {CmdParser::kAssignment, 'q', "q", {}},
      {CmdParser::kAssignment, 0, "a=b", {}},
      {CmdParser::kFlag, '-', "", {}},
      {6, 'q', "", {}},
      {-1, 'q', "", {}},
      {CmdParser::kValue, 0, "debug", {}},
      {CmdParser::kFlag, 'c', "", {}},
      {CmdParser::kAssignment, 0, "pend", {}},
      {CmdParser::kFlag, 'z', "help", {}},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(parser.addOption("x", c.kind, c.shortChar, c.longName, c.allowed))
        << c.kind << " " << int(c.shortChar) << " " << c.longName;
  }
  EXPECT_EQ(parser.usage(), before);
  EXPECT_FALSE(parser.isDefined('z'));
}

TEST(CmdParser, ErrorsCarryTheirOneLineText) {
  struct Case {
    Args args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "Missing executable argument"},
      {{"prog", "--debug"}, "Missing argument to 'debug' option"},
      {{"prog", "-c"}, "Missing argument to 'c' option"},
      {{"prog", "extra"}, "Too many arguments"},
      {{"prog", "--", "-c"}, "Too many arguments"},
      {{"prog", "-"}, "Too many arguments"},
      {{"prog", "=x"}, "Too many arguments"},
      {{"prog", "--debug=trace"}, "Unknown option 'debug=trace'"},
      {{"prog", "debug=trace"}, "Option 'debug' must be option=value"},
      {{"prog", "nope=1"}, "Unknown option 'nope'"},
      {{"prog", "--nope"}, "Unknown option 'nope'"},
      {{"prog", "-?z"}, "Unknown option 'z'"},
      {{"prog", "-c?", "file"},
       "Option 'c' requires argument but is located inside an "
       "options token"},
      {{"prog", "--pend", "a", "--maxcores"}, "Missing argument to 'maxcores' option"},
  };
  for (const Case& c : cases) {
    CmdParser parser;
    defineScheduler(parser);
    std::string message = "stale";
    EXPECT_FALSE(parser.parse(c.args, message)) << c.message;
    EXPECT_EQ(message, c.message);
  }
}

TEST(CmdParser, ServesHelpVersionAndRevision) {
  CmdParser parser;
  defineScheduler(parser, "2.5.1", "f00d");
  std::string message;
  ASSERT_TRUE(parser.parse(Args{"prog", "-?"}, message));
  EXPECT_EQ(message, parser.usage());
  EXPECT_TRUE(parser.isSet("help"));
  EXPECT_TRUE(parser.isSet('?'));
  EXPECT_FALSE(parser.isSet("version"));

  ASSERT_TRUE(parser.parse(Args{"prog", "--version", "--help"}, message));
  EXPECT_EQ(message, parser.usage());
  EXPECT_TRUE(parser.isSet("version"));
  ASSERT_TRUE(parser.parse(Args{"prog", "--version"}, message));
  EXPECT_EQ(message, "2.5.1");
  ASSERT_TRUE(parser.parse(Args{"prog", "--revision"}, message));
  EXPECT_EQ(message, "f00d");
  ASSERT_TRUE(parser.parse(Args{"prog"}, message));
  EXPECT_EQ(message, "");

  // main's own vector
  char prog[] = "prog";
  char option[] = "--revision";
  char* argv[] = {prog, option, nullptr};
  ASSERT_TRUE(parser.parse(2, argv, message));
  EXPECT_EQ(message, "f00d");
  EXPECT_FALSE(parser.parse(0, nullptr, message));
  EXPECT_EQ(message, "Missing executable argument");

  // Without the strings the options do not exist; a second init changes nothing.
  CmdParser plain;
  defineScheduler(plain, "", "");
  EXPECT_FALSE(plain.init("Other", "9", "9", true, true, true));
  EXPECT_FALSE(plain.parse(Args{"prog", "--version"}, message));
  EXPECT_EQ(message, "Unknown option 'version'");
  EXPECT_EQ(plain.usage().substr(0, 30), "Usage: JobScheduler [options]\n");
}

TEST(CmdParser, TakesValuesFromTheNextArgument) {
  CmdParser parser;
  defineScheduler(parser);
  std::string message;
  std::string value;
  ASSERT_TRUE(parser.parse(Args{"prog", "-?c", "my.conf", "", "--pend", "\"/a b\"", "--que", "\"",
                                "--run", "-c", "--maxcores", "1", "--maxcores", "3"},
                           message));
  EXPECT_TRUE(parser.isSet("help"));
  ASSERT_TRUE(parser.getValue('c', value));
  EXPECT_EQ(value, "my.conf");
  ASSERT_TRUE(parser.getValue("pend", value));
  EXPECT_EQ(value, "/a b");
  ASSERT_TRUE(parser.getValue("que", value));
  EXPECT_EQ(value, "\"");
  ASSERT_TRUE(parser.getValue("run", value));
  EXPECT_EQ(value, "-c");  // the next argument, even one that looks like an option
  ASSERT_TRUE(parser.getValue("maxcores", value));
  EXPECT_EQ(value, "3");  // given twice: the later one wins
  EXPECT_EQ(parser.getParsedOptions().size(), 7u);

  value = "untouched";
  EXPECT_FALSE(parser.getValue("fin", value));
  EXPECT_EQ(value, "untouched");
  EXPECT_FALSE(parser.isSet("nodetach"));
  EXPECT_FALSE(parser.isSet("nosuch"));
  EXPECT_EQ(parser.getProgramName(), "prog");
  EXPECT_EQ(parser.getArguments().size(), 14u);
}

TEST_F(CmdParserTest, DebugLevelBecomesTheCeilingDuringParse) {
  CmdParser parser;
  defineScheduler(parser);
  std::string message;
  setLevelCeiling(kLogError);
  ASSERT_TRUE(parser.parse(Args{"prog", "--debug", "trace"}, message));
  EXPECT_EQ(getLevelCeiling(), kLogTrace);
  ASSERT_TRUE(parser.parse(Args{"prog", "--debug", "\"FLOOD\""}, message));
  EXPECT_EQ(getLevelCeiling(), kLogFlood);
  // Help is served instead of the level.
  ASSERT_TRUE(parser.parse(Args{"prog", "-?", "--debug", "error"}, message));
  EXPECT_EQ(getLevelCeiling(), kLogFlood);
}

TEST(CmdParser, OtherKindsPositionalsAndExtras) {
  CmdParser parser;
  parser.init("tool", "", "", true, false, false);
  parser.addOption("in", CmdParser::kPositional);
  parser.addOption("Mode", CmdParser::kChoice, 'm', "mode", {"fast", "slow"});
  parser.addOption("Level", CmdParser::kAssignment, 0, "level");
  parser.addOption("Rest", CmdParser::kRest, 'x', "exec");
  std::string message;
  std::string value;
  ASSERT_TRUE(parser.parse(
      Args{"tool", "level=a=b", "-", "-m", "\"slow\"", "-x", "run", "--", "", "-m"}, message));
  ASSERT_TRUE(parser.getValue("level", value));
  EXPECT_EQ(value, "a=b");
  ASSERT_TRUE(parser.getValue('m', value));
  EXPECT_EQ(value, "slow");
  ASSERT_TRUE(parser.getValue("exec", value));
  EXPECT_EQ(value, "run --  -m");
  EXPECT_EQ(parser.getPositionalValues(), Args{"-"});

  EXPECT_FALSE(parser.parse(Args{"tool", "--mode", "medium"}, message));
  EXPECT_EQ(message, "Invalid argument to 'mode' option");
  EXPECT_FALSE(parser.parse(Args{"tool", "--level", "3"}, message));
  EXPECT_EQ(message, "Option 'level' must be option=value");
  // What came before the error stays recorded.
  EXPECT_FALSE(parser.parse(Args{"tool", "-?", "a", "b"}, message));
  EXPECT_EQ(message, "Too many arguments");
  EXPECT_TRUE(parser.isSet("help"));
  EXPECT_EQ(parser.getPositionalValues(), Args{"a"});
  // After "--" a second "--" is an argument.
  ASSERT_TRUE(parser.parse(Args{"tool", "--", "--"}, message));
  EXPECT_EQ(parser.getPositionalValues(), Args{"--"});

  // Accepting extras: an unknown option is an argument, including a group that began with
  // known options, which then are not recorded.
  CmdParser loose;
  loose.init("", "", "", true, true, false);
  ASSERT_TRUE(loose.parse(Args{"first", "--what", "-?z"}, message));
  EXPECT_EQ(loose.getProgramName(), "");
  EXPECT_EQ(loose.getPositionalValues(), (Args{"first", "--what", "-?z"}));
  EXPECT_FALSE(loose.isSet("help"));
  EXPECT_TRUE(loose.parse(Args{}, message));
}

TEST(CmdParser, OptionsAddedAfterAParseCountOnTheNextParse) {
  CmdParser parser;
  parser.init("JobScheduler", "1", "r", true, false, true);
  std::string message;
  const Args args{"prog", "--pend", "/p", "-c", "x.conf"};
  EXPECT_FALSE(parser.parse(args, message));
  EXPECT_EQ(message, "Unknown option 'pend'");
  EXPECT_FALSE(parser.isSet('c'));

  ASSERT_TRUE(parser.addOption("Pending", CmdParser::kValue, 0, "pend"));
  ASSERT_TRUE(parser.parse(args, message));
  std::string value;
  ASSERT_TRUE(parser.getValue("pend", value));
  EXPECT_EQ(value, "/p");
  ASSERT_TRUE(parser.parse(Args{"prog"}, message));
  EXPECT_FALSE(parser.isSet("pend"));
  EXPECT_FALSE(parser.addOption("Pending", CmdParser::kValue, 0, "pend"));
}

// A tool with command words: "tool [options] WORD [options] PROGRAM [ITS ARGUMENTS]".
TEST(CmdParser, CommandWordSyntaxIsOptInAndHandsOnTheRestUntouched) {
  CmdParser parser;
  parser.addOption("word", CmdParser::kPositional);
  parser.addOption("program", CmdParser::kPositional);
  parser.addOption("Port", CmdParser::kValue, 0, "port");
  parser.addOption("Mode", CmdParser::kChoice, 0, "mode", {"a", "b"});
  parser.addOption("Json", CmdParser::kFlag, 0, "json");
  parser.addOption("Config", CmdParser::kValue, 'c');
  std::string message;
  std::string value;

  // The defaults are the framework's: "--port=1" is a name, quotes go, empty words vanish.
  EXPECT_FALSE(parser.parse(Args{"--port=1"}, message));
  EXPECT_EQ(parser.getParseError().failure, CmdParser::Failure::kUnknownOption);
  EXPECT_EQ(parser.getParseError().name, "port=1");
  ASSERT_TRUE(parser.parse(Args{"", "run", "-c", "\"q\"", "--", "prog"}, message));
  EXPECT_EQ(parser.getPositionalValues(), (Args{"run", "prog"}));
  ASSERT_TRUE(parser.getValue('c', value));
  EXPECT_EQ(value, "q");
  EXPECT_EQ(parser.getOptionsEndPosition(), std::optional<std::size_t>(1));
  EXPECT_EQ(parser.getParseError().failure, CmdParser::Failure::kNone);

  CmdParser::Syntax syntax;
  syntax.inlineValues = true;
  syntax.keepEmptyArguments = true;
  syntax.keepQuotes = true;
  syntax.stopAfterPositionals = 2;
  parser.setSyntax(syntax);
  ASSERT_TRUE(parser.parse(
      Args{"--port=8700", "run", "--mode=b", "-c", "\"q\"", "--", "prog", "--json", "--", ""},
      message))
      << message;
  ASSERT_TRUE(parser.getValue("port", value));
  EXPECT_EQ(value, "8700");
  ASSERT_TRUE(parser.getValue("mode", value));
  EXPECT_EQ(value, "b");
  ASSERT_TRUE(parser.getValue('c', value));
  EXPECT_EQ(value, "\"q\"");
  EXPECT_FALSE(parser.isSet("json"));
  EXPECT_EQ(parser.getPositionalValues(), (Args{"run", "prog"}));
  EXPECT_EQ(parser.getRemainingArguments(), (Args{"--json", "--", ""}));
  EXPECT_EQ(parser.getOptionsEndPosition(), std::optional<std::size_t>(1));

  // The stop comes after the positional, also without "--"; an empty word is a positional.
  ASSERT_TRUE(parser.parse(Args{"", "prog", "-c"}, message));
  EXPECT_EQ(parser.getPositionalValues(), (Args{"", "prog"}));
  EXPECT_EQ(parser.getRemainingArguments(), Args{"-c"});
  EXPECT_FALSE(parser.getOptionsEndPosition());
  ASSERT_TRUE(parser.parse(Args{"--port=", "run"}, message));
  ASSERT_TRUE(parser.getValue("port", value));
  EXPECT_EQ(value, "");

  struct Case {
    Args args;
    CmdParser::Failure failure;
    const char* name;
    const char* token;
    const char* message;
  };
  const Case cases[] = {
      {{"--json=yes"},
       CmdParser::Failure::kUnexpectedValue,
       "json",
       "--json=yes",
       "Option 'json' takes no value"},
      {{"--nope=1"},
       CmdParser::Failure::kUnknownOption,
       "nope",
       "--nope=1",
       "Unknown option 'nope'"},
      {{"--mode=c"},
       CmdParser::Failure::kInvalidValue,
       "mode",
       "--mode=c",
       "Invalid argument to 'mode' option"},
      {{"--port"},
       CmdParser::Failure::kMissingValue,
       "port",
       "--port",
       "Missing argument to 'port' option"},
      {{"-cx"},
       CmdParser::Failure::kValueInsideToken,
       "c",
       "-cx",
       "Option 'c' requires argument but is located inside an options token"},
      {{"-xc"}, CmdParser::Failure::kUnknownOption, "x", "-xc", "Unknown option 'x'"},
      {{"port=1"},
       CmdParser::Failure::kNotAssignment,
       "port",
       "port=1",
       "Option 'port' must be option=value"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(parser.parse(c.args, message)) << c.message;
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(parser.getParseError().failure, c.failure) << c.message;
    EXPECT_EQ(parser.getParseError().name, c.name);
    EXPECT_EQ(parser.getParseError().token, c.token);
  }
  syntax.stopAfterPositionals = 0;
  parser.setSyntax(syntax);
  EXPECT_FALSE(parser.parse(Args{"a", "b", "c"}, message));
  EXPECT_EQ(parser.getParseError().failure, CmdParser::Failure::kTooManyArguments);
  EXPECT_EQ(parser.getParseError().token, "c");
}

}  // namespace
}  // namespace ZelcorCorelib
