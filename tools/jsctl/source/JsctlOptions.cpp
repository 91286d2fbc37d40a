#include "JsctlOptions.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <set>

namespace Zelcor {

namespace {

using Action = JsctlOptions::Action;

const std::map<std::string, Action>& commandWords() {
  static const std::map<std::string, Action> words = {
      {"status", Action::status}, {"start", Action::start},   {"stop", Action::stop},
      {"pause", Action::pause},   {"resume", Action::resume}, {"submit", Action::submit}};
  return words;
}

// Long option names that take a value; "json" and "help" take none.
const std::set<std::string>& valueOptions() {
  static const std::set<std::string> names = {"host",     "port",  "config",   "timeout",
                                              "pending",  "queue", "priority", "name"};
  return names;
}

bool parsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  port = std::stoi(text);
  return port >= 1 && port <= 65535;
}

bool parseSeconds(const std::string& text, std::chrono::milliseconds& limit) {
  double seconds = 0;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, seconds);
  if (text.empty() || error != std::errc() || next != end || !std::isfinite(seconds) ||
      seconds <= 0 || seconds > 1e6) {
    return false;
  }
  limit = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
  return true;
}

bool isControl(Action action) {
  return action == Action::status || action == Action::start || action == Action::stop ||
         action == Action::pause || action == Action::resume;
}

}  // namespace

std::string JsctlOptions::canonicalPriority(const std::string& text) {
  static const char* const kNames[] = {"very low", "low", "normal", "high", "very high"};
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') return text;
  std::string folded;
  for (char c : text) folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* name : kNames) {
    if (folded == name) return name;
  }
  return "";
}

bool JsctlOptions::parse(const std::vector<std::string>& arguments, JsctlOptions& options,
                         std::string& error) {
  options = JsctlOptions();
  std::map<std::string, std::string> given;
  bool rest = false;
  std::size_t i = 0;
  for (; i < arguments.size(); ++i) {
    const std::string& token = arguments[i];
    if (token == "--") {
      if (options.action != Action::submit) {
        error = "\"--\" only comes before the executable of submit";
        return false;
      }
      rest = true;
      ++i;
      break;
    }
    std::string name;
    std::optional<std::string> value;
    if (token == "-h" || token == "--help") {
      options.action = Action::help;
      return true;
    } else if (token == "-c") {
      name = "config";
    } else if (token.rfind("--", 0) == 0) {
      name = token.substr(2);
      const std::size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.erase(equals);
      }
      if (name != "json" && valueOptions().count(name) == 0) {
        error = "unknown option \"--" + name + "\"";
        return false;
      }
    } else if (token.size() > 1 && token[0] == '-') {
      error = "unknown option \"" + token + "\"";
      return false;
    } else if (options.action == Action::none) {
      auto word = commandWords().find(token);
      if (word == commandWords().end()) {
        error = "unknown command \"" + token + "\"";
        return false;
      }
      options.action = word->second;
      continue;
    } else if (options.action == Action::submit) {
      // The executable; everything after it is the job's, options included.
      rest = true;
      break;
    } else {
      error = "unexpected argument \"" + token + "\"";
      return false;
    }

    const std::string shown = token == "-c" ? "-c" : "--" + name;
    if (given.count(name) != 0) {
      error = shown + " is given twice";
      return false;
    }
    if (name == "json") {
      if (value) {
        error = "--json takes no value";
        return false;
      }
      given[name] = "";
      continue;
    }
    if (!value) {
      if (i + 1 >= arguments.size()) {
        error = shown + " needs a value";
        return false;
      }
      value = arguments[++i];
    }
    given[name] = *value;
  }
  if (rest && i < arguments.size()) {
    options.executable = arguments[i];
    options.arguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                             arguments.end());
  }

  if (options.action == Action::none) {
    error = "no command given";
    return false;
  }
  const bool submit = options.action == Action::submit;
  for (const char* name : {"host", "port", "timeout"}) {
    if (submit && given.count(name) != 0) {
      error = std::string("--") + name + " applies to status, start, stop, pause and resume";
      return false;
    }
  }
  if (options.action != Action::status && given.count("json") != 0) {
    error = "--json applies to status only";
    return false;
  }
  for (const char* name : {"pending", "queue", "priority", "name"}) {
    if (!submit && given.count(name) != 0) {
      error = std::string("--") + name + " applies to submit only";
      return false;
    }
  }

  if (given.count("config") != 0) {
    options.configFile = given["config"];
    if (options.configFile.empty()) {
      error = "-c needs a file name";
      return false;
    }
  }
  options.json = given.count("json") != 0;
  if (given.count("host") != 0) {
    options.host = given["host"];
    if (options.host.empty()) {
      error = "--host needs a host name";
      return false;
    }
  }
  if (given.count("port") != 0) {
    int port = 0;
    if (!parsePort(given["port"], port)) {
      error = "--port needs a number from 1 to 65535, not \"" + given["port"] + "\"";
      return false;
    }
    options.port = port;
  }
  if (given.count("timeout") != 0) {
    std::chrono::milliseconds limit{0};
    if (!parseSeconds(given["timeout"], limit)) {
      error = "--timeout needs a number of seconds above 0, not \"" + given["timeout"] + "\"";
      return false;
    }
    options.timeout = limit;
  }

  if (isControl(options.action)) {
    if (options.port && !options.configFile.empty()) {
      error = "give either --port or -c, not both";
      return false;
    }
    if (!options.port && options.configFile.empty()) {
      error = "the scheduler's port is needed: give --port P or -c CONF";
      return false;
    }
    return true;
  }

  if (given.count("pending") != 0) {
    options.pendingDirectory = given["pending"];
    if (options.pendingDirectory.empty()) {
      error = "--pending needs a folder";
      return false;
    }
  }
  if (!options.pendingDirectory.empty() && !options.configFile.empty()) {
    error = "give either --pending or -c, not both";
    return false;
  }
  if (options.pendingDirectory.empty() && options.configFile.empty()) {
    error = "the pending folder is needed: give --pending DIR or -c CONF";
    return false;
  }
  if (given.count("queue") != 0) {
    options.queue = given["queue"];
    if (options.queue.empty()) {
      error = "--queue needs a queue name";
      return false;
    }
  }
  if (given.count("priority") != 0) {
    options.priority = canonicalPriority(given["priority"]);
    if (options.priority.empty()) {
      error = "--priority needs one of \"very low\", \"low\", \"normal\", \"high\", "
              "\"very high\" or 0 to 4, not \"" + given["priority"] + "\"";
      return false;
    }
  }
  if (given.count("name") != 0) options.name = given["name"];
  if (options.executable.empty()) {
    error = "submit needs the executable: jsctl submit [options] -- EXECUTABLE [ARGS...]";
    return false;
  }
  return true;
}

