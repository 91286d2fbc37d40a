// The pre- or post-process slot of a job, made when its spec names a "pre" or "post" value.
// The value is taken but not interpreted: command and arguments stay empty and the slot is
// never started. A value, copied with its job.
#pragma once

#include <string>

#include "JobProcess.h"

namespace Zelcor {

class PrePostProcess : public JobProcess {
 public:
  PrePostProcess() = default;
  explicit PrePostProcess(const std::string& specValue);

  bool configure() override { return true; }
};

}  // namespace Zelcor
