// The abstract ordered sequence of primitives that parameter streams are built on.
// Streams are plain values owned by their user; not safe for concurrent use.
#pragma once

#include "values/Primitive.h"

namespace ZelcorCorelib {

class PrimitiveStream {
 public:
  virtual ~PrimitiveStream() = default;
  // False at the end of the stream; the target is then left unchanged.
  virtual bool readPrimitive(Primitive& primitive) = 0;
  // False when the primitive is refused (see isWritable).
  virtual bool writePrimitive(const Primitive& primitive) = 0;
};

}  // namespace ZelcorCorelib
