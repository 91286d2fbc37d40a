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
#include <optional>
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

  // What stopped the last parse, for a caller that words its own messages: name is the option
  // as looked up (no dashes, no "=value") or the positional, token the argument as written.
  enum class Failure {
    kNone,
    kMissingExecutable,
    kUnknownOption,
    kNotAssignment,     // a non-assignment written name=value, or an assignment without "="
    kValueInsideToken,  // a value option inside a group of short options
    kMissingValue,
    kInvalidValue,     // not one of a choice's allowed values
    kUnexpectedValue,  // "--flag=value", with inline values on
    kTooManyArguments,
  };
  struct ParseError {
    Failure failure = Failure::kNone;
    std::string name;
    std::string token;
  };

  // Opt-in syntax for a tool that takes a command word and hands the rest of its line to
  // another program; the defaults keep the framework's standard syntax described above.
  struct Syntax {
    // "--name=value" gives a value option its value (a flag so written is kUnexpectedValue).
    bool inlineValues = false;
    // An empty argument is a positional instead of being skipped.
    bool keepEmptyArguments = false;
    // Values keep surrounding double quotes: a POSIX shell has removed its own already.
    bool keepQuotes = false;
    // Once this many positionals are recorded the parse stops, and the arguments after the
    // last of them are left untouched, options and "--" included (getRemainingArguments).
    // 0: never.
    std::size_t stopAfterPositionals = 0;
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

  void setSyntax(const Syntax& value) { syntax = value; }
  const Syntax& getSyntax() const { return syntax; }
  // kNone after a successful parse.
  const ParseError& getParseError() const { return parseError; }
  // With Syntax::stopAfterPositionals: what the last parse left untouched.
  const std::vector<std::string>& getRemainingArguments() const { return remainingArguments; }
  // How many positionals were recorded when a "--" ended the options; none without "--".
  std::optional<std::size_t> getOptionsEndPosition() const { return optionsEndPosition; }

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
  bool takeValue(const OptionDefinition& option, const std::string& name, const std::string& token,
                 bool moreInToken, std::size_t& next, std::string& message);
  // The value's last steps: quotes, the allowed values; then it is recorded.
  bool recordValue(const OptionDefinition& option, const std::string& name,
                   const std::string& token, std::string value, std::string& message);
  // Records the failure and its line; always false.
  bool fail(Failure failure, const std::string& name, const std::string& token, std::string text,
            std::string& message);
  bool addPositional(const std::string& value, std::string& message);
  bool stopsHere() const;
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
  Syntax syntax;
  ParseError parseError;
  std::vector<std::string> remainingArguments;
  std::optional<std::size_t> optionsEndPosition;
};

}  // namespace ZelcorCorelib
