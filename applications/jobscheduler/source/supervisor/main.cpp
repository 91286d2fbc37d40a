// The job supervisor's entry point; everything it does is in Supervisor.cpp.
#include <string>
#include <vector>

#include "Supervisor.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return Zelcor::runSupervisor(arguments);
}
