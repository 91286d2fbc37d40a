// The client side of configuration: the bus agent "conf-agent" through which application code
// registers path keywords, reads, writes, creates and removes entries of the store
// (ConfBase, "conf" messages), reads local system settings (the system-information service,
// "system" messages) and checks entries against requirements. It sets no hooks and answers
// nothing: each operation broadcasts one message and turns the status written back into a
// result or one of the exceptions below.
// Threads: no state of its own, so one object may be used from several threads; each send
// runs in its caller's thread. Parameters handed in are owned by the agent from then on and
// freed after the send, also when the operation raises.
// A failed operation changes nothing, except that a write the store already made stays made.
#pragma once

#include "time/TimeSpan.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/ImsAgent.h"
#include "config/ConfParams.h"
#include "config/SystemQueryParam.h"
#include "errors/Exception.h"

namespace ZelcorCorelib {

class ConfAgent : public ImsAgent, public Throws {
 public:
  ZELCOR_EXCEPTION(Keyword_OutOfMemory);
  ZELCOR_EXCEPTION(Keyword_ImsNotWorking);
  ZELCOR_EXCEPTION(Query_OutOfMemory);
  ZELCOR_EXCEPTION(Query_ImsNotWorking);
  ZELCOR_EXCEPTION(Query_NotFound);
  ZELCOR_EXCEPTION(Query_WrongType);
  ZELCOR_EXCEPTION(Query_InvalidPath);
  ZELCOR_EXCEPTION(GetLocal_OutOfMemory);
  ZELCOR_EXCEPTION(GetLocal_ImsNotWorking);
  ZELCOR_EXCEPTION(GetLocal_NotFound);
  ZELCOR_EXCEPTION(GetLocal_WrongType);
  ZELCOR_EXCEPTION(GetLocal_NoAccess);
  ZELCOR_EXCEPTION(Test_ValueOutOfRange);
  ZELCOR_EXCEPTION(Test_DirMustExist);
  ZELCOR_EXCEPTION(Test_DirCouldNotBeCreated);
  ZELCOR_EXCEPTION(Test_OutOfMemory);
  ZELCOR_EXCEPTION(Test_ImsNotWorking);
  ZELCOR_EXCEPTION(Test_NotFound);
  ZELCOR_EXCEPTION(Test_WrongType);

  ConfAgent();

  // "%keyword%" in later paths stands for path; a second registration replaces the first.
  // Throws Keyword_OutOfMemory, Keyword_ImsNotWorking.
  void keyword(const std::string& keyword, const std::string& path);

  // Any read or write; a read leaves its result in the variable param->value points at.
  // Throws Query_OutOfMemory (null param), Query_ImsNotWorking, Query_NotFound,
  // Query_WrongType, Query_InvalidPath; a write of a datetime or time-of-day entry lets
  // ConfNode::Set_WrongType through.
  void query(std::unique_ptr<ConfQueryParam> param);

  // Typed reads; each throws what query throws.
  // The 64-bit value cut to its low 16 or 32 bits.
  std::int16_t getInt16(const std::string& path);
  std::int32_t getInt(const std::string& path);
  // A Bool entry: true for true, yes, on, active, ok.
  bool getBool(const std::string& path);
  // References expanded; a dir or file entry reads as its normalised text.
  std::string getString(const std::string& path);
  std::string getDir(const std::string& path);
  TimeSpan getTimeSpan(const std::string& path);
  std::vector<std::string> getSubEntries(const std::string& path);

  // Throws GetLocal_OutOfMemory (null param), GetLocal_ImsNotWorking, GetLocal_NotFound,
  // GetLocal_WrongType, GetLocal_NoAccess.
  void getLocal(std::unique_ptr<SystemQueryParam> param);
  std::string getLocalString(const std::string& key, bool perUser);

  // The "int" entry lies within [minimum, maximum]. Throws Test_ValueOutOfRange, or the Test_
  // exception matching a failed read, with the read's exception as cause.
  void test(const std::string& path, std::int64_t minimum, std::int64_t maximum);
  // The "dir" entry (a shortcut resolved first) must exist (mode 0) or is created with its
  // parents (mode 1); other modes check nothing. Throws Test_DirMustExist,
  // Test_DirCouldNotBeCreated, or the Test_ exception matching a failed read.
  void test(const std::string& path, int mode);

 private:
  // A read through query with the Query_ exceptions turned into their Test_ counterparts.
  void testRead(const std::string& path, int queryType, void* value);
  void read(const std::string& path, int queryType, void* value);
};

}  // namespace ZelcorCorelib
