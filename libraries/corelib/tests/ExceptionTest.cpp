#include "errors/Exception.h"

#include <gtest/gtest.h>

namespace ZelcorCorelib {
namespace {

class AppFrameLike : public Throws {
 public:
  ZELCOR_EXCEPTION(AlreadyRunning);
};

const char* const kAlreadyRunning =
    "@appframe.init.already-running{Another instance of the application is already running - "
    "cannot start another};";

TEST(Exception, ToStringFillsPlaceholdersAfterOneBlank) {
  Exception e("@x.y.z{Value % out of range};", makeParams(7));
  EXPECT_EQ(e.toString(true), "Exception: Value 7 out of range");
  EXPECT_EQ(e.toString(false), " Value 7 out of range");
}

TEST(Exception, PlaceholdersRunOutOrAreAbsent) {
  struct Case {
    const char* message;
    ParamStream params;
    const char* expected;
  } cases[] = {
      {"@a.b.c{% and % and %};", makeParams("x", 2), " x and 2 and "},
      {"@a.b.c{100% sure};", ParamStream(), " 100% sure"},
      {"@a.b.c{Escaped \\% stays, % fills};", makeParams(true), " Escaped \\% stays, true fills"},
      {"plain", ParamStream(), " plain"},
      {"@a.b.c{Disk \"%\" full};", makeParams(std::string("C:\\temp\nx")),
       " Disk \"C:\\temp\nx\" full"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Exception(c.message, c.params).toString(false), c.expected) << c.message;
  }
}

TEST(Exception, ExtractTextFollowsTheStateTable) {
  struct Case {
    const char* message;
    const char* text;
  } cases[] = {
      {"@a.b.c{Disk \"%\" full};", "Disk \"%\" full"},
      {"@a.b.c{one} two};", "one} two"},
      {"@a.b.c{trailing brace}}};", "trailing brace}}"},
      {"plain", "plain"},
      {"@unterminated.key", ""},
      {"@k{first};@k{second};", "firstsecond"},
      {"{}}}@@;;;{", "{}}"},
      {"text @ more", "text  more"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Exception::extractText(c.message), c.text) << c.message;
}

TEST(Exception, ContainerRendersNestedOnItsOwnLine) {
  AppFrameLike::AlreadyRunning running(kAlreadyRunning, ZELCOR_HERE);
  Exception container(ZELCOR_HERE, running);
  EXPECT_EQ(container.toString(false),
            "\nAlreadyRunning: Another instance of the application is already running - cannot "
            "start another");
  EXPECT_EQ(running.getClassName(), "AlreadyRunning");
}

TEST(Exception, OneLineFormJoinsCausesAndFallsBackToTheClassName) {
  AppFrameLike::AlreadyRunning running(kAlreadyRunning, ZELCOR_HERE);
  Exception container(ZELCOR_HERE, running);
  EXPECT_EQ(container.toLine(),
            "AlreadyRunning: Another instance of the application is already running - cannot "
            "start another");
  Exception outer("@outer{Outer\r\nfailure };", ZELCOR_HERE);
  outer.addNested(running);
  EXPECT_EQ(outer.toLine(true).find('\n'), std::string::npos);
  EXPECT_EQ(outer.toLine(true).rfind("Exception: Outer  failure  AlreadyRunning: ", 0), 0u)
      << outer.toLine(true);
  EXPECT_EQ(Exception().toLine(), "Exception");
}

TEST(Exception, LogRecordsListCausesFirst) {
  AppFrameLike::AlreadyRunning running(kAlreadyRunning, ZELCOR_HERE);
  Exception container;
  container.addNested(running);
  std::vector<ExceptionRecord> records = container.logRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text,
            std::string("AlreadyRunning: ") + kAlreadyRunning + running.getLocations()[0]);
  EXPECT_EQ(records[1].text, "Exception: Container for above exceptions");

  Exception empty;
  ASSERT_EQ(empty.logRecords().size(), 1u);
  EXPECT_EQ(empty.logRecords()[0].text, "Exception: <NO MESSAGE>");
}

TEST(Exception, LogRecordsWalkDepthFirstAndKeepParameters) {
  Exception inner("@i.n.ner{inner %};", "L1", makeParams(1));
  Exception middle("L2", inner);
  middle.addNested(Exception("@s.i.b{sibling};"));
  Exception outer("@o.u.t{outer %};", makeParams("x"));
  outer.addNested(middle);
  outer.addLocation("L3");
  outer.addLocation("L4");
  std::vector<ExceptionRecord> records = outer.logRecords();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].text, "Exception: @i.n.ner{inner %};L1");
  EXPECT_EQ(records[0].parameters.size(), 1u);
  EXPECT_EQ(records[1].text, "Exception: @s.i.b{sibling};");
  EXPECT_EQ(records[2].text, "Exception: Container for above exceptions");
  EXPECT_EQ(records[3].text, "Exception: @o.u.t{outer %};L3L4");
  EXPECT_EQ(fillPlaceholders(records[3].text, records[3].parameters),
            "Exception: @o.u.t{outer x};L3L4");
}

