// JSON text for jsctl's listings: strings (made valid UTF-8 first, so that any byte a file
// name or spec value holds gives valid JSON) and numbers that may be missing.
#pragma once

#include <optional>
#include <string>

namespace Zelcor {

void appendJsonString(std::string& out, const std::string& raw);

template <typename Number>
void appendJsonNumber(std::string& out, const std::optional<Number>& value) {
  out += value ? std::to_string(*value) : "null";
}

}  // namespace Zelcor
