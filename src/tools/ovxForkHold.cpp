#include "tools/ovxForkHold.h"

#include <pthread.h>

#include <array>
#include <cstdlib>

namespace ovxToolsLib {
namespace {

// A fixed table: the handlers run inside fork(), where nothing may allocate.
constexpr size_t kMaxLocks = 16;

struct Entry {
    void* lock;
    void (*take)(void*);
    void (*give)(void*);
    ovxForkRank rank;
};

void TakeMutex(void* lock) { static_cast<std::mutex*>(lock)->lock(); }
void GiveMutex(void* lock) { static_cast<std::mutex*>(lock)->unlock(); }
void TakeSync(void* lock) { static_cast<jsRecursiveSync*>(lock)->lock(); }
void GiveSync(void* lock) { static_cast<jsRecursiveSync*>(lock)->unlock(); }

struct Table {
    std::array<Entry, kMaxLocks> entries{};
    size_t count = 0;
};

Table& TheTable();

// The fork handlers are the one place these locks are taken and given back in
// separate functions: fork() itself is the scope.
void TakeAll() {
    Table& table = TheTable();
    for (ovxForkRank rank : {ovxForkRank::kRegistry, ovxForkRank::kLeaf, ovxForkRank::kTraceRoute}) {
        for (size_t i = 0; i < table.count; ++i) {
            if (table.entries[i].rank == rank) table.entries[i].take(table.entries[i].lock);
        }
    }
}

// Every lock was taken by this thread: the order of giving back is free.
void GiveAll() {
    Table& table = TheTable();
    for (size_t i = 0; i < table.count; ++i) table.entries[i].give(table.entries[i].lock);
}

Table& TheTable() {
    // Never destroyed: a fork during exit still finds it. Its handlers are
    // registered first of all of ours (while the library loads), so they run
    // last before the copy: the thread table's and the service library's
    // locks, taken outside these, are already held by then.
    static Table* table = [] {
        auto* created = new Table();
        pthread_atfork(&TakeAll, &GiveAll, &GiveAll);
        return created;
    }();
    return *table;
}

void Register(const Entry& entry) {
    Table& table = TheTable();
    // More locks than the table holds is a programming error of ours, caught
    // by the first test that loads the library.
    if (table.count == kMaxLocks) std::abort();
    table.entries[table.count++] = entry;
}

}  // namespace

ovxForkHold::ovxForkHold(std::mutex& lock, ovxForkRank rank) { Register(Entry{&lock, &TakeMutex, &GiveMutex, rank}); }

ovxForkHold::ovxForkHold(jsRecursiveSync& lock, ovxForkRank rank) {
    Register(Entry{&lock, &TakeSync, &GiveSync, rank});
}

}  // namespace ovxToolsLib
