#include "config/ConfNode.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <functional>
#include <limits>

#include "values/ParamStream.h"
#include "values/StringStream.h"

namespace ZelcorCorelib {
namespace {

using Handle = ConfNode::Handle;

// A node "port" of the given type and value under a root "root"; holds the root too, since a
// parent lives only as long as someone holds it.
struct Port {
  Handle root;
  Handle node;
  ConfNode* operator->() const { return node.get(); }
  ConfNode& operator*() const { return *node; }
};

Port portNode(int type, const std::string& value = "") {
  Port port{ConfNode::root(), ConfNode::factory("port", type)};
  port->setValue(value);
  port.root->addChild(port.node);
  return port;
}

template <typename Error>
std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e.getMessage();
  }
  ADD_FAILURE() << "nothing raised";
  return {};
}

void expectSameTree(const ConfNode& a, const ConfNode& b) {
  EXPECT_EQ(a.getName(), b.getName());
  EXPECT_EQ(a.getType(), b.getType()) << a.getPath();
  EXPECT_EQ(a.getValue(), b.getValue()) << a.getPath();
  EXPECT_EQ(a.getAttributes(), b.getAttributes()) << a.getPath();
  if (a.getType() == kConfList && b.getType() == kConfList) {
    EXPECT_EQ(a.getListSeparator(), b.getListSeparator());
    EXPECT_EQ(a.getList(), b.getList());
  }
  ASSERT_EQ(a.getChildOrder(), b.getChildOrder()) << a.getPath();
  for (const std::string& name : b.getChildOrder()) {
    Handle child = b.getChild(name);
    EXPECT_EQ(child->getParent().get(), &b);
    expectSameTree(*a.getChild(name), *child);
  }
}

TEST(ConfNode, TypeNamesCoverNodeAndQueryCodes) {
  const char* names[] = {
      "none",       "bool",        "int",          "uint",      "float",         "string",
      "datetime",   "time-of-day", "timezone",     "timespan",  "dir",           "file",
      "list",       "sub-entries", "undefined",    "undefined", "system string", "local int",
      "local uint", "local float", "local string", "local set"};
  for (int code = 0; code < 22; ++code) EXPECT_STREQ(confTypeName(code), names[code]) << code;
  EXPECT_STREQ(confTypeName(-1), "undefined");
  EXPECT_STREQ(confTypeName(22), "undefined");
}

TEST(ConfNode, EveryGetterNamesItsTypeAndThePathOnMismatch) {
  struct Case {
    const char* word;
    int type;
    std::function<void(const ConfNode&)> get;
  } cases[] = {
      {"bool", kConfBool, [](const ConfNode& n) { n.getBool(); }},
      {"int", kConfInt, [](const ConfNode& n) { n.getInt(); }},
      {"uint", kConfUInt, [](const ConfNode& n) { n.getUInt(); }},
      {"float", kConfFloat, [](const ConfNode& n) { n.getFloat(); }},
      {"string", kConfString, [](const ConfNode& n) { n.getString(); }},
      {"datetime", kConfDateTime, [](const ConfNode& n) { n.getDateTime(); }},
      {"time-of-day", kConfTimeOfDay, [](const ConfNode& n) { n.getTimeOfDay(); }},
      {"timezone", kConfTimeZone, [](const ConfNode& n) { n.getTimeZone(); }},
      {"timespan", kConfTimeSpan, [](const ConfNode& n) { n.getTimeSpan(); }},
      {"dir", kConfDir, [](const ConfNode& n) { n.getDir(); }},
      {"file", kConfFile, [](const ConfNode& n) { n.getFile(); }},
      {"list", kConfList, [](const ConfNode& n) { n.getList(); }},
  };
  for (const Case& c : cases) {
    // A string node for every getter but the string one, which meets an int node instead.
    const int held = c.type == kConfString ? kConfInt : kConfString;
    Port port = portNode(held, "8080");
    EXPECT_EQ(messageOf<ConfNode::Get_WrongType>([&] { c.get(*port); }),
              std::string("@conf-node.get.wrong-type{Trying to get ") + c.word +
                  " value from node root.port but this node is of type " + confTypeName(held) +
                  "};");
    Port right = portNode(c.type, "");
    EXPECT_NO_THROW(try { c.get(*right); } catch (const ConfNode::Get_InvalidValue&){}) << c.word;
  }
}

