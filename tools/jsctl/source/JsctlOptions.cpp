#include "JsctlOptions.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <map>

#include "cli/CmdParser.h"

namespace Zelcor {

namespace {

using Action = JsctlOptions::Action;
using ZelcorCorelib::CmdParser;

const std::map<std::string, Action>& commandWords() {
  static const std::map<std::string, Action> words = {
      {"status", Action::status}, {"start", Action::start},   {"stop", Action::stop},
      {"pause", Action::pause},   {"resume", Action::resume}, {"submit", Action::submit},
      {"wait", Action::wait},     {"cancel", Action::cancel}, {"show", Action::show},
      {"list", Action::list},     {"log", Action::log}};
  return words;
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
         action == Action::pause || action == Action::resume || action == Action::cancel;
}

// Long names (the short ones: -h, -c) that take a value; "json" and "help" take none.
void defineOptions(CmdParser& parser) {
  CmdParser::Syntax syntax;
  syntax.inlineValues = true;
  syntax.keepEmptyArguments = true;  // an empty word is a mistake to name, not to skip
  syntax.keepQuotes = true;          // the shell has removed its quotes; the rest are data
  syntax.stopAfterPositionals = 1;   // the command word, then submit's executable
  parser.setSyntax(syntax);
  parser.addOption("word", CmdParser::kPositional);
  parser.addOption("help", CmdParser::kFlag, 'h', "help");
  parser.addOption("config", CmdParser::kValue, 'c', "config");
  parser.addOption("json", CmdParser::kFlag, 0, "json");
  parser.addOption("wait", CmdParser::kFlag, 0, "wait");
  parser.addOption("follow", CmdParser::kFlag, 'f', "follow");
  for (const char* name : {"host", "port", "timeout", "key-file", "pending", "queue", "priority",
                           "name", "finished"}) {
    parser.addOption(name, CmdParser::kValue, 0, name);
  }
}

// The option as the user wrote it.
std::string shown(const std::string& name) {
  if (name == "config" || name == "c") return "-c";
  return name == "follow" ? "-f" : "--" + name;
}

std::string parseFailure(const CmdParser::ParseError& failure, const std::string& message) {
  using Failure = CmdParser::Failure;
  const bool isLong = failure.token.rfind("--", 0) == 0;
  switch (failure.failure) {
    case Failure::kUnknownOption:
    case Failure::kValueInsideToken:
      return "unknown option \"" + (isLong ? "--" + failure.name : failure.token) + "\"";
    case Failure::kMissingValue:
      return (isLong ? "--" + failure.name : "-" + failure.name) + " needs a value";
    case Failure::kUnexpectedValue:
      return "--" + failure.name + " takes no value";
    default:
      return message;
  }
}

bool dashDashMisplaced(std::string& error) {
  error = "\"--\" only comes before the executable of submit";
  return false;
}

}  // namespace

// Help, a repeated option and a parse failure, in the order they were met on the line.
JsctlOptions::Outcome JsctlOptions::takeParsed(const CmdParser& parser, bool parsed, Given& given,
                                               std::string& error) {
  for (const CmdParser::ParsedOption& option : parser.getParsedOptions()) {
    const std::string& name = option.option->longName;
    if (name == "help") return Outcome::help;
    if (given.count(name) != 0) {
      error = shown(name) + " is given twice";
      return Outcome::failed;
    }
    given[name] = option.value;
  }
  if (parsed) return Outcome::next;
  error = parseFailure(parser.getParseError(), error);
  return Outcome::failed;
}

bool JsctlOptions::finish(Outcome outcome, JsctlOptions& options) {
  if (outcome != Outcome::help) return false;
  options = JsctlOptions();
  options.action = Action::help;
  return true;
}

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
  // The options before the command word, and the word.
  Given given;
  CmdParser leading;
  defineOptions(leading);
  const bool leadingParsed = leading.parse(arguments, error);
  Outcome outcome = takeParsed(leading, leadingParsed, given, error);
  if (outcome != Outcome::next) return finish(outcome, options);
  if (leading.getOptionsEndPosition()) return dashDashMisplaced(error);
  if (leading.getPositionalValues().empty()) {
    error = "no command given";
    return false;
  }
  const std::string& word = leading.getPositionalValues().front();
  auto known = commandWords().find(word);
  if (known == commandWords().end()) {
    error = "unknown command \"" + word + "\"";
    return false;
  }
  options.action = known->second;

