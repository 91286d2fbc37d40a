#include "JobProcess.h"

#include <utility>

namespace Zelcor {

JobProcess::JobProcess(std::string command, std::string arguments)
    : command(std::move(command)), arguments(std::move(arguments)) {}

JobProcess::~JobProcess() = default;

void JobProcess::setArguments(std::string newArguments) { arguments = std::move(newArguments); }

}  // namespace Zelcor
