// The payloads of "conf" bus messages: what the configuration agent and the file loader hand to
// the configuration store, and what the store writes back. Each is built by the sender for one
// message and freed by it after the send; the store only reads the inputs and writes the
// outputs (status, the caller's variable) before the send returns.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "bus/ImsMessageParameter.h"
#include "values/StreamBase.h"

namespace ZelcorCorelib {

// ("conf", "keyword", ""): "%keyword%" in later paths stands for path.
struct ConfKeywordParam : ImsMessageParameter {
  ConfKeywordParam(std::string keyword, std::string path)
      : keyword(std::move(keyword)), path(std::move(path)) {}
  std::string keyword;
  std::string path;
};

// ("conf", "data", "" or "clear-old"): one tree written with ConfNode::streamTo.
// The stream is not owned.
struct ConfDataParam : ImsMessageParameter {
  explicit ConfDataParam(StreamBase* stream) : stream(stream) {}
  StreamBase* stream;
};

// ("conf", "rawpath", ""): the store replaces path by its keyword expansion.
struct ConfPathParam : ImsMessageParameter {
  explicit ConfPathParam(std::string path) : path(std::move(path)) {}
  std::string path;
};

// ("conf", "query", ""): one read, write, create or remove.
// value points at the caller's variable of the query type: bool, std::int64_t, std::uint64_t,
// double, std::string, DateTime, TimeZone, TimeSpan, std::vector<std::string> (a list, or the
// child names for sub-entries); for a list write with "ltype" = "str" a std::string.
struct ConfQueryParam : ImsMessageParameter {
  std::string path;
  const std::string* description = nullptr;
  int entryType = 0;
  int queryType = 0;
  void* value = nullptr;
  char listSeparator = '\n';
  std::map<std::string, std::string> options;
  bool isSet = false;
  int status = 0;
};

// Status codes the store writes into ConfQueryParam::status.
enum ConfQueryStatus : int {
  kConfStatusUnanswered = 0,
  kConfStatusDone = 1,
  kConfStatusNotFound = 3,
  kConfStatusWrongType = 4,
  kConfStatusUnknownType = 5,
  kConfStatusBadListType = 6,
  kConfStatusInvalidPath = 7,
};

}  // namespace ZelcorCorelib
