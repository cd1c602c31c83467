#include "wire/h2/stream_table.h"

#include <algorithm>
#include <utility>

namespace quillet::h2 {

std::vector<StreamRecord>::iterator StreamTable::lower_bound(uint32_t id) {
  // New streams arrive in id order, so the newest record is the one most often asked for.
  if (!records_.empty() && records_.back().id < id) return records_.end();
  return std::lower_bound(records_.begin(), records_.end(), id,
                          [](const StreamRecord& r, uint32_t key) { return r.id < key; });
}

StreamRecord* StreamTable::find(uint32_t id) {
  auto it = lower_bound(id);
  return it != records_.end() && it->id == id ? &*it : nullptr;
}

const StreamRecord* StreamTable::find(uint32_t id) const {
  return const_cast<StreamTable*>(this)->find(id);
}

StreamRecord& StreamTable::insert(uint32_t id, HandleBin& bin) {
  auto it = lower_bound(id);
  if (it != records_.end() && it->id == id) {
    bin.add(std::move(it->handle));
    *it = StreamRecord(id);
    return *it;
  }
  return *records_.emplace(it, id);
}

void StreamTable::erase(uint32_t id, HandleBin& bin) {
  auto it = lower_bound(id);
  if (it == records_.end() || it->id != id) return;
  bin.add(std::move(it->handle));
  records_.erase(it);
}

}  // namespace quillet::h2