TEST(ConfNode, EverySetterRefusesOtherTypesAndKeepsTheValue) {
  struct Case {
    const char* word;
    int type;
    std::function<void(ConfNode&)> set;
  } cases[] = {
      {"bool", kConfBool, [](ConfNode& n) { n.setBool(true); }},
      {"int", kConfInt, [](ConfNode& n) { n.setInt(1); }},
      {"uint", kConfUInt, [](ConfNode& n) { n.setUInt(1); }},
      {"float", kConfFloat, [](ConfNode& n) { n.setFloat(1); }},
      {"string", kConfString, [](ConfNode& n) { n.setString("x"); }},
      {"timezone", kConfTimeZone, [](ConfNode& n) { n.setTimeZone(TimeZone()); }},
      {"timespan", kConfTimeSpan, [](ConfNode& n) { n.setTimeSpan(TimeSpan()); }},
      {"dir", kConfDir, [](ConfNode& n) { n.setDir("x"); }},
      {"file", kConfFile, [](ConfNode& n) { n.setFile("x"); }},
      {"list", kConfList, [](ConfNode& n) { n.setList("a,b", ','); }},
      {"list", kConfList, [](ConfNode& n) { n.setList(std::vector<std::string>{"a"}, ','); }},
  };
  for (const Case& c : cases) {
    for (int held :
         {kConfNone, kConfDateTime, kConfTimeOfDay, c.type == kConfBool ? kConfInt : kConfBool}) {
      Port port = portNode(held, "kept");
      EXPECT_EQ(messageOf<ConfNode::Set_WrongType>([&] { c.set(*port); }),
                std::string("@conf-node.set.wrong-type{Trying to set ") + c.word +
                    " value in node root.port but this node is of type " + confTypeName(held) +
                    "};");
      EXPECT_EQ(port->getValue(), "kept");
      EXPECT_EQ(port->getType(), held);
    }
    Port right = portNode(c.type);
    EXPECT_NO_THROW(c.set(*right)) << c.word;
    EXPECT_EQ(right->getType(), c.type);
  }
}

TEST(ConfNode, ScalarTextsReadByTheDocumentedRules) {
  for (const char* yes : {"true", "yes", "on", "active", "ok"})
    EXPECT_TRUE(portNode(kConfBool, yes)->getBool()) << yes;
  for (const char* no : {"True", "YES", " true", "1", "", "false", "oK"})
    EXPECT_FALSE(portNode(kConfBool, no)->getBool()) << no;

  const std::pair<const char*, std::int64_t> ints[] = {{"-12abc", -12},
                                                       {"abc", 0},
                                                       {"-", 0},
                                                       {"", 0},
                                                       {"+5", 0},
                                                       {" 5", 0},
                                                       {"007", 7},
                                                       {"9223372036854775807", INT64_MAX},
                                                       {"9223372036854775808", INT64_MIN},
                                                       {"-9223372036854775808", INT64_MIN},
                                                       {"18446744073709551617", 1}};
  for (const auto& [text, expected] : ints)
    EXPECT_EQ(portNode(kConfInt, text)->getInt(), expected) << text;

  const std::pair<const char*, std::uint64_t> uints[] = {
      {"-5", 0}, {"12x", 12}, {"18446744073709551615", UINT64_MAX}, {"18446744073709551616", 0}};
  for (const auto& [text, expected] : uints)
    EXPECT_EQ(portNode(kConfUInt, text)->getUInt(), expected) << text;

  const std::pair<const char*, double> floats[] = {{"1.5", 1.5},       {"  2.5e3xyz", 2500.0},
                                                   {"abc", 0.0},       {"", 0.0},
                                                   {"1e999", DBL_MAX}, {"-1e999", -DBL_MAX}};
  for (const auto& [text, expected] : floats)
    EXPECT_EQ(portNode(kConfFloat, text)->getFloat(), expected) << text;
}

