// Sessions started and shut down over and over through the public header:
// the service library they load and unload each time must neither pile up
// in the process nor race between one session's end and the next start.
#include <atomic>

#include "support/Checks.h"
#include "SessionFixture.h"
#include "stress/ProcessUsage.h"

using namespace ovxTest;

namespace {

// Mappings of the process, and those of copies of the service library
// (their names hold the library's or the in-memory copy's name).
std::pair<size_t, size_t> Mappings() {
    std::pair<size_t, size_t> counted{0, 0};
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line); ++counted.first)
        counted.second +=
            line.find("ovxSessionConfigSvcs") != std::string::npos || line.find("ovx-verified") != std::string::npos;
    return counted;
}

struct Cycles : SessionFixture {
    Cycles() { sink.levelMask = SS_TRACE_ERROR; }
    bool Cycle() {
        return Init() == 0 && SS_ShutDown() == 0 &&
               WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; });
    }
};

}  // namespace

// A library whose bytes were checked and loaded once is loaded again from
// that copy: 500 sessions leave the mappings, the shared memory and the
// resident memory where the first ones left them.
TEST_F(Cycles, FiveHundredSessionsMapTheServiceLibraryOnce) {
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Cycle()) << i;
    const auto [allBefore, libraryBefore] = Mappings();
    [[maybe_unused]] const long shmemBefore = ResidentKiB("RssShmem"), residentBefore = ResidentKiB();
    for (int i = 0; i < 480; ++i) ASSERT_TRUE(Cycle()) << i;
    const auto [all, library] = Mappings();
    EXPECT_EQ(libraryBefore, library);
    // A mapping left behind per session (a thread's stack, a copy of the
    // library) would add hundreds over 480 cycles. The sanitizers' runtimes
    // map their own bookkeeping as it grows, a few regions more now and then.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    EXPECT_LE(all, allBefore + 64);
#else
    EXPECT_LE(all, allBefore + 8);
#endif
    // One more copy of the library is about 3 MB of shared memory.
    EXPECT_LE(ResidentKiB("RssShmem"), shmemBefore + 1024);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers hold freed memory back for a while (quarantine): the
    // resident size is measured where an agent meets it, in a plain build.
    EXPECT_LE(ResidentKiB(), residentBefore + 8 * 1024);
#endif
}

// One thread's session ends while another thread's starts: the library's
// handle is released and set up again under one lock (ThreadSanitizer
// watches the handle's fields in the test command).
TEST_F(Cycles, ASessionEndingWhileAnotherStartsSharesNoHandleUnguarded) {
    std::atomic<bool> go{false};
    auto cycler = [&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 40; ++i) {
            // The other thread's session may be the one installed or shut.
            EXPECT_THAT(Init(), AnyOf(0u, OVX_I_ALREADY_INITIALIZED));
            EXPECT_THAT(SS_ShutDown(), AnyOf(0u, OVX_E_NOT_INITIALIZED));
        }
    };
    std::thread first(cycler), second(cycler);
    go = true;
    first.join();
    second.join();
    ASSERT_TRUE(WaitFor([] { return mslLoader_ovxSessionConfigSvcs::ReferenceCount() == 0; }));
    EXPECT_TRUE(Cycle());
}
