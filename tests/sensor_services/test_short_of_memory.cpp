// A heartbeat whose text cannot be made for want of memory is neither lost
// nor sent half made: the try is traced as failed and the heartbeat goes on
// the next one. The program's allocator fails one chosen allocation.
#include <cstdlib>
#include <new>

#include "sensor_services/HeartbeatServer.h"

namespace {

// The next allocation of at least `g_failFrom` bytes (0: none) on
// `g_failOn` fails, once.
std::atomic<size_t> g_failFrom{0};
std::atomic<std::thread::id> g_failOn{};
std::atomic<size_t> g_refused{0};

}  // namespace

// ThreadSanitizer does not follow memory this allocator hands between the
// threads of the test server's (uninstrumented) library and reports races
// that are not there: its build leaves the allocator, and the test, out.
#if !defined(__SANITIZE_THREAD__)
void* operator new(std::size_t size) {
    size_t from = g_failFrom.load();
    if (from != 0 && size >= from && std::this_thread::get_id() == g_failOn.load() &&
        g_failFrom.compare_exchange_strong(from, 0)) {
        ++g_refused;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
// The library also allocates with the nothrow form and frees with plain
// delete: that form must come from malloc too (AddressSanitizer checks).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
// GCC takes these replacements for a free() of what new returned.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
#endif

namespace {

using namespace ovxTest;

// Above any other allocation the dispatch thread makes between a failed
// post and its retry: only the heartbeat's text is that large.
constexpr size_t kLarge = 60000;

// Called on the dispatch thread when a post fails: the next heartbeat text
// it makes (for the retry) is refused its memory.
uint32_t ArmOnDispatchThread(uint32_t, uint32_t) {
    if (g_refused.load() == 0) {
        g_failOn.store(std::this_thread::get_id());
        g_failFrom.store(kLarge);
    }
    return 0;
}

class ShortOfMemory : public ServedSession {};

TEST_F(ShortOfMemory, AHeartbeatWhoseTextCannotBeMadeIsKeptAndSentOnTheNextTry) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the allocator is not replaced under ThreadSanitizer";
#endif
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(0u, SS_RegisterErrorCallback(&ArmOnDispatchThread));
    server.Status(500);  // the first try fails: its retry makes the text again
    SS_HMESSAGE heartbeat = Heartbeat();
    const std::string policy = "<cfg xmlns='urn:cfg' name='k' note='" + std::string(kLarge, 'n') + "'/>";
    ASSERT_EQ(0u,
              AddSetPolicyRequest(heartbeat, policy.data(), static_cast<uint32_t>(policy.size()), nullptr, nullptr));
    ASSERT_EQ(0u, PostHeartbeat(heartbeat, nullptr, nullptr));
    // The retry's text is refused its memory, and the try after it sends it.
    ASSERT_TRUE(WaitFor([&] { return server.Count() == 2; })) << TraceLines::Last();
    EXPECT_EQ(1u, g_refused.load());
    EXPECT_EQ(1u, TraceLines::CountAtLevel(SS_TRACE_ERROR, "unable to allocate heartbeat buffer!"));
    EXPECT_EQ(server.Body(0), server.Body(1));
    EXPECT_LT(kLarge, server.Body(1).size());
    EXPECT_TRUE(WaitFor([&] { return !session->HasPendingHeartbeat(); }));
}

}  // namespace
