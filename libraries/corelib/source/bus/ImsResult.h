// The answer of a bus handler to one message. Only the bus looks at the numeric values.
#pragma once

namespace ZelcorCorelib {

enum class ImsResult : int {
  NotHandled = 1,  // not meant for this agent
  Handled = 2,
  Final = 3,  // handled, and no further hook may see the message
};

}  // namespace ZelcorCorelib
