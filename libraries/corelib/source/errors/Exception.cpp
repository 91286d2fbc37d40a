#include "errors/Exception.h"

#include <cstring>

namespace ZelcorCorelib {

Exception::Exception() = default;

Exception::Exception(std::string message) : message(std::move(message)) {}

Exception::Exception(std::string message, std::string location) : message(std::move(message)) {
  locations.push_back(std::move(location));
}

Exception::Exception(std::string message, const ParamStream& parameters)
    : message(std::move(message)), parameters(parameters) {}

Exception::Exception(std::string message, std::string location, const ParamStream& parameters)
    : message(std::move(message)), parameters(parameters) {
  locations.push_back(std::move(location));
}

Exception::Exception(std::string location, const Exception& nested) {
  locations.push_back(std::move(location));
  nestedExceptions.push_back(nested);
}

void Exception::addLocation(std::string location) { locations.push_back(std::move(location)); }

void Exception::addNested(const Exception& nested) { nestedExceptions.push_back(nested); }

std::string Exception::toString(bool withName) const {
  if (message.empty() && !wideMessage.empty()) {
    // Only the wide message is set: each wide character becomes the first byte of its UTF-8 form.
    Exception wide(*this);
    wide.wideMessage.clear();
    for (char16_t c : wideMessage) {
      unsigned code = c;
      wide.message += static_cast<char>(code < 0x80    ? code
                                        : code < 0x800 ? 0xC0 | (code >> 6)
                                                       : 0xE0 | (code >> 12));
    }
    return wide.toString(withName);
  }
  // Appended piece by piece: g++ 12 at -O3 reports a false -Wrestrict overlap for `" " + text`.
  std::string result;
  if (withName) result.append(className).append(":");
  if (!message.empty()) {
    result.append(" ").append(fillPlaceholders(extractText(message), parameters));
  }
  for (const Exception& nested : nestedExceptions) {
    result.append("\n").append(nested.toString(true));
  }
  return result;
}

std::string Exception::toLine(bool withName) const {
  std::string text = toString(withName);
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return className;
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<ExceptionRecord> Exception::logRecords() const {
  std::vector<ExceptionRecord> records;
  appendRecords(records);
  return records;
}

void Exception::appendRecords(std::vector<ExceptionRecord>& records) const {
  for (const Exception& nested : nestedExceptions) nested.appendRecords(records);
  ExceptionRecord record;
  if (message.empty()) {
    record.text = className + (nestedExceptions.empty() ? ": <NO MESSAGE>"
                                                        : ": Container for above exceptions");
  } else {
    record.text = className + ": " + message;
    for (const std::string& location : locations) record.text += location;
    record.parameters = parameters;
  }
  records.push_back(std::move(record));
}

std::string Exception::extractText(const std::string& message) {
  enum class State { Outside, Key, Text };
  State state = State::Outside;
  bool bracePending = false;
  std::string text;
  for (char c : message) {
    switch (state) {
      case State::Outside:
        if (c == ';') break;
        if (c == '@') {
          state = State::Key;
          break;
        }
        if (bracePending) {
          text += '}';
          bracePending = false;
        }
        text += c;
        state = State::Text;
        break;
      case State::Key:
        if (c == '{') state = State::Text;
        break;
      case State::Text:
        if (c == '@') {
          state = State::Outside;
        } else if (c == '}') {
          bracePending = true;
          state = State::Outside;
        } else {
          text += c;
        }
        break;
    }
  }
  return text;
}

std::string Exception::sourceLocation(const std::string& path, int line) {
  std::size_t slash = path.find_last_of("/\\");
  std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  return " @logsrc{file=\"" + file + "\" line=" + std::to_string(line) + "};";
}

std::string sourceStem(const char* path) {
  std::string text = path == nullptr ? std::string() : std::string(path);
  std::size_t slash = text.find_last_of("/\\");
  std::size_t dot = text.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) text.erase(dot);
  return text;
}

}  // namespace ZelcorCorelib
