// Turns a program's argument vector into named option values and positional arguments, and
// writes the usage text. The application frame owns one parser: it initialises it with the
// standard options, the application adds its own, and the frame parses the command line. An
// option may be added at any time, also after a parse; the next parse knows it, so a first
// pass may run with every option defined and a later pass simply parses again.
// Parse errors come back as one line of text in the out message, never as an exception.
// Not thread-safe: one thread (the main thread) defines, parses and queries. Option records
// are owned by the parser; pointers to them stay valid for the parser's life.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace ZelcorCorelib {

class CmdParser {
 public:
  // Option kinds.
  static constexpr int kPositional = 0;  // a bare argument
  static constexpr int kFlag = 1;        // -x or --name
  static constexpr int kValue = 2;       // as a flag, the value in the next argument
  static constexpr int kChoice = 3;      // as kValue, the value one of the allowed values
  static constexpr int kAssignment = 4;  // name=value, no dashes
  static constexpr int kRest = 5;        // as a flag, the value all remaining arguments

  struct OptionDefinition {
    std::size_t sequenceNumber = 0;
    int kind = kFlag;
    char shortChar = 0;  // 0: none
    std::string longName;
    std::string description;
    std::vector<std::string> allowedValues;
  };

  struct ParsedOption {
    const OptionDefinition* option = nullptr;
    std::string value;
  };

  CmdParser() = default;
  CmdParser(const CmdParser&) = delete;
  CmdParser& operator=(const CmdParser&) = delete;
  virtual ~CmdParser() = default;

  // Only the first call has an effect (and returns true). With addStandardOptions it defines
  // "help" (-?), "version" when version is not empty, "revision" when revision is not empty,
  // and "debug" (a value); with addConfigurationFileOption the short value option "c".
  // An empty applicationName means that no program-name argument comes first.
  bool init(const std::string& applicationName, const std::string& version,
            const std::string& revision, bool addStandardOptions, bool acceptExtraArguments,
            bool addConfigurationFileOption);

  // False, and nothing defined, for an invalid definition: an unknown kind; a positional with
  // a name or allowed values; an option without short character and long name; a choice
  // without allowed values; an assignment with a short character, without a long name or with
  // "=" in it; the short character '-'; or a short character or long name that another option
  // already uses (which would make one of the two unreachable).
  bool addOption(const std::string& description, int kind, char shortChar = 0,
                 const std::string& longName = "",
                 const std::vector<std::string>& allowedValues = {});

  // Replaces the results of any earlier parse. True on success; message then holds the usage
  // text when "help" was given, else the version or revision string when one of those was
  // asked for, else nothing. On failure message holds the error line and what was recorded
  // before the error stays recorded. A "debug" value naming a log level sets the process-wide
  // level ceiling.
  bool parse(const std::vector<std::string>& arguments, std::string& message);
  bool parse(int argc, const char* const* argv, std::string& message);

  bool isSet(char shortChar) const;
  bool isSet(const std::string& longName) const;
  // The value given last when the option was given more than once; empty for a flag.
  // False, value untouched, when the option was not given.
  bool getValue(char shortChar, std::string& value) const;
  bool getValue(const std::string& longName, std::string& value) const;

  bool isDefined(char shortChar) const { return findShort(shortChar) != nullptr; }
  bool isDefined(const std::string& longName) const { return findLong(longName) != nullptr; }

  std::string usage() const;

  // The whole argument vector of the last parse, program name first.
  const std::vector<std::string>& getArguments() const { return arguments; }
  const std::string& getProgramName() const { return programName; }
  // Positional values in command-line order; those past the definitions are extra arguments.
  const std::vector<std::string>& getPositionalValues() const { return parsedArguments; }
  // In command-line order.
  const std::vector<ParsedOption>& getParsedOptions() const { return parsedOptions; }
  const std::string& getApplicationName() const { return applicationName; }
  const std::string& getVersion() const { return version; }
  const std::string& getRevision() const { return revision; }

 private:
  // Kind, then options with a short character (by byte value) before those without, then
  // options with a long name (byte-wise) before those without.
  struct DefinitionOrder {
    bool operator()(const OptionDefinition& a, const OptionDefinition& b) const;
  };

  const OptionDefinition* findShort(char shortChar) const;
  const OptionDefinition* findLong(const std::string& longName) const;
  const ParsedOption* findParsed(const OptionDefinition* option) const;
  // Step for one token; `next` is the index of the argument after it, advanced past any
  // arguments the token consumes. False with message set on an error.
  bool parseOptionToken(const std::string& token, std::size_t& next, std::string& message);
  bool takeValue(const OptionDefinition& option, const std::string& name, bool moreInToken,
                 std::size_t& next, std::string& message);
  bool addPositional(const std::string& value, std::string& message);
  void appendBlock(const OptionDefinition& option, std::string& text) const;

  std::vector<std::string> arguments;
  std::set<OptionDefinition, DefinitionOrder> options;
  std::size_t widestOption = 0;
  std::vector<OptionDefinition> positionalDefinitions;
  bool acceptExtraArguments = false;
  std::string applicationName;
  std::vector<ParsedOption> parsedOptions;
  std::vector<std::string> parsedArguments;
  std::string programName;
  std::string version;
  std::string revision;
  bool initialised = false;
};

}  // namespace ZelcorCorelib
