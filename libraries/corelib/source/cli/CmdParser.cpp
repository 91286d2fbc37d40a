#include "cli/CmdParser.h"

#include <algorithm>

#include "bus/Logger.h"

namespace ZelcorCorelib {

namespace {

constexpr std::size_t kUsageColumnPad = 9;
constexpr std::size_t kChoiceLineLimit = 69;
// A long name near the usage width would leave no room for the allowed values.
constexpr std::size_t kChoiceLineMinimum = 20;

std::string quoted(const std::string& name) { return "'" + name + "'"; }

// Greedy word wrap at blanks; a word longer than the width is cut.
std::vector<std::string> wrap(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(pos, end - pos);
    pos = end + 1;
    while (word.size() > width) {
      if (!line.empty()) lines.push_back(std::move(line));
      line.clear();
      lines.push_back(word.substr(0, width));
      word.erase(0, width);
    }
    if (line.empty()) {
      line = std::move(word);
    } else if (line.size() + 1 + word.size() <= width) {
      line += ' ';
      line += word;
    } else {
      lines.push_back(std::move(line));
      line = std::move(word);
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

}  // namespace

bool CmdParser::DefinitionOrder::operator()(const OptionDefinition& a,
                                            const OptionDefinition& b) const {
  if (a.kind != b.kind) return a.kind < b.kind;
  const bool aShort = a.shortChar != 0;
  const bool bShort = b.shortChar != 0;
  if (aShort != bShort) return aShort;
  if (a.shortChar != b.shortChar) {
    return static_cast<unsigned char>(a.shortChar) < static_cast<unsigned char>(b.shortChar);
  }
  const bool aLong = !a.longName.empty();
  const bool bLong = !b.longName.empty();
  if (aLong != bLong) return aLong;
  return a.longName < b.longName;
}

bool CmdParser::init(const std::string& name, const std::string& versionText,
                     const std::string& revisionText, bool addStandardOptions, bool acceptExtra,
                     bool addConfigurationFileOption) {
  if (initialised) return false;
  applicationName = name;
  version = versionText;
  revision = revisionText;
  if (addStandardOptions) {
    addOption("Display this help text", kFlag, '?', "help");
    if (!version.empty()) addOption("Display version information", kFlag, 0, "version");
    if (!revision.empty()) addOption("Display SVN revision information", kFlag, 0, "revision");
    addOption("Set debug level", kValue, 0, "debug");
  }
  if (addConfigurationFileOption) {
    addOption("Specify configuration file explicitly", kValue, 'c');
  }
  acceptExtraArguments = acceptExtra;
  initialised = true;
  return true;
}

bool CmdParser::addOption(const std::string& description, int kind, char shortChar,
                          const std::string& longName,
                          const std::vector<std::string>& allowedValues) {
  if (kind < kPositional || kind > kRest) return false;
  if (kind == kPositional) {
    if (shortChar != 0 || !longName.empty() || !allowedValues.empty()) return false;
    positionalDefinitions.push_back(
        OptionDefinition{positionalDefinitions.size(), kind, 0, "", description, {}});
    return true;
  }
  if (shortChar == 0 && longName.empty()) return false;
  if (kind == kChoice && allowedValues.empty()) return false;
  if (kind == kAssignment &&
      (shortChar != 0 || longName.empty() || longName.find('=') != std::string::npos)) {
    return false;
  }
  // "-" alone is a positional and "--" ends the options, so '-' could never be reached.
  if (shortChar == '-') return false;
  if (shortChar != 0 && findShort(shortChar) != nullptr) return false;
  if (!longName.empty() && findLong(longName) != nullptr) return false;

  options.insert(
      OptionDefinition{options.size(), kind, shortChar, longName, description, allowedValues});
  widestOption = std::max(widestOption, longName.size() + 4);
  return true;
}

bool CmdParser::parse(int argc, const char* const* argv, std::string& message) {
  std::vector<std::string> list;
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    list.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  return parse(list, message);
}

bool CmdParser::parse(const std::vector<std::string>& argumentList, std::string& message) {
  arguments = argumentList;
  parsedOptions.clear();
  parsedArguments.clear();
  programName.clear();
  message.clear();
  parseError = ParseError();
  remainingArguments.clear();
  optionsEndPosition.reset();

  std::size_t next = 0;
  if (!applicationName.empty()) {
    if (arguments.empty()) {
      return fail(Failure::kMissingExecutable, "", "", "Missing executable argument", message);
    }
    programName = arguments[0];
    next = 1;
  }

  bool optionsEnded = false;
  while (next < arguments.size()) {
    if (stopsHere()) {
      remainingArguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(next),
                                arguments.end());
      break;
    }
    const std::string token = arguments[next++];
    if (token.empty() && !syntax.keepEmptyArguments) continue;
    if (!optionsEnded && token == "--") {
      optionsEnded = true;
      optionsEndPosition = parsedArguments.size();
      continue;
    }
    if (optionsEnded || token.empty() || token == "-") {
      if (!addPositional(token, message)) return false;
      continue;
    }
    if (token[0] != '-') {
      const std::size_t equals = token.find('=', 1);
      if (equals == std::string::npos) {
        if (!addPositional(token, message)) return false;
        continue;
      }
      const std::string name = token.substr(0, equals);
      const OptionDefinition* option = findLong(name);
      if (option == nullptr) {
        return fail(Failure::kUnknownOption, name, token, "Unknown option " + quoted(name),
                    message);
      }
      if (option->kind != kAssignment) {
        return fail(Failure::kNotAssignment, name, token,
                    "Option " + quoted(name) + " must be option=value", message);
      }
      parsedOptions.push_back(ParsedOption{option, token.substr(equals + 1)});
      continue;
    }
    if (!parseOptionToken(token, next, message)) return false;
  }

  std::string debugValue;
  if (isSet("help")) {
    message = usage();
  } else if (isSet("version")) {
    message = version;
  } else if (isSet("revision")) {
    message = revision;
  } else if (getValue("debug", debugValue)) {
    const int level = levelFromName(debugValue);
    if (level <= kLogFlood) setLevelCeiling(level);
  }
  return true;
}

bool CmdParser::stopsHere() const {
  return syntax.stopAfterPositionals != 0 && parsedArguments.size() >= syntax.stopAfterPositionals;
}

bool CmdParser::fail(Failure failure, const std::string& name, const std::string& token,
                     std::string text, std::string& message) {
  parseError = ParseError{failure, name, token};
  message = std::move(text);
  return false;
}

bool CmdParser::parseOptionToken(const std::string& token, std::size_t& next,
                                 std::string& message) {
  const std::size_t recordedBefore = parsedOptions.size();
  // An unknown option turns the whole token into a positional when extras are accepted, so
  // nothing recorded from its earlier characters may stay.
  auto unknown = [&](const std::string& name) {
    if (!acceptExtraArguments) {
      return fail(Failure::kUnknownOption, name, token, "Unknown option " + quoted(name), message);
    }
    parsedOptions.resize(recordedBefore);
    return addPositional(token, message);
  };

  if (token.compare(0, 2, "--") == 0) {
    std::string name = token.substr(2);
    const std::size_t equals = syntax.inlineValues ? name.find('=') : std::string::npos;
    if (equals == std::string::npos) {
      const OptionDefinition* option = findLong(name);
      if (option == nullptr) return unknown(name);
      return takeValue(*option, name, token, false, next, message);
    }
    std::string value = name.substr(equals + 1);
    name.erase(equals);
    const OptionDefinition* option = findLong(name);
    if (option == nullptr) return unknown(name);
    if (option->kind == kFlag) {
      return fail(Failure::kUnexpectedValue, name, token,
                  "Option " + quoted(name) + " takes no value", message);
    }
    if (option->kind == kAssignment) {
      return fail(Failure::kNotAssignment, name, token,
                  "Option " + quoted(name) + " must be option=value", message);
    }
    if (option->kind == kRest) {
      for (; next < arguments.size(); ++next) value += " " + arguments[next];
    }
    return recordValue(*option, name, token, std::move(value), message);
  }
  for (std::size_t i = 1; i < token.size(); ++i) {
    const std::string name(1, token[i]);
    const OptionDefinition* option = findShort(token[i]);
    if (option == nullptr) return unknown(name);
    if (!takeValue(*option, name, token, i + 1 < token.size(), next, message)) return false;
  }
  return true;
}

bool CmdParser::takeValue(const OptionDefinition& option, const std::string& name,
                          const std::string& token, bool moreInToken, std::size_t& next,
                          std::string& message) {
  if (option.kind == kFlag) {
    parsedOptions.push_back(ParsedOption{&option, ""});
    return true;
  }
  if (option.kind == kAssignment) {
    return fail(Failure::kNotAssignment, name, token,
                "Option " + quoted(name) + " must be option=value", message);
  }
  if (moreInToken) {
    return fail(
        Failure::kValueInsideToken, name, token,
        "Option " + quoted(name) + " requires argument but is located inside an options token",
        message);
  }
  if (next >= arguments.size()) {
    return fail(Failure::kMissingValue, name, token,
                "Missing argument to " + quoted(name) + " option", message);
  }
  std::string value = arguments[next++];
  if (option.kind == kRest) {
    for (; next < arguments.size(); ++next) value += " " + arguments[next];
  }
  return recordValue(option, name, token, std::move(value), message);
}

bool CmdParser::recordValue(const OptionDefinition& option, const std::string& name,
                            const std::string& token, std::string value, std::string& message) {
  if (option.kind != kRest) {
    // The quotes a shell would have removed are taken off here, before the list check, so a
    // quoted allowed value is accepted too.
    if (!syntax.keepQuotes && value.size() > 1 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (option.kind == kChoice &&
        std::find(option.allowedValues.begin(), option.allowedValues.end(), value) ==
            option.allowedValues.end()) {
      return fail(Failure::kInvalidValue, name, token,
                  "Invalid argument to " + quoted(name) + " option", message);
    }
  }
  parsedOptions.push_back(ParsedOption{&option, std::move(value)});
  return true;
}

bool CmdParser::addPositional(const std::string& value, std::string& message) {
  if (parsedArguments.size() >= positionalDefinitions.size() && !acceptExtraArguments) {
    return fail(Failure::kTooManyArguments, value, value, "Too many arguments", message);
  }
  parsedArguments.push_back(value);
  return true;
}

bool CmdParser::isSet(char shortChar) const { return findParsed(findShort(shortChar)) != nullptr; }

bool CmdParser::isSet(const std::string& longName) const {
  return findParsed(findLong(longName)) != nullptr;
}

bool CmdParser::getValue(char shortChar, std::string& value) const {
  const ParsedOption* parsed = findParsed(findShort(shortChar));
  if (parsed == nullptr) return false;
  value = parsed->value;
  return true;
}

bool CmdParser::getValue(const std::string& longName, std::string& value) const {
  const ParsedOption* parsed = findParsed(findLong(longName));
  if (parsed == nullptr) return false;
  value = parsed->value;
  return true;
}

const CmdParser::OptionDefinition* CmdParser::findShort(char shortChar) const {
  if (shortChar == 0) return nullptr;
  for (const OptionDefinition& option : options) {
    if (option.shortChar == shortChar) return &option;
  }
  return nullptr;
}

const CmdParser::OptionDefinition* CmdParser::findLong(const std::string& longName) const {
  if (longName.empty()) return nullptr;
  for (const OptionDefinition& option : options) {
    if (option.longName == longName) return &option;
  }
  return nullptr;
}

const CmdParser::ParsedOption* CmdParser::findParsed(const OptionDefinition* option) const {
  if (option == nullptr) return nullptr;
  for (auto it = parsedOptions.rbegin(); it != parsedOptions.rend(); ++it) {
    if (it->option == option) return &*it;
  }
  return nullptr;
}

std::string CmdParser::usage() const {
  std::string text = "Usage:";
  if (!applicationName.empty()) text += " " + applicationName;
  if (!options.empty()) text += " [options]";
  for (const OptionDefinition& positional : positionalDefinitions) {
    text += " <" + positional.description + ">";
  }
  if (!options.empty()) {
    std::vector<const OptionDefinition*> inDefinitionOrder;
    for (const OptionDefinition& option : options) inDefinitionOrder.push_back(&option);
    std::sort(inDefinitionOrder.begin(), inDefinitionOrder.end(),
              [](const OptionDefinition* a, const OptionDefinition* b) {
                return a->sequenceNumber < b->sequenceNumber;
              });
    text += "\nOptions:\n";
    for (std::size_t i = 0; i < inDefinitionOrder.size(); ++i) {
      if (i > 0) text += "\n";
      appendBlock(*inDefinitionOrder[i], text);
    }
  }
  text += "\n";
  return text;
}

void CmdParser::appendBlock(const OptionDefinition& option, std::string& text) const {
  const bool takesArg = option.kind >= kValue;
  std::string block = "  ";
  if (option.shortChar != 0) {
    block += '-';
    block += option.shortChar;
    if (takesArg) block += " <arg>";
    if (!option.longName.empty()) block += "\n    --" + option.longName;
  } else if (option.kind == kAssignment) {
    block += option.longName + "=<value>";
  } else {
    block += "--" + option.longName;
    if (takesArg) block += " <arg>";
  }
  const std::size_t lineStart = block.rfind('\n');
  const std::size_t lastLine =
      lineStart == std::string::npos ? block.size() : block.size() - lineStart - 1;
  const std::size_t column = widestOption + kUsageColumnPad;
  if (lastLine < column) block.append(column - lastLine, ' ');
  block += ": " + option.description;

  if (option.kind == kChoice) {
    std::string list = "(One of: ";
    for (std::size_t i = 0; i < option.allowedValues.size(); ++i) {
      if (i > 0) list += ", ";
      list += option.allowedValues[i];
    }
    list += ")";
    const std::size_t width = std::max(
        kChoiceLineLimit > widestOption ? kChoiceLineLimit - widestOption : 0, kChoiceLineMinimum);
    const std::string indent(column + 2, ' ');
    for (const std::string& line : wrap(list, width)) block += "\n" + indent + line;
  }
  text += block;
}

}  // namespace ZelcorCorelib
