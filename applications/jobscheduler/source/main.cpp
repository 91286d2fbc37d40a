// The scheduler's entry point: quit signals first, then the application in the frame's order.
#include <exception>
#include <iostream>

#include "JobScheduler.h"
#include "QuitSignal.h"

int main(int argc, char** argv) {
  using Zelcor::JobScheduler;
  // Without the handler a quit signal would kill the program before its jobs are let go.
  if (!ZelcorCorelib::installSignalHandler()) {
    std::cout << "ERROR: The handler for SIGINT, SIGTERM and SIGABRT could not be installed\n";
    return JobScheduler::kExitFailure;
  }
  try {
    JobScheduler scheduler(argc, argv);
    if (scheduler.getExitState() == JobScheduler::kExitStateDone) return JobScheduler::kExitSuccess;
    if (scheduler.getExitState() == JobScheduler::kExitStateFailed) {
      scheduler.reportInitFailure();
      return JobScheduler::kExitFailure;
    }
    if (!scheduler.startUp()) return JobScheduler::kExitFailure;
    return scheduler.runGuarded();
  } catch (const ZelcorCorelib::Exception& failure) {
    std::cout << "ERROR: " << Zelcor::describeFailure(failure) << "\n";
  } catch (const std::exception& failure) {
    std::cout << "ERROR: " << failure.what() << "\n";
  } catch (...) {
    std::cout << "ERROR: Unknown exception\n";
  }
  return JobScheduler::kExitFailure;
}
