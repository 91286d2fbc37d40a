// jsctl's command line: the command word, the options of the control commands and of submit,
// their checks, and the help text. Parsed by the framework's CmdParser in two passes (the
// options before the command word, then the command's own), so that every mistake gets its own
// message (which option, what was wrong), and everything after submit's executable belongs to
// the job untouched.
// A plain value; parse is a pure function.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ZelcorCorelib {
class CmdParser;
}

namespace Zelcor {

struct JsctlOptions {
  enum class Action {
    none,
    help,
    status,
    start,
    stop,
    pause,
    resume,
    submit,
    wait,
    cancel,
    show,
    list,
    log
  };

  Action action = Action::none;
  std::string host = "127.0.0.1";
  std::optional<int> port;
  std::string configFile;
  std::optional<std::chrono::milliseconds> timeout;
  // The command port's key file (--key-file); empty: the one the configuration names, if any.
  std::string keyFile;
  bool json = false;
  std::string pendingDirectory;
  std::string queue;
  // The scheduler's spelling ("very low" .. "very high", or the digit as given); empty: none.
  std::string priority;
  std::string name;
  std::string executable;
  std::vector<std::string> arguments;
  // submit --wait: wait for the job to finish and exit with its status.
  bool wait = false;
  // The finished folder (--finished); empty: the configuration's.
  std::string finishedDirectory;
  // wait, cancel, show and log: the job's spec file name, with or without ".spec".
  std::string jobName;
  // list --finished N: how many finished jobs, the newest, are listed.
  std::size_t finishedCount = 10;
  // log -f: follow the output until the job has finished.
  bool follow = false;

  // arguments: the command line without the program name. False, with error set to one
  // line, for a usage error.
  static bool parse(const std::vector<std::string>& arguments, JsctlOptions& options,
                    std::string& error);
  static std::string helpText();
  // "very low" .. "very high" in any case, or the digits 0 to 4; empty when not a priority.
  static std::string canonicalPriority(const std::string& text);

 private:
  enum class Outcome { next, help, failed };
  // Long option name to value, from both passes.
  using Given = std::map<std::string, std::string>;

  static Outcome takeParsed(const ZelcorCorelib::CmdParser& parser, bool parsed, Given& given,
                            std::string& error);
  static bool finish(Outcome outcome, JsctlOptions& options);
  // The values' checks, once the command is known.
  static bool check(Given& given, JsctlOptions& options, std::string& error);
};

}  // namespace Zelcor