TEST(Exception, CopiesAreIndependent) {
  Exception original("@a.b.c{text};", "first");
  original.addNested(Exception("@n.e.st{cause};"));
  Exception copy(original);
  copy.addLocation("second");
  copy.addNested(Exception("@n.e.st{other};"));
  EXPECT_EQ(original.getLocations().size(), 1u);
  EXPECT_EQ(original.getNestedExceptions().size(), 1u);
  EXPECT_EQ(copy.getLocations().size(), 2u);
  EXPECT_EQ(copy.getNestedExceptions()[0].getMessage(), "@n.e.st{cause};");
}

TEST(Exception, SourceLocationUsesTheFileNameOnly) {
  EXPECT_EQ(Exception::sourceLocation("libraries/corelib/source/ConfAgent", 42),
            " @logsrc{file=\"ConfAgent\" line=42};");
  EXPECT_EQ(Exception::sourceLocation("C:\\src\\Tcp", 7), " @logsrc{file=\"Tcp\" line=7};");
  EXPECT_EQ(Exception::sourceLocation("Plain", 0), " @logsrc{file=\"Plain\" line=0};");
  EXPECT_EQ(sourceStem("/a/b.c/Name.cpp"), "/a/b.c/Name");
  EXPECT_EQ(sourceStem("/a/b.c/Name"), "/a/b.c/Name");
  std::string here = ZELCOR_HERE;
  EXPECT_EQ(here.rfind(" @logsrc{file=\"ExceptionTest\" line=", 0), 0u) << here;
}

TEST(Exception, ThrowMacroCarriesClassMessageLocationAndValues) {
  try {
    ZELCOR_THROW(AppFrameLike::AlreadyRunning, "@a.b.c{% of %};", 3, std::string("four"));
    FAIL() << "nothing thrown";
  } catch (const Exception& e) {
    EXPECT_EQ(e.toString(true), "AlreadyRunning: 3 of four");
    ASSERT_EQ(e.getLocations().size(), 1u);
  }
  try {
    try {
      ZELCOR_THROW(AppFrameLike::AlreadyRunning, kAlreadyRunning);
    } catch (const Exception& cause) {
      ZELCOR_THROW_WRAPPED(AppFrameLike::AlreadyRunning, cause);
    }
  } catch (const AppFrameLike::AlreadyRunning& e) {
    EXPECT_TRUE(e.getMessage().empty());
    ASSERT_EQ(e.getNestedExceptions().size(), 1u);
    EXPECT_EQ(e.getNestedExceptions()[0].getClassName(), "AlreadyRunning");
  }
}

TEST(Exception, WideMessageIsUsedOnlyWhenTheNarrowOneIsEmpty) {
  Exception e;
  e.setWideMessage(u"@w.i.de{wide %};");
  Exception withParams("", makeParams(5));
  withParams.setWideMessage(u"@w.i.de{wide %};");
  EXPECT_EQ(e.toString(true), "Exception: wide %");
  EXPECT_EQ(withParams.toString(true), "Exception: wide 5");
  Exception both("@n.a.rrow{narrow};");
  both.setWideMessage(u"@w.i.de{wide};");
  EXPECT_EQ(both.toString(false), " narrow");
}

}  // namespace
}  // namespace ZelcorCorelib
