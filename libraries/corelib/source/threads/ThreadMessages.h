// Per-thread message queues standing in for the platform's thread message queues, so that an
// end request can be posted to a worker by its kernel thread id and consumed by the worker's
// own Thread::shouldEnd. Only threads that hold a ThreadMessageQueue (every thread started by
// Thread does, for the whole run of its function) can receive; posting to any other id fails,
// as posting to a thread without a message queue does on Windows.
// All functions may be called from any thread. The queues are process-wide by nature; a queue
// object keeps the registry alive, so a worker that ends late still closes its queue safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace ZelcorCorelib {

inline constexpr std::uint32_t kWmDestroy = 2;
inline constexpr std::uint32_t kWmClose = 16;
inline constexpr std::uint32_t kWmQuit = 18;

// A queue holds at most this many messages, the platform's own default limit, so that a
// thread that never reads its messages cannot make a poster use up memory.
inline constexpr std::size_t kMaxThreadMessages = 10000;

// Appends code to the queue of the thread threadId. False when that thread has no queue (it
// is not a worker, or it has ended) or when its queue is full; nothing is queued then.
bool postThreadMessage(std::uint32_t threadId, std::uint32_t code);

// Removes and returns the oldest message of the calling thread's queue; nullopt when it is
// empty or the thread has no queue.
std::optional<std::uint32_t> takeThreadMessage();

// Gives the calling thread a message queue for the life of the object. Must be destroyed on
// the thread that created it. Nested objects on one thread share one queue, which closes with
// the last of them; messages still queued then are dropped.
class ThreadMessageQueue {
 public:
  ThreadMessageQueue();
  ~ThreadMessageQueue();

  ThreadMessageQueue(const ThreadMessageQueue&) = delete;
  ThreadMessageQueue& operator=(const ThreadMessageQueue&) = delete;

  struct Registry;

 private:
  std::shared_ptr<Registry> registry;
  std::uint32_t threadId;
};

}  // namespace ZelcorCorelib
