// The status listing that the command listener sends to a client.
#include <string>
#include <unordered_set>

#include "QueueController.h"

namespace Zelcor {

namespace {

struct Block {
  std::vector<const std::string*> texts;
  std::vector<std::uint32_t> pids;
};

void appendBlock(std::string& out, const std::string& queue, const Block& block, bool withPid) {
  out += "\tQueue:";
  out += queue;
  out += '\n';
  if (block.texts.empty()) {
    out += "\t\t 0 jobs\n";
    return;
  }
  for (std::size_t i = 0; i < block.texts.size(); ++i) {
    out += "\t\t[";
    out += std::to_string(i + 1);
    out += "] ";
    if (withPid) {
      out += std::to_string(block.pids[i]);
      out += ' ';
    }
    out += *block.texts[i];
    out += '\n';
  }
}

}  // namespace

void QueueController::publishStatusLocked() {
  auto snapshot = std::make_shared<StatusSnapshot>();
  snapshot->reserve(queues.size());
  for (JobQueue& queue : queues) {
    QueueStatus& status = snapshot->emplace_back();
    status.name = queue.getName();
    status.maxCores = queue.getMaxCores();
    status.priorityLevel = queue.getPriorityLevel();
    status.jobs = queue.shareListing();
    queue.visitStartedJobs([&](std::uint64_t seq, Job& job) {
      status.started.push_back(
          StartedStatus{seq, JobQueue::listingText(job), job.getMainProcess().getProcess()});
    });
  }
  std::shared_ptr<const StatusSnapshot> old;
  {
    std::lock_guard<std::mutex> guard(statusLock);
    old = std::exchange(statusSnapshot, std::move(snapshot));
  }
  // The old copy, if no listing holds it any more, is freed here, outside the lock.
}

std::string QueueController::getStatus() {
  std::shared_ptr<const StatusSnapshot> snapshot;
  {
    std::lock_guard<std::mutex> guard(statusLock);
    snapshot = statusSnapshot;
  }
  if (!snapshot) snapshot = std::make_shared<const StatusSnapshot>();
  std::string out;
  for (const QueueStatus& queue : *snapshot) {
    out += "\tQueue:" + queue.name + " max:" + std::to_string(queue.maxCores) +
           " priority:" + std::to_string(queue.priorityLevel) + "\n";
  }
  // A started job runs, has ended, or is pending again when its launch was refused; its
  // process says which now. One that ended before its launch was completed is in no block,
  // as in the queue's own lists.
  std::vector<Block> running(snapshot->size()), finished(snapshot->size());
  std::vector<std::unordered_set<std::uint64_t>> notPending(snapshot->size());
  for (std::size_t q = 0; q < snapshot->size(); ++q) {
    for (const StartedStatus& started : (*snapshot)[q].started) {
      const ChildProcess::Pointer& process = started.process;
      if (!process) continue;
      const bool runs = process->poll();
      if (process->getState() == ChildProcess::kNotStarted) continue;
      notPending[q].insert(started.seq);
      if (runs) {
        running[q].texts.push_back(&started.text);
        running[q].pids.push_back(process->getPid());
      } else if (!process->hasPendingLaunch()) {
        finished[q].texts.push_back(&started.text);
      }
    }
  }
  out += "\nPending Jobs:\n";
  for (std::size_t q = 0; q < snapshot->size(); ++q) {
    Block pending;
    for (const auto& chunk : (*snapshot)[q].jobs) {
      for (const auto& item : *chunk) {
        if (notPending[q].count(item->key.seq) == 0) pending.texts.push_back(&item->text);
      }
    }
    appendBlock(out, (*snapshot)[q].name, pending, false);
  }
  out += "Running Jobs:\n";
  for (std::size_t q = 0; q < snapshot->size(); ++q) {
    appendBlock(out, (*snapshot)[q].name, running[q], true);
  }
  out += "Finished Jobs:\n";
  for (std::size_t q = 0; q < snapshot->size(); ++q) {
    appendBlock(out, (*snapshot)[q].name, finished[q], false);
  }
  return out;
}

}  // namespace Zelcor
