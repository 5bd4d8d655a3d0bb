// fork() while another thread holds one of the process-wide locks: the child
// must find every lock it needs free. Each case keeps a thread taking the
// lock in a loop, forks many times, and lets each child take it once.

#include <atomic>
#include <mutex>
#include <ostream>

#include "support/TestFiles.h"
#include "tools/ovxAgentGate.h"
#include "tools/ovxForkHold.h"
#include "tools/ovxGuid.h"
#include "tools/jsthread.h"

using namespace ovxToolsLib;

namespace {

std::mutex g_registered;
const ovxForkHold g_registeredHold(g_registered, ovxForkRank::kLeaf);

struct LockUser {
    const char* name;
    std::function<void()> use;  // takes the lock once
    bool allocates;             // see the test
};

void PrintTo(const LockUser& user, std::ostream* out) { *out << user.name; }

void RoutedLine() { ovxRoutedTraceSink()->write(0, SS_TRACE_ERROR, "line", "here"); }
void NewGuid() {
    static thread_local COVXUXGuid guid;
    guid.generate();
}
void SystemLogLine() { jsSystemLog("fork test %d", 1); }
void RegisteredLock() {
    std::lock_guard<std::mutex> hold(g_registered);
    std::this_thread::yield();  // held across a reschedule now and then
}

class ForkWhileHeld : public ::testing::TestWithParam<LockUser> {};

}  // namespace

TEST_P(ForkWhileHeld, EveryChildTakesTheLock) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a multi-threaded fork";
#endif
    const LockUser& user = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's allocator is not held across fork(): a child copied
    // while the busy thread allocates would wait in it, not in our lock.
    if (user.allocates) GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
#endif
    user.use();  // anything made on first use is made before the copies
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load(std::memory_order_relaxed)) user.use();
    });
    constexpr int kChildren = 200;
    int hung = 0;
    for (int child = 0; child < kChildren; ++child) {
        const pid_t pid = fork();
        ASSERT_NE(-1, pid);
        if (pid == 0) {
            alarm(5);  // a child that waits for a copied lock ends
            user.use();
            _exit(0);
        }
        int status = -1;
        ASSERT_TRUE(ovxTest::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10)));
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++hung;
            break;  // one is the fault; each costs its alarm
        }
    }
    stop = true;
    busy.join();
    EXPECT_EQ(0, hung) << "a child could not take the " << user.name;
}

INSTANTIATE_TEST_SUITE_P(Locks, ForkWhileHeld,
                         ::testing::Values(LockUser{"registered_lock", &RegisteredLock, false},
                                           LockUser{"trace_route", &RoutedLine, false},
                                           LockUser{"GUID_state", &NewGuid, false},
                                           LockUser{"system_log", &SystemLogLine, true}),
                         [](const ::testing::TestParamInfo<LockUser>& info) { return std::string(info.param.name); });
