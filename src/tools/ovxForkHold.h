// Process-wide locks held across fork(). A child of fork() has only the
// thread that forked; a lock another thread held at that instant would stay
// held for ever in the child, and the child's first session would wait on
// it. Each process-wide lock that a session thread takes for an instant (the
// trace route, the message catalog, the GUID state, the CML settings and class
// registries) is
// registered here once, at load, and the fork handlers take every one before
// the copy and give them back after it, in the parent and in the child.
#ifndef OVX_TOOLS_OVXFORKHOLD_H
#define OVX_TOOLS_OVXFORKHOLD_H

#include <mutex>

#include "jssync.h"

namespace ovxToolsLib {

// The order the handlers take the locks in: a lock that may be taken while
// another registered one is held has the higher rank, so the handlers never
// wait for a thread that waits for them. The class registries come first,
// then the locks that guard one value, then the trace route, which a line
// written under any of the others takes.
enum class ovxForkRank { kRegistry = 0, kLeaf = 1, kTraceRoute = 2 };

// Registers `lock` for the life of the process; the lock must live as long
// (a static or a never-freed object). Made as a namespace-scope constant
// beside the lock it names, so that every registration happens while the
// library loads, before any thread of ours exists.
class ovxForkHold {
public:
    ovxForkHold(std::mutex& lock, ovxForkRank rank);
    ovxForkHold(jsRecursiveSync& lock, ovxForkRank rank);
    ovxForkHold(const ovxForkHold&) = delete;
    ovxForkHold& operator=(const ovxForkHold&) = delete;
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXFORKHOLD_H
