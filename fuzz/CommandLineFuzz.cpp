// The command-line parsers, on an argument vector made of the input split at NUL bytes (as the
// kernel hands a program its arguments): the framework's parser set up as the scheduler sets it
// up (the frame's standard options, -c, the scheduler's own), parsed twice as the frame and the
// scheduler's start-up do; jsctl's two-pass option parsing on the same words; and the parser
// with an option of every kind, under the syntax that the program name's first byte picks.
// Properties: a second parse of the same words records the same; a failed parse says why; a
// choice takes only its allowed values; a parse told to stop after n positionals records no
// more than n.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "JobScheduler.h"
#include "JsctlOptions.h"
#include "cli/CmdParser.h"

namespace {

using ZelcorCorelib::CmdParser;

std::vector<std::string> splitArguments(std::string_view bytes) {
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start <= bytes.size()) {
    const std::size_t end = std::min(bytes.find('\0', start), bytes.size());
    arguments.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

struct Recorded {
  bool parsed = false;
  std::string message;
  std::vector<std::string> positionals;
  std::vector<std::string> values;  // long or short name, then the value
  bool operator==(const Recorded&) const = default;
};

Recorded parseOnce(CmdParser& parser, const std::vector<std::string>& arguments) {
  Recorded recorded;
  recorded.parsed = parser.parse(arguments, recorded.message);
  recorded.positionals = parser.getPositionalValues();
  for (const CmdParser::ParsedOption& option : parser.getParsedOptions()) {
    const CmdParser::OptionDefinition& definition = *option.option;
    recorded.values.push_back(definition.longName.empty() ? std::string(1, definition.shortChar)
                                                          : definition.longName);
    recorded.values.push_back(option.value);
  }
  return recorded;
}

void fuzzScheduler(const std::vector<std::string>& arguments) {
  CmdParser parser;
  parser.init("JobScheduler", "1.0.0", "0123abcd", true, false, true);
  Zelcor::JobScheduler::addSchedulerOptions(parser);
  const Recorded first = parseOnce(parser, arguments);
  ZelcorFuzz::require(first.parsed || !first.message.empty(), "a failed parse says why");
  ZelcorFuzz::require(first.parsed == (parser.getParseError().failure == CmdParser::Failure::kNone),
                      "the parse error is set exactly when the parse fails");
  Zelcor::JobScheduler::addSchedulerOptions(parser);
  ZelcorFuzz::require(parseOnce(parser, arguments) == first, "a second pass records the same");
  (void)parser.usage();
  std::string value;
  (void)parser.getValue('c', value);
  for (const char* name : {"pend", "que", "run", "fin", "maxcores", "nodetach", "debug"}) {
    (void)parser.isSet(name);
    (void)parser.getValue(name, value);
  }
}

// Every kind of option and every syntax switch, for the parts of the parser that neither program
// reaches.
void fuzzEveryKind(const std::vector<std::string>& arguments) {
  const unsigned char bits = arguments[0].empty() ? 0 : static_cast<unsigned char>(arguments[0][0]);
  CmdParser parser;
  parser.init("every", "", "", (bits & 0x20) != 0, (bits & 0x10) != 0, (bits & 0x40) != 0);
  CmdParser::Syntax syntax;
  syntax.inlineValues = (bits & 0x01) != 0;
  syntax.keepEmptyArguments = (bits & 0x02) != 0;
  syntax.keepQuotes = (bits & 0x04) != 0;
  syntax.stopAfterPositionals = (bits >> 3) & 0x01;
  parser.setSyntax(syntax);
  parser.addOption("first", CmdParser::kPositional);
  parser.addOption("flag", CmdParser::kFlag, 'f', "flag");
  parser.addOption("value", CmdParser::kValue, 'v', "value");
  parser.addOption("choice", CmdParser::kChoice, 'k', "choice", {"one", "two", ""});
  parser.addOption("assignment", CmdParser::kAssignment, 0, "set");
  parser.addOption("rest", CmdParser::kRest, 'r', "rest");
  parser.addOption("short only", CmdParser::kFlag, 's');
  const Recorded first = parseOnce(parser, arguments);
  ZelcorFuzz::require(first.parsed || !first.message.empty(), "a failed parse says why");
  ZelcorFuzz::require(parseOnce(parser, arguments) == first, "a second pass records the same");
  for (const CmdParser::ParsedOption& option : parser.getParsedOptions()) {
    if (option.option->kind != CmdParser::kChoice) continue;
    const std::vector<std::string>& allowed = option.option->allowedValues;
    ZelcorFuzz::require(std::find(allowed.begin(), allowed.end(), option.value) != allowed.end(),
                        "a choice takes only its allowed values");
  }
  if (syntax.stopAfterPositionals != 0) {
    ZelcorFuzz::require(parser.getPositionalValues().size() <= syntax.stopAfterPositionals,
                        "the parse stops after the positionals it was told");
  }
  (void)parser.usage();
}

void fuzzJsctl(const std::vector<std::string>& arguments) {
  Zelcor::JsctlOptions options;
  std::string error;
  const std::vector<std::string> words(arguments.begin() + 1, arguments.end());
  if (!Zelcor::JsctlOptions::parse(words, options, error)) {
    ZelcorFuzz::require(!error.empty(), "jsctl says what is wrong with its command line");
    return;
  }
  ZelcorFuzz::require(options.action != Zelcor::JsctlOptions::Action::none,
                      "a command line jsctl takes names something to do");
  if (!options.priority.empty()) {
    ZelcorFuzz::require(
        Zelcor::JsctlOptions::canonicalPriority(options.priority) == options.priority,
        "a priority taken is in its canonical spelling");
  }
  if (options.port) {
    ZelcorFuzz::require(*options.port >= 1 && *options.port <= 65535, "a port taken is valid");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ZelcorFuzz::silenceLogging();
  const std::vector<std::string> arguments = splitArguments(ZelcorFuzz::asText(data, size));
  fuzzScheduler(arguments);
  fuzzJsctl(arguments);
  fuzzEveryKind(arguments);
  return 0;
}
