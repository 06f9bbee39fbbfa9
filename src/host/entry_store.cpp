#include "host/entry_store.h"

#include <algorithm>
#include <utility>

namespace sidecar {

TableEntry* EntryStore::find(Pid id) {
  const auto found = entries.find(id);
  return found == entries.end() ? nullptr : &found->second;
}

const TableEntry* EntryStore::find(Pid id) const {
  const auto found = entries.find(id);
  return found == entries.end() ? nullptr : &found->second;
}

TableEntry* EntryStore::owned_thread(Pid owner, Pid tid) {
  TableEntry* entry = find(tid);
  return entry && entry->owner == owner ? entry : nullptr;
}

TableEntry& EntryStore::put_process(TableEntry entry) {
  const Pid id = entry.view.pid;
  if (const TableEntry* existing = find(id); existing && existing->owner == 0) {
    erase_threads(*existing);
  } else {
    ++process_count;
  }
  order_stale = true;
  return entries.insert_or_assign(id, std::move(entry)).first->second;
}

TableEntry& EntryStore::put_thread(TableEntry entry) {
  const Pid id = entry.view.pid;
  if (const TableEntry* existing = find(id); existing && existing->owner == 0) {
    erase_threads(*existing);
    --process_count;
  }
  order_stale = true;
  return entries.insert_or_assign(id, std::move(entry)).first->second;
}

void EntryStore::erase_thread(Pid owner, Pid tid) {
  const auto found = entries.find(tid);
  if (found == entries.end() || found->second.owner != owner) return;
  entries.erase(found);
  order_stale = true;
}

void EntryStore::erase_threads(const TableEntry& process) {
  for (const Pid tid : process.thread_ids) erase_thread(process.view.pid, tid);
}

void EntryStore::sweep(std::uint64_t generation, std::size_t reached) {
  if (reached == process_count) return;
  std::vector<Pid> gone;
  for (const auto& [id, entry] : entries) {
    if (entry.owner == 0 && entry.refreshed_in != generation) gone.push_back(id);
  }
  for (const Pid id : gone) {
    const auto found = entries.find(id);
    erase_threads(found->second);
    entries.erase(found);
  }
  process_count -= gone.size();
  order_stale = true;
}

void EntryStore::settle_order() {
  if (!order_stale) return;
  order_stale = false;
  order.clear();
  order.reserve(entries.size());
  for (const auto& [id, entry] : entries) order.push_back(&entry.view);
  std::sort(order.begin(), order.end(), [](const Process* a, const Process* b) {
    if (a->start_time_since_boot != b->start_time_since_boot) {
      return a->start_time_since_boot > b->start_time_since_boot;
    }
    return a->pid > b->pid;
  });
}

}  // namespace sidecar
