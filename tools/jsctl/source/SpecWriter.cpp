#include "SpecWriter.h"

#include <cstdint>
#include <cstdio>
#include <random>

#include "files/FileUtils.h"
#include "files/KeyValueFile.h"

namespace Zelcor {

namespace {

bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\b' || c == '\f';
}

// Not `"\"" + text + "\""`: g++ 12 at -O3 reports a false -Wrestrict overlap for a
// one-character literal in front of a string.
std::string inQuotes(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  out.append(text);
  out.push_back('"');
  return out;
}

// Inside double quotes the scheduler keeps a backslash and the byte after it together, and
// the program receives one backslash for two and a double quote for backslash-quote.
std::string quotedBody(const std::string& argument) {
  std::string body;
  for (char c : argument) {
    if (c == '\\') {
      body += "\\\\";
    } else if (c == '"') {
      body += "\\\"";
    } else {
      body += c;
    }
  }
  return body;
}

// Outside quotes the program turns backslashes before a double quote into half as many and
// an odd one more into a literal quote; other backslashes stay. Every quote comes out escaped,
// which inside the splitter's quoted part is a backslash pair as well.
std::string unquotedBody(const std::string& argument) {
  std::string body;
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      body.append(2 * backslashes + 1, '\\');
    } else {
      body.append(backslashes, '\\');
    }
    backslashes = 0;
    body += c;
  }
  body.append(backslashes, '\\');
  return body;
}

// The scheduler puts quotes around the path after a " -c " option when the text reads like
// "-c <path with blank>.conf"; two quotes after the "-c" (a closed and reopened quoted part,
// which the program never sees) keep that rule from cutting into an argument.
void defuseConfigurationOption(std::string& body) {
  std::size_t at = body.find(" -c ");
  while (at != std::string::npos) {
    body.insert(at + 3, "\"\"");
    at = body.find(" -c ", at + 5);
  }
}

std::string randomHex() {
  std::random_device device;
  const std::uint64_t value = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string joinPath(std::string directory, const std::string& name) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory + "/" + name;
}

std::string lineFeedError(const std::string& what, const std::string& value, bool refuseCr) {
  if (value.find('\n') != std::string::npos) return what + " holds a line feed";
  if (refuseCr && value.find('\r') != std::string::npos) return what + " holds a carriage return";
  return "";
}

}  // namespace

std::string SpecWriter::encodeArgument(const std::string& argument) {
  // A lone "-c" followed by a blank would start the configuration-path rule.
  if (argument == "-c") return "-c\"\"";
  bool plain = !argument.empty() &&
               !(argument.size() >= 2 && argument.front() == '\'' && argument.back() == '\'');
  for (char c : argument) {
    if (isWhiteSpace(c) || c == '"') plain = false;
  }
  if (plain) return argument;
  if (argument.find(' ') != std::string::npos) {
    // The scheduler strips these outer quotes and, seeing a blank, puts them back for the
    // program's side; the blanks stay inside quotes all the way.
    std::string body = quotedBody(argument);
    defuseConfigurationOption(body);
    return inQuotes(body);
  }
  // Without a blank the scheduler does not put quotes back, so what remains after it strips
  // the outer pair is read by the program from outside quotes; and the splitter must end the
  // token outside quotes, or the next blank would not separate.
  if (argument.find('"') == std::string::npos) {
    // An empty quoted part on each side: the splitter never sees a quote in between.
    return "\"\"" + quotedBody(argument) + "\"\"";
  }
  std::size_t kept = argument.size();
  while (kept > 0 && argument[kept - 1] == '\\') --kept;
  if (kept < argument.size()) {
    // Trailing backslashes go after the quoted part, where both read them literally.
    return inQuotes(quotedBody(argument.substr(0, kept))) + argument.substr(kept);
  }
  return inQuotes(unquotedBody(argument));
}