TEST(ConfNode, DirAndFileGettersGiveSlashPaths) {
  const std::pair<const char*, const char*> dirs[] = {{"D:/jobs/temp//", "D:/jobs/temp"},
                                                      {"C:\\jobs\\\\", "C:/jobs"},
                                                      {"\\\\server\\share\\", "//server/share"},
                                                      {"a//b/", "a//b"},
                                                      {"/", "/"},
                                                      {"\\\\", "/"},
                                                      {"", ""},
                                                      {"rel", "rel"}};
  for (const auto& [text, expected] : dirs)
    EXPECT_EQ(portNode(kConfDir, text)->getDir(), expected) << text;
  const std::pair<const char*, const char*> files[] = {
      {"C:\\a\\b.txt", "C:/a/b.txt"}, {"a//b/", "a//b/"}, {"\\", "/"}};
  for (const auto& [text, expected] : files)
    EXPECT_EQ(portNode(kConfFile, text)->getFile(), expected) << text;

  Port dir = portNode(kConfDir);
  dir->setDir("C:\\x\\");
  EXPECT_EQ(dir->getValue(), "C:\\x\\");  // written as given, converted only on reading
}

TEST(ConfNode, SettersWriteTextsThatReadBack) {
  Port n = portNode(kConfInt);
  n->setInt(INT64_MIN);
  EXPECT_EQ(n->getValue(), "-9223372036854775808");
  EXPECT_EQ(n->getInt(), INT64_MIN);
  n = portNode(kConfUInt);
  n->setUInt(0);
  EXPECT_EQ(n->getValue(), "0");
  n = portNode(kConfBool, "yes");
  n->setBool(false);
  EXPECT_EQ(n->getValue(), "false");
  n = portNode(kConfFloat);
  n->setFloat(-0.125);
  EXPECT_EQ(n->getFloat(), -0.125);
  n = portNode(kConfTimeZone);
  const TimeZone zone(-5'400'000);
  n->setTimeZone(zone);
  EXPECT_EQ(n->getValue(), "-01:30");
  EXPECT_EQ(n->getTimeZone(), zone);
  n = portNode(kConfTimeSpan);
  const TimeSpan span(1, 2, 273'906'500);
  n->setTimeSpan(span);
  EXPECT_EQ(n->getTimeSpan(), span);
}

TEST(ConfNode, ListsSplitAndJoinAtTheirSeparator) {
  struct Case {
    std::string text;
    char separator;
    std::vector<std::string> items;
    std::string rendered;
  } cases[] = {
      {"a,b,", ',', {"a", "b"}, "a,b"},
      {"a,,b", ',', {"a", "", "b"}, "a,,b"},
      {"", ',', {}, ""},
      {",", ',', {""}, ""},
      {",b", ',', {"", "b"}, "b"},  // no leading separator for an empty first item
      {"x\ny\n", '\n', {"x", "y"}, "x\ny"},
  };
  for (const Case& c : cases) {
    Port list = portNode(kConfList);
    list->setList(c.text, c.separator);
    EXPECT_EQ(list->getList(), c.items) << c.text;
    EXPECT_EQ(list->valueAsText(), c.rendered) << c.text;
  }
  Port list = portNode(kConfList);
  EXPECT_EQ(list->getListSeparator(), '\n');
  list->setList(std::vector<std::string>{"p", "", "q"}, ';');
  EXPECT_EQ(list->valueAsText(), "p;;q");
}

