// The one exception type of the framework and its applications. A failure is raised as a
// nested class of the raising class (declared with ZELCOR_EXCEPTION), carrying a keyed message
// "@component.operation.condition{Readable text with % placeholders};", the placeholder values,
// the source locations it passed through and the exceptions that caused it.
// Exceptions are values: copies are deep and independent. Not shared between threads.
#pragma once

#include <string>
#include <vector>

#include "values/ParamStream.h"

namespace ZelcorCorelib {

// Empty base of classes that raise framework exceptions.
class Throws {
 public:
  virtual ~Throws() = default;
};

// One log record of an exception chain: the text as it is written (placeholders unfilled)
// and the values that fill it.
struct ExceptionRecord {
  std::string text;
  ParamStream parameters;
};

class Exception {
 public:
  Exception();
  explicit Exception(std::string message);
  Exception(std::string message, std::string location);
  Exception(std::string message, const ParamStream& parameters);
  Exception(std::string message, std::string location, const ParamStream& parameters);
  // Wraps a caught exception as the cause of a more specific one.
  Exception(std::string location, const Exception& nested);
  Exception(const Exception& other) = default;
  Exception& operator=(const Exception& other) = default;
  virtual ~Exception() = default;

  void addLocation(std::string location);
  void addNested(const Exception& nested);
  // Rendered only while the message is empty; nothing in the framework sets it.
  void setWideMessage(std::u16string text) { wideMessage = std::move(text); }

  // The readable text: "ClassName:" (withName) + " " + the message's text with its
  // placeholders filled, then each cause on its own line, always with its name.
  std::string toString(bool withName = true) const;

  // toString on one line, for a console message or a log parameter: line breaks become blanks,
  // surrounding blanks go; the class name when nothing else is left.
  std::string toLine(bool withName = false) const;

  // The records that logging this exception writes, causes first (depth first):
  // "Name: <NO MESSAGE>", "Name: Container for above exceptions", or
  // "Name: " + stored message + locations, with the exception's parameters.
  std::vector<ExceptionRecord> logRecords() const;

  // The readable text of a keyed message: key, braces and the closing ";" removed.
  static std::string extractText(const std::string& message);

  // " @logsrc{file=\"<name>\" line=<line>};" where <name> follows the last separator of path.
  static std::string sourceLocation(const std::string& path, int line);

  const std::string& getClassName() const { return className; }
  const std::string& getMessage() const { return message; }
  const std::u16string& getWideMessage() const { return wideMessage; }
  const ParamStream& getParameters() const { return parameters; }
  const std::vector<std::string>& getLocations() const { return locations; }
  const std::vector<Exception>& getNestedExceptions() const { return nestedExceptions; }

 protected:
  void setClassName(std::string name) { className = std::move(name); }

 private:
  void appendRecords(std::vector<ExceptionRecord>& records) const;

  std::string className = "Exception";
  std::string message;
  std::u16string wideMessage;
  ParamStream parameters;
  std::vector<std::string> locations;
  std::vector<Exception> nestedExceptions;
};

// Source file path without its extension, so that locations name the class file
// ("ConfNode" rather than "ConfNode.cpp").
std::string sourceStem(const char* path);

}  // namespace ZelcorCorelib

// The location string of the current source line.
#define ZELCOR_HERE \
  ::ZelcorCorelib::Exception::sourceLocation(::ZelcorCorelib::sourceStem(__FILE__), __LINE__)

// Declares a nested exception class that only sets its own name.
#define ZELCOR_EXCEPTION(Name)                                                                \
  class Name : public ::ZelcorCorelib::Exception {                                            \
   public:                                                                                    \
    Name() { setClassName(#Name); }                                                           \
    explicit Name(std::string m) : Exception(std::move(m)) { setClassName(#Name); }           \
    Name(std::string m, std::string l) : Exception(std::move(m), std::move(l)) {              \
      setClassName(#Name);                                                                    \
    }                                                                                         \
    Name(std::string m, const ::ZelcorCorelib::ParamStream& p) : Exception(std::move(m), p) { \
      setClassName(#Name);                                                                    \
    }                                                                                         \
    Name(std::string m, std::string l, const ::ZelcorCorelib::ParamStream& p)                 \
        : Exception(std::move(m), std::move(l), p) {                                          \
      setClassName(#Name);                                                                    \
    }                                                                                         \
    Name(std::string l, const ::ZelcorCorelib::Exception& n) : Exception(std::move(l), n) {   \
      setClassName(#Name);                                                                    \
    }                                                                                         \
  }

// Raises Name with a keyed message, the current location and the placeholder values:
//   ZELCOR_THROW(Query_NotFound, "@conf-agent.query.not-found{Entry \"%\" was not found};", path);
#define ZELCOR_THROW(Name, message, ...) \
  throw Name((message), ZELCOR_HERE, ::ZelcorCorelib::makeParams(__VA_ARGS__))

// Raises Name wrapping a caught exception as its cause.
#define ZELCOR_THROW_WRAPPED(Name, cause) throw Name(ZELCOR_HERE, (cause))
