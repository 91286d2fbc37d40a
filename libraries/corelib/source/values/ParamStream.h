// The list form of a parameter stream: the placeholder values of log records and exceptions.
// Writes append; reads walk a cursor from the first element. Copies are independent.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "values/StreamBase.h"

namespace ZelcorCorelib {

class ParamStream : public StreamBase {
 public:
  bool readPrimitive(Primitive& primitive) override;
  bool writePrimitive(const Primitive& primitive) override;

  const std::vector<Primitive>& getPrimitives() const { return primitives; }
  std::size_t size() const { return primitives.size(); }
  bool empty() const { return primitives.empty(); }
  void rewind() { cursor = 0; }

 private:
  std::vector<Primitive> primitives;
  std::size_t cursor = 0;
};

// Fills each "%" of text with the display form of the next parameter, from the first one; a
// "%" past the last parameter becomes empty; with no parameters at all the text is returned
// unchanged. A backslash makes the next character literal (both are kept).
std::string fillPlaceholders(const std::string& text, const ParamStream& parameters);

template <typename... Values>
ParamStream makeParams(const Values&... values) {
  ParamStream stream;
  (stream.write(values), ...);
  return stream;
}

}  // namespace ZelcorCorelib
