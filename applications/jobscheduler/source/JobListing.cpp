#include "JobListing.h"

#include <algorithm>
#include <iterator>

namespace Zelcor {

bool JobOrderKey::operator<(const JobOrderKey& other) const {
  if (rank != other.rank) return rank > other.rank;
  if (priority != other.priority) return priority > other.priority;
  if (const int byCreated = created.compare(other.created); byCreated != 0) return byCreated < 0;
  return seq < other.seq;
}

namespace {

bool keyBefore(const std::shared_ptr<const JobListing::Item>& item, const JobOrderKey& key) {
  return item->key < key;
}

}  // namespace

std::size_t JobListing::slotFor(const JobOrderKey& key) const {
  const auto found = std::partition_point(
      slots.begin(), slots.end(), [&](const Slot& slot) { return slot.chunk->back()->key < key; });
  if (found == slots.end()) return slots.empty() ? 0 : slots.size() - 1;
  return static_cast<std::size_t>(found - slots.begin());
}

JobListing::Chunk& JobListing::own(std::size_t index) {
  Slot& slot = slots[index];
  if (slot.generation != generation) {
    slot.chunk = std::make_shared<Chunk>(*slot.chunk);
    slot.generation = generation;
  }
  return *slot.chunk;
}

void JobListing::insert(JobOrderKey key, std::string text) {
  auto item = std::make_shared<const Item>(Item{std::move(key), std::move(text)});
  if (slots.empty()) {
    slots.push_back(Slot{std::make_shared<Chunk>(Chunk{std::move(item)}), generation});
    ++count;
    return;
  }
  const std::size_t index = slotFor(item->key);
  Chunk& chunk = own(index);
  const auto at = std::lower_bound(chunk.begin(), chunk.end(), item->key, keyBefore);
  chunk.insert(at, std::move(item));
  ++count;
  if (chunk.size() > 2 * kChunkItems) {
    auto upper = std::make_shared<Chunk>(std::make_move_iterator(chunk.begin() + kChunkItems),
                                         std::make_move_iterator(chunk.end()));
    chunk.resize(kChunkItems);
    slots.insert(slots.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                 Slot{std::move(upper), generation});
  }
}

void JobListing::erase(const JobOrderKey& key) {
  if (slots.empty()) return;
  const std::size_t index = slotFor(key);
  const Chunk& seen = *slots[index].chunk;
  const auto found = std::lower_bound(seen.begin(), seen.end(), key, keyBefore);
  if (found == seen.end() || key < (*found)->key) return;
  const auto offset = found - seen.begin();
  Chunk& chunk = own(index);
  chunk.erase(chunk.begin() + offset);
  --count;
  if (chunk.empty()) slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(index));
}

void JobListing::clear() {
  slots.clear();
  count = 0;
}

JobListing::Shared JobListing::share() {
  Shared shared;
  shared.reserve(slots.size());
  for (const Slot& slot : slots) shared.push_back(slot.chunk);
  ++generation;
  return shared;
}

}  // namespace Zelcor
