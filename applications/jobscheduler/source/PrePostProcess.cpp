#include "PrePostProcess.h"

namespace Zelcor {

// The value of the spec-file key has no defined form yet; keeping it would suggest it is used.
PrePostProcess::PrePostProcess(const std::string& /*specValue*/) {}

}  // namespace Zelcor
