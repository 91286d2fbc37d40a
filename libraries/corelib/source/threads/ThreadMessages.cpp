#include "threads/ThreadMessages.h"

#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/Threads.h"

namespace ZelcorCorelib {

struct ThreadMessageQueue::Registry {
  struct Queue {
    int openCount = 0;
    std::deque<std::uint32_t> messages;
  };
  std::mutex mutex;
  std::unordered_map<std::uint32_t, Queue> queues;
};

namespace {

// Shared, so that queue objects of threads still running at process exit outlive the static.
const std::shared_ptr<ThreadMessageQueue::Registry>& sharedRegistry() {
  static const std::shared_ptr<ThreadMessageQueue::Registry> instance =
      std::make_shared<ThreadMessageQueue::Registry>();
  return instance;
}

}  // namespace

bool postThreadMessage(std::uint32_t threadId, std::uint32_t code) {
  ThreadMessageQueue::Registry& queues = *sharedRegistry();
  std::lock_guard<std::mutex> guard(queues.mutex);
  auto found = queues.queues.find(threadId);
  if (found == queues.queues.end()) return false;
  if (found->second.messages.size() >= kMaxThreadMessages) return false;
  found->second.messages.push_back(code);
  return true;
}

std::optional<std::uint32_t> takeThreadMessage() {
  ThreadMessageQueue::Registry& queues = *sharedRegistry();
  std::lock_guard<std::mutex> guard(queues.mutex);
  auto found = queues.queues.find(platform::currentThreadId());
  if (found == queues.queues.end() || found->second.messages.empty()) return std::nullopt;
  std::uint32_t code = found->second.messages.front();
  found->second.messages.pop_front();
  return code;
}

ThreadMessageQueue::ThreadMessageQueue()
    : registry(sharedRegistry()), threadId(platform::currentThreadId()) {
  std::lock_guard<std::mutex> guard(registry->mutex);
  ++registry->queues[threadId].openCount;
}

ThreadMessageQueue::~ThreadMessageQueue() {
  std::lock_guard<std::mutex> guard(registry->mutex);
  auto found = registry->queues.find(threadId);
  if (found != registry->queues.end() && --found->second.openCount <= 0) {
    registry->queues.erase(found);
  }
}

}  // namespace ZelcorCorelib
