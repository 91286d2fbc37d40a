#include "config/ConfAgent.h"

#include <new>
#include <span>
#include <string>
#include <utility>

#include "bus/ImsMessage.h"
#include "config/ConfNodeTypes.h"
#include "files/FileUtils.h"

namespace ZelcorCorelib {

namespace {

constexpr const char* kOutOfMemory = "@out-of-memory{Out of memory};";

// Null when memory runs out, so that the operation raises its own out-of-memory exception.
template <typename P, typename... A>
std::unique_ptr<P> allocate(A&&... arguments) {
  try {
    return std::make_unique<P>(std::forward<A>(arguments)...);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::unique_ptr<ConfQueryParam> readParam(const std::string& path, int queryType, void* value) {
  std::unique_ptr<ConfQueryParam> param = allocate<ConfQueryParam>();
  if (param) {
    param->path = path;
    param->queryType = queryType;
    param->value = value;
    param->isSet = false;
  }
  return param;
}

// How one kind of request reports failure: the exception for a request nobody answered and
// one for each failed status the service can write back. The first placeholder of each
// message takes the subject (a path or a key), the second, where withType, the type's name.
using Raise = void (*)(const char* message, std::string location, const ParamStream& values);

template <typename E>
[[noreturn]] void raiseAs(const char* message, std::string location, const ParamStream& values) {
  throw E(message, std::move(location), values);
}

struct StatusFailure {
  int status;
  Raise raise;
  const char* message;
  bool withType;
};

const StatusFailure kQueryStatuses[] = {
    {kConfStatusNotFound, raiseAs<ConfAgent::Query_NotFound>,
     "@conf-agent.query.not-found{Configuration entry \"%\" was not found};", false},
    {kConfStatusWrongType, raiseAs<ConfAgent::Query_WrongType>,
     "@conf-agent.query.wrong-type{Configuration entry \"%\" is not of requested type (%)};", true},
    {kConfStatusUnknownType, raiseAs<ConfAgent::Query_WrongType>,
     "@conf-agent.query.unknown-type{Got request for configuration entry \"%\" of type %, but "
     "no such type is defined};",
     true},
    {kConfStatusInvalidPath, raiseAs<ConfAgent::Query_InvalidPath>,
     "@conf-agent.query.invalid-path{Invalid configuration node path \"%\"};", false},
    // 6, a list write of an unknown "ltype", is not reported.
};

const StatusFailure kGetLocalStatuses[] = {
    {kSystemStatusNotFound, raiseAs<ConfAgent::GetLocal_NotFound>,
     "@conf-agent.get-local.not-found{Configuration key \"%\" was not found};", false},
    {kSystemStatusWrongType, raiseAs<ConfAgent::GetLocal_WrongType>,
     "@conf-agent.get-local.wrong-type{Configuration key \"%\" is not of requested type (%)};",
     true},
    {kSystemStatusNoAccess, raiseAs<ConfAgent::GetLocal_NoAccess>,
     "@conf-agent.get-local.no-access{Got request for configuration key \"%\" of type %, but "
     "failed to get access to it};",
     true},
};

struct FailureTable {
  Raise imsNotWorking;
  const char* imsNotWorkingMessage;
  std::span<const StatusFailure> statuses;
};

const FailureTable kQueryFailures{
    raiseAs<ConfAgent::Query_ImsNotWorking>,
    "@conf-agent.query.ims-not-working{Failed to query configuration entry \"%\" because IMS "
    "isn't working};",
    kQueryStatuses};

const FailureTable kGetLocalFailures{
    raiseAs<ConfAgent::GetLocal_ImsNotWorking>,
    "@conf-agent.get-local.ims-not-working{Failed to query local configuration key \"%\" "
    "because IMS isn't working};",
    kGetLocalStatuses};

// Broadcasts message, whose parameter the service answers by writing status, and raises what
// table names for no answer or a failed status. An Exception a handler lets through passes on
// with this location added.
void exchange(ImsAgent& agent, ImsMessage& message, const int& status, const std::string& subject,
              int type, const FailureTable& table) {
  bool handled = false;
  try {
    handled = agent.sendMessage(message);
  } catch (Exception& passing) {
    passing.addLocation(ZELCOR_HERE);
    throw;
  }
  if (!handled) table.imsNotWorking(table.imsNotWorkingMessage, ZELCOR_HERE, makeParams(subject));
  for (const StatusFailure& failure : table.statuses) {
    if (failure.status != status) continue;
    const ParamStream values =
        failure.withType ? makeParams(subject, confTypeName(type)) : makeParams(subject);
    failure.raise(failure.message, ZELCOR_HERE, values);
  }
}

}  // namespace

ConfAgent::ConfAgent() : ImsAgent("conf-agent") {}

void ConfAgent::keyword(const std::string& keyword, const std::string& path) {
  std::unique_ptr<ConfKeywordParam> param = allocate<ConfKeywordParam>(keyword, path);
  if (!param) throw Keyword_OutOfMemory(kOutOfMemory, ZELCOR_HERE);
  ImsMessage message("conf", "keyword", "", param.get());
  if (!sendMessage(message)) {
    ZELCOR_THROW(Keyword_ImsNotWorking,
                 "@conf-agent.keyword.ims-not-working{Failed to register keyword \"%\" = \"%\" "
                 "because IMS isn't working};",
                 keyword, path);
  }
}

void ConfAgent::query(std::unique_ptr<ConfQueryParam> param) {
  if (!param) throw Query_OutOfMemory(kOutOfMemory, ZELCOR_HERE);
  ImsMessage message("conf", "query", "", param.get());
  exchange(*this, message, param->status, param->path, param->queryType, kQueryFailures);
}

void ConfAgent::read(const std::string& path, int queryType, void* value) {
  query(readParam(path, queryType, value));
}

std::int16_t ConfAgent::getInt16(const std::string& path) {
  std::int64_t value = 0;
  read(path, kConfInt, &value);
  return static_cast<std::int16_t>(value);
}

std::int32_t ConfAgent::getInt(const std::string& path) {
  std::int64_t value = 0;
  read(path, kConfInt, &value);
  return static_cast<std::int32_t>(value);
}

bool ConfAgent::getBool(const std::string& path) {
  bool value = false;
  read(path, kConfBool, &value);
  return value;
}

TimeSpan ConfAgent::getTimeSpan(const std::string& path) {
  TimeSpan value;
  read(path, kConfTimeSpan, &value);
  return value;
}

std::string ConfAgent::getString(const std::string& path) {
  std::string value;
  read(path, kConfString, &value);
  return value;
}

std::string ConfAgent::getDir(const std::string& path) {
  std::string value;
  read(path, kConfDir, &value);
  return value;
}

std::vector<std::string> ConfAgent::getSubEntries(const std::string& path) {
  std::vector<std::string> value;
  read(path, kConfSubEntries, &value);
  return value;
}

void ConfAgent::getLocal(std::unique_ptr<SystemQueryParam> param) {
  if (!param) throw GetLocal_OutOfMemory(kOutOfMemory, ZELCOR_HERE);
  ImsMessage message("system", "query", "", param.get());
  exchange(*this, message, param->status, param->name, param->valueType, kGetLocalFailures);
}

std::string ConfAgent::getLocalString(const std::string& key, bool perUser) {
  std::string value;
  getLocal(allocate<SystemQueryParam>(key, kConfLocalString, &value, perUser));
  return value;
}

void ConfAgent::testRead(const std::string& path, int queryType, void* value) {
  try {
    read(path, queryType, value);
  } catch (const Query_OutOfMemory& cause) {
    ZELCOR_THROW_WRAPPED(Test_OutOfMemory, cause);
  } catch (const Query_ImsNotWorking& cause) {
    ZELCOR_THROW_WRAPPED(Test_ImsNotWorking, cause);
  } catch (const Query_NotFound& cause) {
    ZELCOR_THROW_WRAPPED(Test_NotFound, cause);
  } catch (const Query_WrongType& cause) {
    ZELCOR_THROW_WRAPPED(Test_WrongType, cause);
  }
}

void ConfAgent::test(const std::string& path, std::int64_t minimum, std::int64_t maximum) {
  std::int64_t value = 0;
  testRead(path, kConfInt, &value);
  if (value < minimum || value > maximum) {
    ZELCOR_THROW(Test_ValueOutOfRange,
                 "@conf-agent.test.value-out-of-range{Configuration entry \"%\" (value=%) is not "
                 "within the required range of % through %};",
                 path, value, minimum, maximum);
  }
}

void ConfAgent::test(const std::string& path, int mode) {
  std::string directory;
  testRead(path, kConfDir, &directory);
  if (isShortcut(directory)) resolveShortcut(directory);
  if (mode == 0) {
    // A file of that name is no directory.
    if (!isDirectory(directory)) {
      ZELCOR_THROW(Test_DirMustExist,
                   "@conf-agent.test.dir-must-exist{Directory \"%\" specified at configuration "
                   "entry \"%\" does not exist};",
                   directory, path);
    }
  } else if (mode == 1) {
    // An empty text would become "/", which always exists, and pass without a directory.
    if (directory.empty() || !createDirectory(directory + "/")) {
      ZELCOR_THROW(Test_DirCouldNotBeCreated,
                   "@conf-agent.test.dir-could-not-be-created{Directory \"%\" specified at "
                   "configuration entry \"%\" does not exist and could not be created;}",
                   directory, path);
    }
  }
}

}  // namespace ZelcorCorelib
