// The byte-string form of a parameter stream, used to carry a whole configuration tree in one
// message. Each primitive is encoded as its type byte, its escaped text and the separator 0x1E.
#pragma once

#include <cstddef>
#include <string>

#include "values/StreamBase.h"

namespace ZelcorCorelib {

class StringStream : public StreamBase {
 public:
  StringStream() = default;
  explicit StringStream(std::string bytes) : bytes(std::move(bytes)) {}

  bool readPrimitive(Primitive& primitive) override;
  bool writePrimitive(const Primitive& primitive) override;

  // Appends every remaining primitive of source; returns how many were taken.
  std::size_t appendFrom(PrimitiveStream& source);
  // Moves every remaining primitive of this stream into target; returns how many.
  std::size_t extractTo(PrimitiveStream& target);

  const std::string& getBytes() const { return bytes; }
  void rewind() { position = 0; }

 private:
  std::string bytes;
  std::size_t position = 0;
};

}  // namespace ZelcorCorelib
