// jsctl, the control client of the job scheduler.
#include <iostream>
#include <string>
#include <vector>

#include "Jsctl.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  Zelcor::Jsctl program(std::cout, std::cerr);
  return program.run(arguments);
}
