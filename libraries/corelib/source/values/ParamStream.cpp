#include "values/ParamStream.h"

namespace ZelcorCorelib {

bool ParamStream::readPrimitive(Primitive& primitive) {
  if (cursor >= primitives.size()) return false;
  primitive = primitives[cursor++];
  return true;
}

bool ParamStream::writePrimitive(const Primitive& primitive) {
  if (!isWritable(primitive)) return false;
  primitives.push_back(primitive);
  return true;
}

std::string fillPlaceholders(const std::string& text, const ParamStream& parameters) {
  const std::vector<Primitive>& values = parameters.getPrimitives();
  if (values.empty()) return text;
  std::string result;
  result.reserve(text.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      result += c;
      result += text[++i];
    } else if (c == '%') {
      if (next < values.size()) result += primitiveToText(values[next++]);
    } else {
      result += c;
    }
  }
  return result;
}

}  // namespace ZelcorCorelib
