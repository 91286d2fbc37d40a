// How a queue runs its jobs on a Slurm cluster: jobscheduler.queues.<name>.executor "slurm",
// with its partition and extra sbatch options, and jobscheduler.slurm-conf for the tools.
// A value, copied into each launch.
#pragma once

#include <string>
#include <vector>

namespace Zelcor {

struct SlurmSettings {
  // Given to the tools as SLURM_CONF; empty: their own default.
  std::string conf;
  std::string partition;
  // Extra sbatch options, one word each.
  std::vector<std::string> options;
};

}  // namespace Zelcor