std::string SpecWriter::encodeArguments(const std::vector<std::string>& arguments) {
  std::string joined;
  for (const std::string& argument : arguments) {
    if (!joined.empty()) joined += ' ';
    joined += encodeArgument(argument);
  }
  return joined;
}

std::string SpecWriter::createdText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto micro = floor<microseconds>(time);
  const auto day = floor<days>(micro);
  const year_month_day date(day);
  const hh_mm_ss<microseconds> clock(micro - day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06lldZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<long long>(clock.subseconds().count()));
  return text;
}

std::string SpecWriter::checkRequest(const SpecRequest& request) {
  if (request.executable.empty()) return "no executable given";
  for (const std::string& error : {lineFeedError("the executable", request.executable, true),
                                   lineFeedError("the queue name", request.queue, true),
                                   lineFeedError("the priority", request.priority, true),
                                   lineFeedError("the name", request.name, true)}) {
    if (!error.empty()) return error;
  }
  for (std::size_t i = 0; i < request.arguments.size(); ++i) {
    if (request.arguments[i].find('\n') != std::string::npos) {
      return "argument " + std::to_string(i + 1) +
             " holds a line feed, which a spec file cannot carry";
    }
  }
  if (!request.queue.empty() &&
      (isWhiteSpace(request.queue.front()) || isWhiteSpace(request.queue.back()))) {
    return "the queue name \"" + request.queue + "\" begins or ends with white space";
  }
  return "";
}

std::string SpecWriter::makeStem(const std::string& name,
                                 std::chrono::system_clock::time_point time) {
  std::string prefix;
  for (char c : name.substr(0, 64)) {
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-';
    prefix += kept ? c : '_';
  }
  if (prefix.empty()) prefix = "job";
  // A leading dot would hide the file from people listing the folder.
  if (prefix.front() == '.') prefix.front() = '_';
  std::string stamp;
  for (char c : createdText(time)) {
    if (c != '-' && c != ':') stamp += c;
  }
  return prefix + "-" + stamp + "-" + randomHex();
}

SpecResult SpecWriter::write(const std::string& pendingDirectory, const SpecRequest& request,
                             std::chrono::system_clock::time_point now) {
  SpecResult result;
  result.error = checkRequest(request);
  if (!result.error.empty()) return result;
  if (!ZelcorCorelib::isDirectory(pendingDirectory)) {
    result.error = "the pending folder \"" + pendingDirectory + "\" does not exist";
    return result;
  }
  ZelcorCorelib::KeyValueMap entries;
  entries.emplace("executable", request.executable);
  entries.emplace("arguments", encodeArguments(request.arguments));
  entries.emplace("created", createdText(now));
  if (!request.queue.empty()) entries.emplace("queue", request.queue);
  if (!request.priority.empty()) entries.emplace("priority-level", request.priority);
  if (!request.name.empty()) entries.emplace("name", request.name);

  std::string stem = makeStem(request.name, now);
  const std::string temporary = joinPath(pendingDirectory, ".jsctl-" + stem + ".tmp");
  // Written whole and synced under a name the scheduler ignores.
  if (!ZelcorCorelib::writeKeyValueFile(entries, temporary)) {
    result.error = "cannot write \"" + temporary + "\"";
    return result;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string target = joinPath(pendingDirectory, stem + ".spec");
    if (ZelcorCorelib::moveFile(temporary, target, false)) {
      ZelcorCorelib::syncDirectory(pendingDirectory);
      result.ok = true;
      result.path = target;
      return result;
    }
    if (!ZelcorCorelib::exists(target)) {
      result.error = "cannot rename \"" + temporary + "\" to \"" + target + "\"";
      break;
    }
    stem = makeStem(request.name, now);
  }
  if (result.error.empty()) result.error = "no free spec file name in \"" + pendingDirectory + "\"";
  ZelcorCorelib::deleteFile(temporary, false);
  return result;
}

}  // namespace Zelcor
