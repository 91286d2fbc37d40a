// One queue's jobs in run order, as the status listing shows them, kept so that the
// scheduling thread can hand a copy to readers on other threads at every pass for the price
// of a few hundred pointers, however long the queue.
// Threads: a JobListing belongs to one thread; a Shared copy may be read by any number of
// threads at once and never changes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Zelcor {

// Where a job stands in run order; seq puts a job after every job it ties with.
struct JobOrderKey {
  std::int32_t rank = 0;
  std::int32_t priority = 0;
  std::string created;
  std::uint64_t seq = 0;
  bool operator<(const JobOrderKey& other) const;
};

class JobListing {
 public:
  struct Item {
    JobOrderKey key;
    std::string text;  // executable and arguments, as listed
  };
  using Chunk = std::vector<std::shared_ptr<const Item>>;
  // The items as they were when shared, chunk after chunk in run order.
  using Shared = std::vector<std::shared_ptr<const Chunk>>;

  void insert(JobOrderKey key, std::string text);
  // Nothing happens when no item has the key.
  void erase(const JobOrderKey& key);
  void clear();
  std::size_t size() const { return count; }
  // A copy that stays as it is whatever happens to this listing afterwards: the chunks it
  // holds are never changed again here but replaced by changed copies.
  Shared share();

 private:
  struct Slot {
    std::shared_ptr<Chunk> chunk;
    std::uint64_t generation = 0;  // the share after which the chunk was made
  };
  // A chunk holds up to twice this many items; an emptied one goes.
  static constexpr std::size_t kChunkItems = 256;

  // The slot whose chunk holds key or would: the first whose last item does not come before
  // it, else the last.
  std::size_t slotFor(const JobOrderKey& key) const;
  // The chunk of slot index, copied first when a share holds it.
  Chunk& own(std::size_t index);

  std::vector<Slot> slots;
  std::uint64_t generation = 0;
  std::size_t count = 0;
};

}  // namespace Zelcor
