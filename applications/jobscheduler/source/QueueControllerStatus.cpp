// The status listing that the command listener sends to a client.
#include <string>

#include "QueueController.h"

namespace Zelcor {

void QueueController::appendJobBlock(std::string& out, const JobQueue& queue,
                                     const std::vector<Job*>& jobs, bool withPid) {
  out += "\tQueue:" + queue.getName() + "\n";
  if (jobs.empty()) {
    out += "\t\t 0 jobs\n";
    return;
  }
  std::size_t number = 0;
  for (const Job* job : jobs) {
    out += "\t\t[" + std::to_string(++number) + "] ";
    if (withPid) out += std::to_string(job->getPid()) + " ";
    out += job->getExecutable() + " " + job->getArguments() + "\n";
  }
}

std::string QueueController::getStatus() {
  // The scheduling thread holds this lock for a whole pass, so the listing never meets a
  // queue half changed.
  std::lock_guard<std::mutex> guard(queuesLock);
  std::string out;
  for (const JobQueue& queue : queues) {
    out += "\tQueue:" + queue.getName() + " max:" + std::to_string(queue.getMaxCores()) +
           " priority:" + std::to_string(queue.getPriorityLevel()) + "\n";
  }
  out += "\nPending Jobs:\n";
  for (JobQueue& queue : queues) appendJobBlock(out, queue, queue.getPendingJobs(), false);
  out += "Running Jobs:\n";
  for (JobQueue& queue : queues) appendJobBlock(out, queue, queue.getRunningJobs(), true);
  out += "Finished Jobs:\n";
  for (JobQueue& queue : queues) appendJobBlock(out, queue, queue.getFinishedJobs(), false);
  return out;
}

}  // namespace Zelcor
