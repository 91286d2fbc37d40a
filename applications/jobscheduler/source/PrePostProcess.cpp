#include "PrePostProcess.h"

namespace Zelcor {

// The spec value has no defined form yet; keeping it would suggest it is used.
PrePostProcess::PrePostProcess(const std::string& /*specValue*/) {}

}  // namespace Zelcor
