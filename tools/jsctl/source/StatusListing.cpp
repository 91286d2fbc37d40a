#include "StatusListing.h"

#include <cctype>
#include <charconv>
#include <cstdio>

#include "JsonText.h"
#include "files/FileUtils.h"

namespace Zelcor {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimBlanks(const std::string& text) {
  std::size_t first = 0;
  while (first < text.size() && isBlank(text[first])) ++first;
  std::size_t last = text.size();
  while (last > first && isBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == prefix;
}

template <typename Number>
bool parseNumber(const std::string& text, Number& value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && next == end;
}

// Takes a trailing "<blank>key:<integer>" off text.
bool takeTrailingField(std::string& text, const std::string& key, std::int64_t& value) {
  std::string trimmed = trimBlanks(text);
  const std::string marker = key + ":";
  std::size_t at = lower(trimmed).rfind(marker);
  if (at == std::string::npos || at == 0 || !isBlank(trimmed[at - 1])) return false;
  if (!parseNumber(trimBlanks(trimmed.substr(at + marker.size())), value)) return false;
  text = trimBlanks(trimmed.substr(0, at));
  return true;
}

bool isCountLine(const std::string& content) {
  std::size_t digits = 0;
  while (digits < content.size() && std::isdigit(static_cast<unsigned char>(content[digits]))) {
    ++digits;
  }
  if (digits == 0) return false;
  const std::string word = lower(trimBlanks(content.substr(digits)));
  return word == "jobs" || word == "job";
}

void appendJobs(std::string& out, const char* name, const std::vector<ListedJob>& jobs) {
  out += "  \"";
  out += name;
  out += "\": [";
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const ListedJob& job = jobs[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"queue\": ";
    appendJsonString(out, job.queue);
    out += ", \"number\": " + std::to_string(job.number) + ", \"pid\": ";
    appendJsonNumber(out, job.pid);
    out += ", \"executable\": ";
    appendJsonString(out, job.executable);
    out += ", \"arguments\": ";
    appendJsonString(out, job.arguments);
    out += ", \"command\": ";
    appendJsonString(out, job.command);
    out += "}";
  }
  out += jobs.empty() ? "],\n" : "\n  ],\n";
}

}  // namespace

StatusListing StatusListing::parse(const std::string& text) {
  StatusListing listing;
  Section section = Section::queues;
  std::string blockQueue;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    listing.parseLine(line, section, blockQueue);
    start = end + 1;
  }
  return listing;
}

void StatusListing::parseLine(const std::string& line, Section& section, std::string& blockQueue) {
  std::size_t first = 0;
  while (first < line.size() && isBlank(line[first])) ++first;
  if (first == line.size()) return;
  const std::string content = line.substr(first);

  std::string heading = lower(trimBlanks(content));
  if (!heading.empty() && heading.back() == ':') heading.pop_back();
  if (heading == "pending jobs" || heading == "running jobs" || heading == "finished jobs") {
    section = heading[0] == 'p'   ? Section::pending
              : heading[0] == 'r' ? Section::running
                                  : Section::finished;
    blockQueue.clear();
    return;
  }
  if (startsWithNoCase(content, "queue:")) {
    const std::string rest = content.substr(6);
    if (section == Section::queues) {
      if (parseQueueDefinition(rest)) return;
    } else {
      blockQueue = trimBlanks(rest);
      return;
    }
  } else if (section != Section::queues) {
    if (content[0] == '[' && parseJob(content, section, blockQueue)) return;
    if (isCountLine(content)) return;
  }
  unparsed.push_back(line);
}

bool StatusListing::parseQueueDefinition(const std::string& rest) {
  ListedQueue queue;
  std::string name = rest;
  std::int64_t value = 0;
  // The fields come in the order max, priority; either may be missing in a hand-made text.
  if (takeTrailingField(name, "priority", value)) queue.priorityLevel = value;
  if (takeTrailingField(name, "max", value)) queue.maxCores = value;
  queue.name = trimBlanks(name);
  if (queue.name.empty()) return false;
  queues.push_back(std::move(queue));
  return true;
}

bool StatusListing::parseJob(const std::string& content, Section section,
                             const std::string& blockQueue) {
  const std::size_t close = content.find(']');
  if (close == std::string::npos) return false;
  ListedJob job;
  job.queue = blockQueue;
  if (!parseNumber(trimBlanks(content.substr(1, close - 1)), job.number)) return false;
  std::string rest = content.substr(close + 1);
  std::size_t first = 0;
  while (first < rest.size() && isBlank(rest[first])) ++first;
  rest.erase(0, first);
  if (section == Section::running) {
    const std::size_t blank = rest.find(' ');
    std::uint64_t pid = 0;
    if (!parseNumber(rest.substr(0, blank), pid)) return false;
    job.pid = pid;
    rest = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
  }
  splitCommand(rest, job.executable, job.arguments);
  if (job.executable.empty()) return false;
  job.command = job.arguments.empty() ? job.executable : job.executable + " " + job.arguments;
  std::vector<ListedJob>& target = section == Section::pending   ? pending
                                   : section == Section::running ? running
                                                                 : finished;
  target.push_back(std::move(job));
  return true;
}

void StatusListing::splitCommand(const std::string& command, std::string& executable,
                                 std::string& arguments) {
  std::size_t end = std::string::npos;
  if (!command.empty() && (command[0] == '"' || command[0] == '\'')) {
    for (std::size_t j = command.find(command[0], 1); j != std::string::npos;
         j = command.find(command[0], j + 1)) {
      if (j + 1 == command.size() || command[j + 1] == ' ') {
        end = j + 1;
        break;
      }
    }
  }
  if (end == std::string::npos) end = command.find(' ');
  if (end == std::string::npos) {
    executable = command;
    arguments.clear();
    return;
  }
  executable = command.substr(0, end);
  arguments = end + 1 <= command.size() ? command.substr(end + 1) : std::string();
}

std::string StatusListing::toJson() const {
  std::string out = "{\n  \"queues\": [";
  for (std::size_t i = 0; i < queues.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"name\": ";
    appendJsonString(out, queues[i].name);
    out += ", \"max\": ";
    appendJsonNumber(out, queues[i].maxCores);
    out += ", \"priority\": ";
    appendJsonNumber(out, queues[i].priorityLevel);
    out += "}";
  }
  out += queues.empty() ? "],\n" : "\n  ],\n";
  appendJobs(out, "pending", pending);
  appendJobs(out, "running", running);
  appendJobs(out, "finished", finished);
  out += "  \"unparsed\": [";
  for (std::size_t i = 0; i < unparsed.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    appendJsonString(out, unparsed[i]);
  }
  out += unparsed.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace Zelcor
