// The base of the processes a Job holds: its program (CommandProcess) and the pre- and
// post-process slots (PrePostProcess). Holds the command (the executable path) and the
// arguments as one string. Values: copied with their job; used by one thread at a time.
#pragma once

#include <string>

namespace Zelcor {

class JobProcess {
 public:
  JobProcess() = default;
  JobProcess(const JobProcess& other) = default;
  JobProcess(std::string command, std::string arguments);
  JobProcess& operator=(const JobProcess& other) = default;
  virtual ~JobProcess();

  virtual bool configure() = 0;

  void setArguments(std::string newArguments);
  const std::string& getCommand() const { return command; }
  const std::string& getArguments() const { return arguments; }

 protected:
  std::string command;
  std::string arguments;
};

}  // namespace Zelcor