  // The command's options, and for submit the executable; what follows it is the job's.
  CmdParser trailing;
  defineOptions(trailing);
  const bool trailingParsed = trailing.parse(leading.getRemainingArguments(), error);
  outcome = takeParsed(trailing, trailingParsed, given, error);
  if (outcome != Outcome::next) return finish(outcome, options);
  const std::vector<std::string>& words = trailing.getPositionalValues();
  if (options.action == Action::submit) {
    if (!words.empty()) {
      options.executable = words.front();
      options.arguments = trailing.getRemainingArguments();
    }
  } else if (options.action == Action::wait || options.action == Action::cancel ||
             options.action == Action::show || options.action == Action::log) {
    if (trailing.getOptionsEndPosition()) return dashDashMisplaced(error);
    if (!words.empty()) options.jobName = words.front();
    if (!trailing.getRemainingArguments().empty()) {
      error = "unexpected argument \"" + trailing.getRemainingArguments().front() + "\"";
      return false;
    }
  } else {
    if (trailing.getOptionsEndPosition()) return dashDashMisplaced(error);
    if (!words.empty()) {
      error = "unexpected argument \"" + words.front() + "\"";
      return false;
    }
  }
  return check(given, options, error);
}

bool JsctlOptions::check(Given& given, JsctlOptions& options, std::string& error) {
  const bool submit = options.action == Action::submit;
  const bool wait = options.action == Action::wait;
  options.wait = given.count("wait") != 0;
  if (options.wait && !submit) {
    error = "--wait applies to submit only (to wait for a job already submitted: jsctl wait)";
    return false;
  }
  const bool waiting = options.wait || wait;
  const bool looking = options.action == Action::show || options.action == Action::list ||
                       options.action == Action::log;
  for (const char* name : {"host", "port", "key-file"}) {
    if ((submit || wait || looking) && given.count(name) != 0) {
      error = std::string("--") + name + " applies to status, start, stop, pause and resume";
      return false;
    }
  }
  if (submit && !waiting && given.count("timeout") != 0) {
    error = "--timeout applies to submit only with --wait";
    return false;
  }
  if (looking && given.count("timeout") != 0) {
    error = "--timeout applies to status, start, stop, pause, resume, cancel, wait and submit";
    return false;
  }
  options.follow = given.count("follow") != 0;
  if (options.follow && options.action != Action::log) {
    error = "-f applies to log only";
    return false;
  }
  if (options.action == Action::list && given.count("finished") != 0) {
    const std::string& count = given["finished"];
    if (count.empty() || count.size() > 6 ||
        count.find_first_not_of("0123456789") != std::string::npos) {
      error = "list --finished needs a number of finished jobs to list, not \"" + count + "\"";
      return false;
    }
    options.finishedCount = static_cast<std::size_t>(std::stoul(count));
  } else if (given.count("finished") != 0) {
    if (!waiting) {
      error = "--finished applies to wait, submit --wait and list only";
      return false;
    }
    options.finishedDirectory = given["finished"];
    if (options.finishedDirectory.empty()) {
      error = "--finished needs a folder";
      return false;
    }
  }
  if (options.action != Action::status && options.action != Action::list &&
      given.count("json") != 0) {
    error = "--json applies to status and list only";
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
  if (given.count("key-file") != 0) {
    options.keyFile = given["key-file"];
    if (options.keyFile.empty()) {
      error = "--key-file needs a file name";
      return false;
    }
  }
  if (given.count("timeout") != 0) {
    std::chrono::milliseconds limit{0};
    if (!parseSeconds(given["timeout"], limit)) {
      error = "--timeout needs a number of seconds above 0, not \"" + given["timeout"] + "\"";
      return false;
    }
    options.timeout = limit;
  }

  // wait and cancel name a job by its spec file.
  const auto nameGiven = [&](const char* command, const char* usage) {
    if (options.jobName.empty()) {
      error = std::string(command) + " needs the job's spec file name: " + usage;
      return false;
    }
    if (options.jobName.find('/') != std::string::npos) {
      error = std::string(command) + " takes the spec file's name, not a path: \"" +
              options.jobName + "\"";
      return false;
    }
    return true;
  };
  // What a command reads comes from its own option or from the configuration, exactly one.
  const auto eitherOrConfiguration = [&](bool own, const std::string& option,
                                         const std::string& value, const std::string& what) {
    if (own && !options.configFile.empty()) {
      error = "give either " + option + " or -c, not both";
      return false;
    }
    if (!own && options.configFile.empty()) {
      error = "the " + what + " is needed: give " + option + " " + value + " or -c CONF";
      return false;
    }
    return true;
  };
  if (wait) {
    if (!nameGiven("wait", "jsctl wait (--finished DIR | -c CONF) NAME")) return false;
    return eitherOrConfiguration(!options.finishedDirectory.empty(), "--finished", "DIR",
                                 "finished folder");
  }

  if (looking) {
    if (options.action == Action::show && !nameGiven("show", "jsctl show -c CONF NAME")) {
      return false;
    }
    if (options.action == Action::log && !nameGiven("log", "jsctl log -c CONF [-f] NAME")) {
      return false;
    }
    if (options.configFile.empty()) {
      error = "the job folders are needed: give -c CONF (the scheduler's configuration file)";
      return false;
    }
    return true;
  }

  if (isControl(options.action)) {
    if (options.action == Action::cancel &&
        !nameGiven("cancel", "jsctl (--port P | -c CONF) cancel NAME")) {
      return false;
    }
    return eitherOrConfiguration(options.port.has_value(), "--port", "P", "scheduler's port");
  }

  if (given.count("pending") != 0) {
    options.pendingDirectory = given["pending"];
    if (options.pendingDirectory.empty()) {
      error = "--pending needs a folder";
      return false;
    }
  }
  if (!eitherOrConfiguration(!options.pendingDirectory.empty(), "--pending", "DIR",
                             "pending folder")) {
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
      error =
          "--priority needs one of \"very low\", \"low\", \"normal\", \"high\", "
          "\"very high\" or 0 to 4, not \"" +
          given["priority"] + "\"";
      return false;
    }
  }
  if (given.count("name") != 0) options.name = given["name"];
  if (options.executable.empty()) {
    error = "submit needs the executable: jsctl submit [options] -- EXECUTABLE [ARGS...]";
    return false;
  }
  if (options.wait && options.configFile.empty() && options.finishedDirectory.empty()) {
    error = "submit --wait needs the finished folder: give --finished DIR or -c CONF";
    return false;
  }
  return true;
}