TEST(ConfNode, ValueAsTextRendersTheTypedValue) {
  struct Case {
    int type;
    const char* value;
    const char* text;
  } cases[] = {
      {kConfNone, "x", ""},
      {kConfSubEntries, "x", ""},
      {99, "x", ""},
      {kConfBool, "yes", "true"},
      {kConfInt, "-12abc", "-12"},
      {kConfUInt, "-5", "0"},
      {kConfFloat, "1.50", "1.5"},
      {kConfString, "a\\b", "a\\b"},
      {kConfDateTime, "2016-06-02T03:46:28.5Z", "2016-06-02T03:46:28.500Z"},
      {kConfDateTime, "2016-06-02 05:46:28+02:00", "2016-06-02T05:46:28.000+02:00"},
      {kConfDateTime, "garbage", "garbage"},
      {kConfTimeOfDay, "08:30:15", "08:30:15"},
      {kConfTimeOfDay, "08:30:15+05:00", "08:30:15"},
      {kConfTimeZone, "+0130", "+01:30"},
      {kConfTimeSpan, "P1Y2M3DT4H5M6.5S", "P1Y2M3DT4H5M6.5S"},
      {kConfDir, "D:/jobs/", "D:/jobs"},
      {kConfFile, "D:\\jobs\\", "D:/jobs/"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(portNode(c.type, c.value)->valueAsText(), c.text) << c.value;
}

TEST(ConfNode, UnparsableTimeValuesRaiseInvalidValue) {
  EXPECT_EQ(
      messageOf<ConfNode::Get_InvalidValue>([] { portNode(kConfDateTime, "soon")->getDateTime(); }),
      "@conf-node.get.invalid-value{Value \"%\" of node % is not a valid % value};");
  EXPECT_THROW(portNode(kConfTimeOfDay, "25:61:00")->getTimeOfDay(), ConfNode::Get_InvalidValue);
  EXPECT_THROW(portNode(kConfTimeZone, "nowhere")->getTimeZone(), ConfNode::Get_InvalidValue);
  try {
    portNode(kConfTimeZone, "nowhere")->getTimeZone();
  } catch (const ConfNode::Get_InvalidValue& e) {
    EXPECT_EQ(e.toString(false),
              " Value \"nowhere\" of node root.port is not a valid timezone value");
    EXPECT_NE(e.getLocations().at(0).find("file=\"ConfNode\""), std::string::npos);
  }
  EXPECT_EQ(portNode(kConfTimeSpan, "no duration")->getTimeSpan(), TimeSpan());
}

TEST(ConfNode, ChildrenKeepOrderNamesAndParents) {
  Handle root = ConfNode::root();
  Handle dirs = ConfNode::factory("directories");
  root->addChild(dirs);
  Handle temp = ConfNode::factory("temp", kConfDir);
  dirs->addChild(temp);
  dirs->addChild(ConfNode::factory("log"));
  EXPECT_EQ(temp->getPath(), "root.directories.temp");
  EXPECT_EQ(temp->getParent(), dirs);

  EXPECT_EQ(messageOf<ConfNode::AddChild_NameAlreadyInUse>(
                [&] { dirs->addChild(ConfNode::factory("temp")); }),
            "@conf-node.add-child.name-already-in-use{Cannot add child node \"temp\" to "
            "\"root.directories\" "
            "because another child with that name already exists};");
  EXPECT_EQ(dirs->getChild("temp"), temp);
  EXPECT_EQ(dirs->getChildOrder(), (std::vector<std::string>{"temp", "log"}));

  dirs->removeChild("temp");
  EXPECT_THROW(temp->getParent(), ConfNode::GetParent_NoParent);
  dirs->addChild(temp);
  EXPECT_EQ(dirs->getChildOrder(), (std::vector<std::string>{"log", "temp"}));
  EXPECT_EQ(messageOf<ConfNode::RemoveChild_NotFound>([&] { dirs->removeChild("tmp"); }),
            "@conf-node.remove-child.not-found{Cannot remove child node \"tmp\" from "
            "\"root.directories\" "
            "because no such child exists};");

  EXPECT_EQ(messageOf<ConfNode::GetParent_NoParent>([&] { root->getParent(); }), "");
  EXPECT_THROW(root->addChild(Handle()), ConfNode::AddChild_NoChild);
  EXPECT_THROW(root->addChild(temp), ConfNode::AddChild_HasParent);
  EXPECT_THROW(temp->addChild(root), ConfNode::AddChild_Circular);
  EXPECT_THROW(root->addChild(root), ConfNode::AddChild_Circular);
  EXPECT_EQ(root->getChildOrder(), std::vector<std::string>{"directories"});
  EXPECT_EQ(temp->getChildCount(), 0u);

  root.reset();  // the tree goes; a child still held loses only its parent
  dirs.reset();
  EXPECT_THROW(temp->getParent(), ConfNode::GetParent_NoParent);
  EXPECT_EQ(temp->getPath(), "temp");
}

TEST(ConfNode, PathsFindAndCreateNodes) {
  Handle root = ConfNode::root();
  Handle b = root->createByPath("a.b", kConfInt);
  ASSERT_TRUE(b);
  EXPECT_EQ(root->getChild("a")->getType(), kConfNone);
  EXPECT_EQ(b->getType(), kConfInt);
  b->setInt(7);
  EXPECT_EQ(root->createByPath("a.b", kConfInt), b);  // same type: kept with its value
  Handle replaced = root->createByPath("a.b", kConfString);
  EXPECT_NE(replaced, b);
  EXPECT_EQ(replaced->getType(), kConfString);
  EXPECT_EQ(replaced->getValue(), "");
  EXPECT_EQ(root->findByPath("a.b"), replaced);

  for (const char* bad : {"", ".x", "a..c", "a.", "n.m."}) {
    EXPECT_FALSE(root->createByPath(bad, kConfInt)) << bad;
    EXPECT_FALSE(root->findByPath(bad)) << bad;
  }
  EXPECT_EQ(root->getChildOrder(), std::vector<std::string>{"a"});  // nothing half-made
  EXPECT_EQ(root->getChild("a")->getChildOrder(), std::vector<std::string>{"b"});
  EXPECT_FALSE(root->findByPath("a.x"));
  EXPECT_FALSE(root->findByPath("b"));
  EXPECT_EQ(root->findByPath("a"), root->getChild("a"));
  Handle deep = root->createByPath("p.q.r", kConfFile);
  EXPECT_EQ(deep->getPath(), "root.p.q.r");
  EXPECT_EQ(root->findByPath("p.q")->getType(), kConfNone);
}

Handle sampleTree() {
  Handle root = ConfNode::root();
  root->setAttribute("description", "top");
  const std::pair<int, const char*> values[] = {
      {kConfBool, "yes"},
      {kConfInt, "-42"},
      {kConfUInt, "18446744073709551615"},
      {kConfFloat, "2.5"},
      {kConfString, "line\nfeed \\back\\ slash \x1E rec %1 \"q\""},
      {kConfDateTime, "2016-06-02T03:46:28.500Z"},
      {kConfTimeOfDay, "08:30:00"},
      {kConfTimeZone, "+01:00"},
      {kConfTimeSpan, "PT2H"},
      {kConfDir, "C:\\a\\"},
      {kConfFile, "/x/y.txt"},
      {kConfString, ""},
      {kConfSubEntries, ""}};
  int i = 0;
  for (const auto& [type, value] : values) {
    Handle n = root->createByPath("all.n" + std::to_string(i++) + "_" + confTypeName(type), type);
    n->setValue(value);
  }
  Handle list = root->createByPath("all.list", kConfList);
  list->setList(std::vector<std::string>{"",
                                         "a\x1E"
                                         "b",
                                         "c\\", "d\ne"},
                '\x1E');
  list->setAttribute("description", "a\nlist\\");
  list->setAttribute("empty", "");
  root->createByPath("z.y.x", kConfInt)->setValue("1");
  root->createByPath("b", kConfString)->setValue("after z");
  return root;
}

TEST(ConfNode, CopiesAreDeepAndDetached) {
  Handle tree = sampleTree();
  Handle copy = ConfNode::factory(*tree->getChild("all"));
  EXPECT_THROW(copy->getParent(), ConfNode::GetParent_NoParent);
  expectSameTree(*copy, *tree->getChild("all"));
  copy->getChild("list")->setList("q", ',');
  copy->removeChild("n1_int");
  EXPECT_EQ(tree->findByPath("all.list")->getList().size(), 4u);
  EXPECT_TRUE(tree->findByPath("all.n1_int"));
}

TEST(ConfNode, MergeOverlaysTheOtherTree) {
  Handle mine = ConfNode::root();
  mine->setAttribute("keep", "1");
  mine->setAttribute("description", "old");
  mine->createByPath("a.only", kConfInt)->setValue("1");
  mine->createByPath("a.shared", kConfInt)->setValue("2");
  Handle list = mine->createByPath("l", kConfList);
  list->setList("x,y", ',');

  Handle theirs = ConfNode::root();
  theirs->setAttribute("description", "new");
  theirs->createByPath("c", kConfString)->setValue("new c");
  theirs->createByPath("a.shared", kConfString)->setValue("now text");
  theirs->createByPath("a.extra.deep", kConfBool)->setValue("on");
  theirs->createByPath("l", kConfList)->setList("z", ';');

  EXPECT_FALSE(mine->merge(*ConfNode::factory("other")));
  ASSERT_TRUE(mine->merge(*theirs));
  EXPECT_EQ(mine->getAttributes(),
            (std::map<std::string, std::string>{{"description", "new"}, {"keep", "1"}}));
  EXPECT_EQ(mine->getChildOrder(), (std::vector<std::string>{"a", "l", "c"}));
  EXPECT_EQ(mine->findByPath("a")->getChildOrder(),
            (std::vector<std::string>{"only", "shared", "extra"}));
  EXPECT_EQ(mine->findByPath("a.shared")->getString(), "now text");
  EXPECT_TRUE(mine->findByPath("a.extra.deep")->getBool());
  EXPECT_EQ(mine->findByPath("l")->getList(),
            (std::vector<std::string>{"x", "y"}));  // lists not merged
  EXPECT_EQ(mine->findByPath("l")->getListSeparator(), ',');
  EXPECT_EQ(mine->findByPath("a.extra")->getParent(), mine->getChild("a"));
  theirs->findByPath("a.extra.deep")->setValue("off");
  EXPECT_TRUE(mine->findByPath("a.extra.deep")->getBool());  // copies, not shared nodes

  // Merging a node with itself, or with a descendant of the same name, must not loop or alias.
  Handle before = ConfNode::factory(*mine);
  ASSERT_TRUE(mine->merge(*mine));
  expectSameTree(*mine, *before);
  Handle x = ConfNode::factory("x", kConfInt);
  x->createByPath("x.x", kConfString)->setValue("inner");
  ASSERT_TRUE(x->merge(*x->getChild("x")));
  EXPECT_EQ(x->getType(), kConfNone);
  EXPECT_EQ(x->findByPath("x.x")->getValue(), "inner");
}

TEST(ConfNode, StreamRoundTripKeepsEveryField) {
  Handle tree = sampleTree();
  StringStream bytes;
  tree->streamTo(bytes);
  Handle back = ConfNode::root();
  back->createByPath("stale.child", kConfInt);
  back->setAttribute("stale", "1");
  back->streamFrom(bytes);
  expectSameTree(*back, *tree);

  ParamStream params;
  tree->streamTo(params);
  Handle viaParams = ConfNode::factory("other");
  viaParams->streamFrom(params);
  expectSameTree(*viaParams, *tree);
}

TEST(ConfNode, StreamingIntoAChildRenamesItWithinItsParent) {
  Handle root = ConfNode::root();
  Handle a = root->createByPath("a", kConfInt);
  root->createByPath("b", kConfInt);
  Handle record = ConfNode::factory("c", kConfString);
  StringStream stream;
  record->streamTo(stream);
  a->streamFrom(stream);
  EXPECT_EQ(root->getChild("c"), a);
  EXPECT_EQ(root->getChildOrder(), (std::vector<std::string>{"c", "b"}));

  StringStream clash;
  ConfNode::factory("b")->streamTo(clash);
  EXPECT_THROW(a->streamFrom(clash), ConfNode::AddChild_NameAlreadyInUse);
  EXPECT_EQ(a->getName(), "c");
  EXPECT_EQ(a->getType(), kConfString);
}

TEST(ConfNode, DamagedStreamsRaiseAndChangeNothing) {
  Handle tree = sampleTree();
  ParamStream whole;
  tree->streamTo(whole);
  const std::vector<Primitive>& primitives = whole.getPrimitives();
  for (std::size_t cut = 0; cut < primitives.size(); ++cut) {
    ParamStream shortened;
    for (std::size_t i = 0; i < cut; ++i) shortened.writePrimitive(primitives[i]);
    Handle target = ConfNode::root();
    target->createByPath("mine", kConfInt)->setValue("5");
    EXPECT_THROW(target->streamFrom(shortened), ConfNode::StreamFrom_Malformed) << cut;
    EXPECT_EQ(target->getChildOrder(), std::vector<std::string>{"mine"});
    EXPECT_EQ(target->findByPath("mine")->getValue(), "5");
  }

  ParamStream doubled;  // a root claiming two children of one name
  auto writeLeaf = [&doubled](const char* name) {
    doubled.writeString(name);
    doubled.writeInt32(kConfInt);
    doubled.writeString("1");
    doubled.writeUInt32(0);
    doubled.writeUInt32(0);
  };
  doubled.writeString("root");
  doubled.writeInt32(0);
  doubled.writeString("");
  doubled.writeUInt32(0);
  doubled.writeUInt32(2);
  writeLeaf("t");
  writeLeaf("t");
  Handle target = ConfNode::root();
  EXPECT_THROW(target->streamFrom(doubled), ConfNode::AddChild_NameAlreadyInUse);
  EXPECT_EQ(target->getChildCount(), 0u);

  ParamStream deep;  // each level: name, type, value, no attributes, one child
  for (int level = 0; level <= ConfNode::kMaxStreamDepth + 1; ++level) {
    deep.writeString("n");
    deep.writeInt32(0);
    deep.writeString("");
    deep.writeUInt32(0);
    deep.writeUInt32(1);
  }
  EXPECT_THROW(ConfNode::root()->streamFrom(deep), ConfNode::StreamFrom_Malformed);
}

}  // namespace
}  // namespace ZelcorCorelib