std::string JsctlOptions::helpText() {
  return R"(Usage:
  jsctl [--host H] (--port P | -c CONF) [--timeout S] status [--json]
  jsctl [--host H] (--port P | -c CONF) [--timeout S] start|stop|pause|resume
  jsctl submit (--pending DIR | -c CONF) [--queue Q] [--priority P] [--name N]
        -- EXECUTABLE [ARGS...]
  jsctl --help

Controls a running job scheduler through its command port, or hands it a job.

Commands:
  status     print the scheduler's listing of queues and pending, running and
             finished jobs
  start      send START: the scheduler takes jobs again after a stop
  stop       send STOP and wait until no job runs any more; prints
             "waiting for running jobs to finish... N s" while it waits
  pause      send PAUSE and wait until every queue has paused; prints
             "waiting for the queues to pause... N s" while it waits
  resume     send RESUME: paused queues start jobs again
  submit     write a job specification file into the pending folder and print
             its path; the scheduler picks it up within a second

Options:
  --host H       host of the scheduler (default 127.0.0.1)
  --port P       the scheduler's command port (1 to 65535)
  -c CONF        the scheduler's configuration file: the port is read from
                 jobscheduler.port, the pending folder from
                 jobscheduler.jobdir.pending-dir
  --timeout S    give up waiting for the scheduler's answer after S seconds
                 (fractions allowed); a STOP or PAUSE already sent stays in
                 effect on the scheduler. Without it, jsctl waits as long as the
                 scheduler keeps reporting that it is working, and gives up
                 after 15 s of silence
  --json         status only: print the listing as JSON, an object with
                 "queues" (name, max, priority), "pending", "running" and
                 "finished" (queue, number, pid, executable, arguments, command)
                 and "unparsed" (listing lines that could not be read)
  --pending DIR  the pending folder to write the spec file into
  --queue Q      the job's queue ("queue" key; the scheduler's default queue
                 when omitted or unknown to it)
  --priority P   very low, low, normal, high, very high, or 0 to 4
                 ("priority-level" key; normal when omitted)
  --name N       a name for the job ("name" key), also the start of the spec
                 file's name
  --             ends jsctl's options; the executable and its arguments follow
                 (also without "--", the first word after submit's options is
                 the executable)
  -h, --help     print this text

Submit details:
  The executable is given to the scheduler as an absolute path: a name
  without "/" is looked up on PATH, a relative path is taken from the current
  folder. Every argument reaches the job unchanged, blanks and quotes
  included; only a line feed cannot be carried. Text between two "%" signs is
  a reference that the scheduler resolves from its configuration (jsctl warns
  about it). "created" is the current UTC time with microseconds
  (2025-01-31T23:59:58.123456Z), so jobs of equal priority run in the order
  they were submitted. The file is written under a hidden ".tmp" name, synced,
  and renamed to a new "*.spec" name that never replaces another file. A job
  whose executable and arguments equal those of a job the queue still holds
  is dropped by the scheduler as a duplicate.

Exit codes:
  0  done
  1  the scheduler could not be reached, refused the connection, broke off
     the conversation or did not answer in time; or the spec file could not
     be written
  2  usage error: bad command line, unreadable configuration file, executable
     not found
)";
}

}  // namespace Zelcor