std::string JsctlOptions::helpText() {
  return R"(Usage:
  jsctl [--host H] (--port P | -c CONF) [--key-file F] [--timeout S] status [--json]
  jsctl [--host H] (--port P | -c CONF) [--key-file F] [--timeout S] start|stop|pause|resume
  jsctl submit (--pending DIR | -c CONF) [--queue Q] [--priority P] [--name N]
        [--wait [--finished DIR] [--timeout S]] -- EXECUTABLE [ARGS...]
  jsctl wait (--finished DIR | -c CONF) [--timeout S] NAME
  jsctl [--host H] (--port P | -c CONF) [--key-file F] [--timeout S] cancel NAME
  jsctl show -c CONF NAME
  jsctl list -c CONF [--finished N] [--json]
  jsctl log -c CONF [-f] NAME
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
             its path; the scheduler picks it up at once (within a second)
  cancel     cancel the job whose spec file is NAME (with or without ".spec"):
             a queued job goes to the finished folder and never starts; a
             running one gets SIGTERM, and SIGKILL after the scheduler's kill
             grace; either is stamped end-reason=cancelled. Prints what the
             scheduler did; exit code 1 when it found no such job
  wait       wait until the job whose spec file is NAME (with or without
             ".spec") is in the finished folder, and exit with its status
             (see "Exit codes")
  show       print where the job NAME is (pending, queued in which queue,
             running or finished; the latest of that name when several have
             finished) and every key of its spec file
  list       list the running, queued and pending jobs and the newest
             finished ones: state, queue, name, times, exit status, end reason
  log        print the output of the job NAME (its standard output and error,
             in the file the scheduler's jobscheduler.job-output-dir or the
             job's "output" key gave it); with -f, follow it as it is written
             until the job has finished

  show, list and log read the job folders named in the configuration; they
  need no running scheduler, only read access to those folders.

Options:
  --host H       host of the scheduler (default 127.0.0.1)
  --port P       the scheduler's command port (1 to 65535)
  --key-file F   the command port's key file (mode 0600), when the scheduler has one;
                 with -c and without this option, the file named by
                 jobscheduler.control-key-file is used
  -c CONF        the scheduler's configuration file: the port is read from
                 jobscheduler.port, the pending folder from
                 jobscheduler.jobdir.pending-dir
  --timeout S    wait and submit --wait: give up waiting for the job after S
                 seconds (exit code 1). The control commands: give up waiting
                 for the scheduler's answer after S seconds
                 (fractions allowed); a STOP or PAUSE already sent stays in
                 effect on the scheduler. Without it, jsctl waits as long as the
                 scheduler keeps reporting that it is working, and gives up
                 after 15 s of silence
  --json         list: print the jobs as a JSON array of objects (state,
                 queue, name, path, created, queued, started, ended, pid,
                 exit-status, end-reason, output, executable, arguments).
                 status: print the listing as JSON, an object with
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
  --wait         submit only: then wait for the job as jsctl wait does
  --finished DIR the finished folder, for wait and submit --wait (with -c:
                 jobscheduler.jobdir.finished-dir)
  --finished N   list only: how many finished jobs to list, newest first
                 (default 10; 0 for none)
  -f             log only: follow the output until the job has finished
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

  wait and submit --wait exit with the job's own exit status when it has
  finished (0 to 255: 128 + N for a job ended by signal N; 126 or 127 for a
  program that could not be executed), 124 when its time limit ran out and
  125 when it was cancelled. jsctl's own failures keep the codes above, so a
  job's status 1 or 2 and jsctl's look alike: the message on standard error
  tells them apart ("jsctl: ..."; nothing is printed for the job's own end).
)";
}

}  // namespace Zelcor
